#!/bin/sh
# Compares smbaudit's records for one capture with its reviewed expected records. On a
# difference it prints the unified diff and then, record by record, the keys that differ.
set -u
tool=$1
data=$2
name=$3
here=$(dirname "$0")
capture=""
for c in "$data"/public/"$name".pcap* "$data"/captures/"$name".pcap*; do
    [ -f "$c" ] && capture=$c
done
[ -n "$capture" ] || { echo "no capture named $name"; exit 1; }
tmp=$(mktemp)
trap 'rm -f "$tmp"' EXIT
"$tool" --no-progress "$capture" >"$tmp" || { echo "smbaudit failed on $capture"; exit 1; }
diff -u "$data/expected/$name.jsonl" "$tmp" && exit 0
python3 "$here/describe_differences.py" "$data/expected/$name.jsonl" "$tmp"
exit 1
