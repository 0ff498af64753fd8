#!/bin/sh
# Diagnostics and exit statuses on input that is not a good capture.
set -u
tool=$1
data=$2
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
failed=0
fail() { echo "FAIL: $*"; failed=1; }

good=""
for c in "$data"/public/smb-eicar-file.pcap "$data"/captures/*.pcap; do
    [ -f "$c" ] && { good=$c; break; }
done
[ -n "$good" ] || { echo "no capture to test with"; exit 1; }

# Not a capture, and a missing file: one line each naming the file, exit 2, and the good
# capture between them is still processed.
printf 'hello, not a capture\n' >"$tmp/text.pcap"
"$tool" --no-progress "$tmp/text.pcap" "$good" "$tmp/missing.pcap" >"$tmp/out" 2>"$tmp/err"
rc=$?
[ $rc -eq 2 ] || fail "bad files: exit $rc, expected 2"
[ "$(wc -l <"$tmp/err")" -eq 2 ] || fail "bad files: expected two error lines"; 
grep -q "text.pcap" "$tmp/err" || fail "error does not name text.pcap"
grep -q "missing.pcap" "$tmp/err" || fail "error does not name missing.pcap"
"$tool" --no-progress "$good" >"$tmp/alone" 2>/dev/null
cmp -s "$tmp/out" "$tmp/alone" || fail "the good capture was not processed the same beside bad files"

# A capture cut in the middle of a packet: a warning, exit 1, records up to the cut.
size=$(wc -c <"$good")
head -c $((size * 2 / 3)) "$good" >"$tmp/cut.pcap"
"$tool" --no-progress "$tmp/cut.pcap" >"$tmp/out" 2>"$tmp/err"
rc=$?
[ $rc -eq 1 ] || fail "truncated: exit $rc, expected 1"
grep -q "warning: .*cut.pcap" "$tmp/err" || fail "truncated: no warning naming the file"

# An unsupported link type (147, USER0) is named.
python3 - "$tmp/user0.pcap" <<'PY'
import struct, sys
with open(sys.argv[1], "wb") as f:
    f.write(struct.pack("<IHHiIII", 0xa1b2c3d4, 2, 4, 0, 0, 65535, 147))
    f.write(struct.pack("<IIII", 1, 0, 4, 4) + b"abcd")
PY
"$tool" --no-progress "$tmp/user0.pcap" >"$tmp/out" 2>"$tmp/err"
rc=$?
[ $rc -eq 2 ] || fail "link type: exit $rc, expected 2"
grep -q "link type 147" "$tmp/err" || fail "link type not named: $(cat "$tmp/err")"

# Files are read in place (mapped), standard input through libpcap: both readers agree on a
# capture rewritten big-endian with nanosecond time stamps (compare_expected.py reads every
# committed capture both ways). And an empty capture (header only).
c="$data"/../../fuzz/corpus/pcap_file/big-endian-nanoseconds.pcap
"$tool" --no-progress "$c" >"$tmp/mapped" 2>&1
"$tool" --no-progress - <"$c" >"$tmp/piped" 2>&1 || fail "standard input: exit $?"
cmp -s "$tmp/mapped" "$tmp/piped" || fail "big-endian-nanoseconds.pcap: mapped file and standard input differ"
head -c 24 "$good" >"$tmp/empty.pcap"
"$tool" --no-progress "$tmp/empty.pcap" >"$tmp/out" 2>"$tmp/err" || fail "empty capture: exit $?"

# Usage errors exit 2; --help and --version exit 0.
"$tool" >/dev/null 2>&1; [ $? -eq 2 ] || fail "no input: expected exit 2"
"$tool" --bogus x >/dev/null 2>&1; [ $? -eq 2 ] || fail "unknown option: expected exit 2"
"$tool" --help >/dev/null || fail "--help"
"$tool" --version | grep -q '^smbaudit [0-9]' || fail "--version"
exit $failed
