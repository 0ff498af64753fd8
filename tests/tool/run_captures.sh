#!/bin/sh
# Runs smbaudit on every committed capture: exit status 0, nothing on standard error, and
# well-formed records.
set -u
tool=$1
data=$2
here=$(dirname "$0")
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
failed=0
count=0
for capture in "$data"/public/*.pcap* "$data"/captures/*.pcap*; do
    [ -f "$capture" ] || continue
    count=$((count + 1))
    name=$(basename "$capture")
    "$tool" --no-progress "$capture" >"$tmp/out" 2>"$tmp/err"
    rc=$?
    if [ $rc -ne 0 ] || [ -s "$tmp/err" ]; then
        echo "FAIL $name: exit $rc"; cat "$tmp/err"; failed=1; continue
    fi
    python3 "$here/check_jsonl.py" "$tmp/out" || { echo "FAIL $name: bad records"; failed=1; continue; }
    echo "ok   $name: $(wc -l <"$tmp/out") records"
done
# All files in one run: one stream of traffic, still no error.
set -- "$data"/public/*.pcap* "$data"/captures/*.pcap*
"$tool" --no-progress --stats "$@" >"$tmp/out" 2>"$tmp/err" || { echo "FAIL all in one run"; cat "$tmp/err"; failed=1; }
echo "$count captures"
[ $count -gt 0 ] || { echo "no captures found under $data"; failed=1; }
exit $failed
