#!/usr/bin/env bash
# Draws a soak's samples into one PNG: the server's memory, its handles and
# the queue, over the run's minutes, the fault windows shaded
# (each fault its own colour).
#
#   soak-plot.sh DIR [TITLE]   reads DIR/samples.csv and DIR/faults.csv,
#                              writes DIR/soak.png
source "$(dirname "$0")/strict.sh"
dir="${1:?usage: soak-plot.sh DIR [TITLE]}"
[ -f "$dir/samples.csv" ] && [ -f "$dir/faults.csv" ] || {
    echo "soak-plot.sh: no samples.csv and faults.csv in $dir" >&2
    exit 1
}
last="$(awk -F, 'NR > 1 { t = $1 } END { printf "%.3f", t / 60 }' "$dir/samples.csv")"
# A fault still on at the end runs to the last sample.
shading="$(awk -F, -v last="$last" 'BEGIN {
        colour["prompt-box"] = "#f4c7c3"; colour["connections"] = "#c9daf8"
        colour["full-disk"] = "#fce5cd"; colour["unwritable"] = "#d9ead3"; colour["log-viewer"] = "#e6d9f2"
    }
    NR > 1 { printf "set object rect from %.3f, graph 0 to %.3f, graph 1 behind fc rgb \"%s\" fs solid 0.8 noborder\n", \
        $3 / 60, $4 < 0 ? last : $4 / 60, colour[$1] }' "$dir/faults.csv")"
plot="plot \"$dir/samples.csv\" skip 1"
gnuplot <<EOF
set terminal pngcairo size 1400,900 font "sans,10"
set output "$dir/soak.png"
set datafile separator ","
set key top left horizontal
set grid ytics
set xrange [0:$last]
set yrange [0:*]
set multiplot layout 3,1 title "${2:-qrx-soak}\nshaded: prompt box (red); connections beside a full disk (blue); log held beside an unwritable folder (purple)"
$shading
set ylabel "MB"
$plot using (\$1/60):4 with lines lw 2 lc rgb "#1155cc" title "resident"
set ylabel "handles"
$plot using (\$1/60):5 with lines lw 2 lc rgb "#1155cc" title "handles"
set ylabel "queued cards"
set xlabel "minutes"
$plot using (\$1/60):6 with lines lw 2 lc rgb "#7f6000" title "queue"
unset multiplot
EOF
echo "soak-plot.sh: $dir/soak.png"
