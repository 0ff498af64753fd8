#!/bin/sh
# Extraction end to end on the EICAR captures: each stores the 68-byte EICAR test file under
# its well-known SHA-256 with a sidecar line, leaves no temporary file, and under a quota
# smaller than the file stores nothing, says so once and still writes every record. A
# transfer cut off by the end of the capture is kept under partial/ with its hole listed.
set -u
tool=$1
data=$2
eicar=275a021bbfb6489e54d471899f7db9d1663fc695ec2fe2a2c4538aabf651fd0f
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
failed=0
fail() { echo "FAIL: $*"; failed=1; }

for c in "$data"/public/smb-eicar-*.pcap; do
    dir=$tmp/$(basename "$c" .pcap)
    "$tool" --no-progress --extract-dir "$dir" "$c" >"$dir.jsonl" || fail "$c: exit status"
    [ "$(sha256sum <"$dir/$eicar" | cut -d' ' -f1)" = "$eicar" ] || fail "$c: no $eicar"
    grep -q "\"sha256\":\"$eicar\"" "$dir/$eicar.json" || fail "$c: no sidecar line"
    [ -z "$(ls -A "$dir/.tmp")" ] || fail "$c: temporary files left"
    "$tool" --no-progress --extract-dir "$dir-q" --extract-quota 60 "$c" >"$dir-q.jsonl" 2>"$dir-q.err"
    [ ! -e "$dir-q/$eicar" ] || fail "$c: stored beyond the quota"
    [ "$(grep -c 'extract-quota reached' "$dir-q.err")" = 1 ] || fail "$c: quota not reported once"
    cmp -s "$dir.jsonl" "$dir-q.jsonl" || fail "$c: the quota changed the records"
done
# The first 60 frames of smb445-files end inside the second read of large.bin.
editcap -r "$data/captures/smb445-files.pcap" "$tmp/cut.pcap" 1-60 >/dev/null 2>&1
"$tool" --no-progress --extract-dir "$tmp/cut" --extract-partial "$tmp/cut.pcap" >/dev/null
grep -q '"holes":\[\[64512,102400\]\]' "$tmp"/cut/partial/*.json || fail "cut transfer: no partial file with its hole"
exit $failed
