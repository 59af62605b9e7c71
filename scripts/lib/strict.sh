# Sourced first by every script in scripts/: stop at the first failing
# command, and say in one line which script and which step failed, so that
# no script ends silently with a bare exit status.
set -Eeuo pipefail
qrx_report_failure() {  # status line command
    echo "${0##*/}: step failed (exit $1) at line $2: $3" >&2
}
trap 'qrx_report_failure $? $LINENO "$BASH_COMMAND"' ERR
