#!/bin/sh
# Runs the sensor under memcheck on every committed capture, one run per capture, then on
# all of them in one run with two workers.
#   memcheck_captures.sh SMBAUDIT DATA_DIR VALGRIND [VALGRIND_OPTIONS...]
set -u
tool=$1
data=$2
shift 2
failed=0
count=0
for capture in "$data"/public/*.pcap* "$data"/captures/*.pcap*; do
    [ -f "$capture" ] || continue
    count=$((count + 1))
    if "$@" "$tool" --no-progress --stats "$capture" >/dev/null 2>&1; then
        echo "clean $(basename "$capture")"
    else
        echo "FAIL $(basename "$capture"):"
        "$@" "$tool" --no-progress --stats "$capture" 2>&1 >/dev/null | tail -n 60
        failed=1
    fi
done
[ $count -gt 0 ] || { echo "no captures found under $data"; exit 1; }
set -- "$@" "$tool" --no-progress --workers 2 "$data"/public/*.pcap* "$data"/captures/*.pcap*
if "$@" >/dev/null 2>"${TMPDIR:-/tmp}/memcheck_all.$$"; then
    echo "clean: all $count captures in one run"
else
    echo "FAIL: all captures in one run"; tail -n 60 "${TMPDIR:-/tmp}/memcheck_all.$$"; failed=1
fi
rm -f "${TMPDIR:-/tmp}/memcheck_all.$$"
exit $failed
