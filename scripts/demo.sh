#!/usr/bin/env bash
# The road of three sample cards on this machine: the server on a fresh
# prefix in a temporary folder, the desktop simulator taking records in scan
# mode 2 with a capture window open, and the client submitting the sample
# cards with their photographs. Shows the records that came out.
source "$(dirname "$0")/lib/strict.sh"
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD_DIR:-$root/build}"
"$root/scripts/install-deps.sh"
echo "== building the server and the tools into $build (the first time takes a few minutes)"
BUILD_DIR="$build" BUILD_TARGET="ScanServer qrx-client qrx-desk" "$root/scripts/build.sh" |
    sed -un 's|^\[ *\([0-9]*%\)\] Building CXX object .*/\([^/]*\)\.o$|   \1 \2|p'

demo="$(mktemp -d /tmp/qrx-demo-XXXXXX)"
export QRX_PREFIX="$demo/machine"
"$root/scripts/prepare-prefix.sh" >/dev/null
mkdir -p "$demo/bin"
cp "$build/ScanServer" "$demo/bin/"
printf '[Server]\r\nAddress=ipc://%s/reply.ipc\r\nAddressEx=ipc://%s/router.ipc\r\n' \
    "$demo" "$demo" > "$demo/bin/Server.ini"

echo "== machine folder: $QRX_PREFIX"
(cd "$QRX_PREFIX" && exec "$demo/bin/ScanServer") &
server=$!
trap 'kill $server 2>/dev/null || true' EXIT

desk=("$build/qrx-desk" --out "$demo/taken")
"${desk[@]}" capture-window >/dev/null
"${desk[@]}" take --count 3 --timeout 30 > "$demo/desk.out" &
taker=$!

cards=(card-c card-f card-txz)
for i in 0 1 2; do
    echo "== client submits samples/cards/${cards[$i]}.json"
    "$build/qrx-client" --endpoint "ipc://$demo/reply.ipc" submit \
        --card "$root/samples/cards/${cards[$i]}.json" \
        --card-image "$root/samples/images/card-$((i + 1)).jpg" \
        --head-image "$root/samples/images/head-$((i + 1)).jpg" 2>&1 | sed 's/^/   /'
done

wait $taker
echo "== desktop simulator"
sed 's/^/   /' "$demo/desk.out"
echo "== capture window clock: $("${desk[@]}" clock)"

show() {  # the records are GB2312; show them in the terminal's UTF-8
    if command -v iconv >/dev/null; then iconv -f gb2312 -t utf-8 "$1"; else cat "$1"; fi
}
for record in "$demo"/taken/*/*.xml; do
    echo "== $record"
    show "$record" | tr -d '\r' | sed 's/^/   /'
done
echo "== images byte-identical to the samples sent:"
for i in 1 2 3; do
    for kind in card head; do
        sent="$root/samples/images/$kind-$i.jpg"
        match="$(for f in "$demo"/taken/*/*.jpg; do if cmp -s "$f" "$sent"; then echo "$f"; fi; done)"
        echo "   $kind-$i.jpg -> ${match:-MISSING}"
    done
done
echo "== log: $QRX_PREFIX/drive_c/qrx/sock.log ($(wc -l < "$QRX_PREFIX/drive_c/qrx/sock.log") lines)"
