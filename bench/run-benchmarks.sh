#!/usr/bin/env bash
# Runs every benchmark of the project and prints the results table of the README.
#
#   sudo bench/run-benchmarks.sh [--large-mb N] [--capture-dir DIR] [--build-dir DIR] [--quick]
#                                [--only micro|e2e|workers|decryption|notices|memory] [--reps N]
#
# 1. The micro-benchmarks (bench/library_bench.cc, bench/writer_bench.cc, Google Benchmark),
#    inputs in memory: small messages of the committed captures, 64 KiB reads and writes
#    against a memcpy of the same bytes, 100 to 10,000 interleaved connections, thousands of
#    pending requests; the record writer alone, and the sensor on many short connections
#    against a bare libpcap read of the same file (CPU time).
# 2. End to end: tools/captures/make-captures.sh --large records at least N MiB (default 520)
#    of SMB1 file transfer through smbclient and Samba (as root, a few seconds; kept in DIR,
#    default /var/tmp/smbaudit-bench, never committed). The capture is taken on loopback,
#    whose 64 KiB segments a network tap never sees, so it is also cut into 1448-byte
#    segments, as on an Ethernet link; smbaudit and tshark (dissecting SMB) are timed on the
#    same files in the same run; and the transfer with hashing on against --no-hashes,
#    compared with what openssl speed gives for SHA-256 and MD5 on the same bytes.
# 3. --workers: 1 and 2 workers on 16 interleaved copies of the transfer (16 connections),
#    on the single connection, and on small messages (impacket-smb1.pcap in 32 interleaved
#    copies, 240 times over: 7,680 connections), with a check that both give the same records;
#    best of --reps runs (default 7), 1 and 2 workers in turn.
# 4. SMB3 decryption (bench/crypto_bench.cc, when OpenSSL is found): 16 KiB transform
#    messages through the decryptor against `openssl speed -evp` of the same cipher; and
#    end to end, smbaudit with alice's password on an encrypted SMB 3.1.1 transfer of
#    N/2 MiB per cipher (make-captures.sh --large --cipher, AES-128-GCM and AES-128-CCM,
#    kept in DIR), with --no-hashes and with hashing, against openssl speed.
# 5. Notices: the default run against --no-notices, on the cut transfer and on 200 copies of
#    the committed notices-burst capture (record-dense: 1400 records and 7 notices each).
# 6. Memory bounds (bench/memory_flood.py): peak resident memory of the sensor under 3000
#    connections that each announce a 16 MiB message; fails when a bound does not hold.
#
# --quick shortens the micro-benchmarks (for trying the script, not for figures); --only runs
# one part (the inputs it needs are made all the same).
set -euo pipefail

HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
REPO=$(cd "$HERE/.." && pwd)
large_mb=520
capdir=/var/tmp/smbaudit-bench
build=$REPO/build-bench
min_time=1
only=""
reps=7
while [ $# -gt 0 ]; do
    case $1 in
        --large-mb) large_mb=$2; shift ;;
        --capture-dir) capdir=$2; shift ;;
        --build-dir) build=$2; shift ;;
        --quick) min_time=0.1 ;;
        --only) only=$2; shift ;;
        --reps) reps=$2; shift ;;
        -h|--help) sed -n '2,20p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
        *) echo "unknown argument: $1" >&2; exit 2 ;;
    esac
    shift
done

cmake -S "$REPO" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSMBAUDIT_BENCH=ON -DSMBAUDIT_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target smbaudit_tool smbaudit_bench pcap_reshape >/dev/null
tool=$build/tools/smbaudit
want() { [ -z "$only" ] || [ "$only" = "$1" ]; }

# ---- machine -----------------------------------------------------------------------------
cpu=$(lscpu | sed -n 's/^Model name: *//p' | head -1)
echo "machine: $cpu, $(nproc) cores, $(free -g | awk '/^Mem:/ {print $2}') GiB; $(uname -r)"
echo "load before: $(cut -d' ' -f1-3 /proc/loadavg)"
echo

if want micro; then
# ---- micro-benchmarks ------------------------------------------------------------------------
json=$(mktemp)
trap 'rm -f "$json"' EXIT
"$build/bench/smbaudit_bench" --benchmark_min_time="$min_time" --benchmark_format=json >"$json" 2>/dev/null
python3 - "$json" <<'EOF'
import json, sys
runs = {b["name"]: b for b in json.load(open(sys.argv[1]))["benchmarks"]}
def g(name, key): return runs[name][key]
def per(name, key="items_per_second"): return 1e9 / g(name, key)
print("| library micro-benchmark (CPU time) | result |")
print("|---|---|")
print(f"| real captures, small messages (fresh context per connection) | {g('BM_RealCaptures','msgs_per_s')/1e6:.2f} M msgs/s, {per('BM_RealCaptures'):.0f} ns/msg |")
for kind in ("Read", "Write"):
    lib = g(f"BM_Large{kind}/100", "bytes_per_second")
    ref = g("BM_MemcpyReference/100", "bytes_per_second")
    print(f"| 64 KiB {'Read AndX responses' if kind == 'Read' else 'Write AndX requests'} in 1448-byte segments | "
          f"{lib/1e9:.1f} GB/s = {lib/ref:.2f} x memcpy ({ref/1e9:.1f} GB/s) |")
for n in (100, 1000, 10000):
    b = f"BM_ManyConnections/{n}"
    print(f"| {n} interleaved connections | {g(b,'msgs_per_s')/1e6:.2f} M msgs/s, {per(b):.0f} ns/msg |")
print(f"| record writer: a create record (16 keys), one core | {g('BM_JsonWriterRecords','items_per_second')/1e6:.2f} M records/s |")
e2e, floor = g('BM_SensorSmallConnections', 'cpu_time'), g('BM_PcapReadLoop', 'cpu_time')
print(f"| sensor on 1,920 short connections (impacket-smb1.pcap x 32 x 60) vs bare libpcap read | "
      f"{g('BM_SensorSmallConnections','records_per_s')/1e6:.2f} M records/s, {e2e:.0f} ms vs {floor:.0f} ms = {e2e/floor:.1f} x |")
print(f"| idle connection: context + session records + buffers | {g('BM_ManyConnections/10000','idle_bytes_per_ctx'):.0f} bytes (sizeof(CSMBContext) {g('BM_ManyConnections/10000','sizeof_ctx'):.0f}) |")
for o, cap in ((1000, 0), (4000, 0), (4000, 1024)):
    b = f"BM_PendingHeavy/{o}/{cap}"
    print(f"| {o} outstanding requests{', bound 1024' if cap else ''} | {g(b,'msgs_per_s')/1e6:.2f} M msgs/s |")
print()
print("| linearity: time per iteration | 1x | 10x | 100x |")
print("|---|---|---|---|")
for kind in ("Read", "Write"):
    t = [g(f"BM_Large{kind}/{n}", "cpu_time") for n in (1, 10, 100)]
    print(f"| 64 KiB {kind.lower()}s (1, 10, 100 per iteration), us | " + " | ".join(f"{x:.1f}" for x in t) + " |")
t = [g(f"BM_ManyConnections/{n}", "cpu_time") for n in (100, 1000, 10000)]
print("| connections (100, 1000, 10000), ms | " + " | ".join(f"{x:.2f}" for x in t) + " |")
EOF
echo
fi

# ---- end to end ----------------------------------------------------------------------------
big=$capdir/large-smb1-transfer.pcap
tap=$capdir/large-mss1448.pcap
fan=$capdir/fanout-16x.pcap
mkdir -p "$capdir"
if [ ! -s "$big" ]; then
    [ "$(id -u)" = 0 ] || { echo "the large capture is recorded as root: run with sudo" >&2; exit 1; }
    "$REPO/tools/captures/make-captures.sh" --large "$large_mb" "$capdir" >/dev/null
fi
[ -s "$tap" ] || "$build/bench/pcap_reshape" "$big" "$tap" --mss 1448
[ -s "$fan" ] || "$build/bench/pcap_reshape" "$big" "$fan" --mss 1448 --copies 16 --max-mb $((large_mb / 16 + 1))
small=$capdir/small-messages.pcap
[ -s "$small" ] || "$build/bench/pcap_reshape" "$REPO/tests/data/captures/impacket-smb1.pcap" "$small" --copies 32 --repeat 240

# best of N: "wall cpu" seconds
timed() {
    local n=$1; shift
    local best="" out tf
    tf=$(mktemp)
    for _ in $(seq 1 "$n"); do
        # Wall time to the microsecond (time's own %e has two decimals), CPU time from time.
        local start end
        start=$(date +%s%N)
        /usr/bin/time -o "$tf" -f '%U %S' "$@" >/dev/null 2>&1
        end=$(date +%s%N)
        out="$(awk -v a="$start" -v b="$end" 'BEGIN {printf "%.4f", (b - a) / 1e9}') $(tail -1 "$tf")"
        best=$(printf '%s\n%s\n' "$best" "$out" | awk 'NF == 3 {c = $2 + $3; if (b == "" || $1 < bw) {bw = $1; bc = c; b = 1}} END {printf "%.3f %.3f", bw, bc}')
    done
    rm -f "$tf"
    echo "$best"
}
mb() { awk -v b="$(stat -c %s "$1")" 'BEGIN {printf "%.0f", b / 1e6}'; }

if want e2e; then
echo "| end to end (best of 3; tshark once) | file | smbaudit | tshark -Y smb | ratio |"
echo "|---|---|---|---|---|"
for f in "$big" "$tap"; do
    cat "$f" >/dev/null  # both read it from the page cache
    read -r sw sc <<<"$(timed 3 "$tool" --no-progress -w /dev/null "$f")"
    read -r tw tc <<<"$(timed 1 tshark -n -r "$f" -Y smb -T fields -e smb.cmd -e smb.fid)"
    size=$(mb "$f")
    name=$([ "$f" = "$big" ] && echo "loopback capture (64 KiB segments)" || echo "same, cut to 1448-byte segments")
    awk -v n="$name" -v s="$size" -v sw="$sw" -v sc="$sc" -v tw="$tw" -v tc="$tc" 'BEGIN {
        printf "| %s | %d MB | %.0f MB/s (%.2f s; CPU %.2f s) | %.0f MB/s (%.1f s; CPU %.1f s) | %.0f x (CPU %.0f x) |\n",
            n, s, s / sw, sw, sc, s / tw, tw, tc, tw / sw, tc / sc }'
done
echo

# Hashing on against off, and what SHA-256 and MD5 alone cost on this machine for the bytes
# the transfer carries (openssl speed, 64 KiB blocks).
payload=$("$tool" --no-progress --file-events summary "$big" | python3 -c '
import json, sys
print(sum(r.get("bytes_read", 0) + r.get("bytes_written", 0) for r in map(json.loads, sys.stdin) if r["event"] == "close"))')
speed() { openssl speed -evp "$1" -seconds 2 -bytes 65536 2>/dev/null | awk -v a="$1" '$1 == a {sub("k", "", $2); print $2 * 1000}'; }
read -r hw hc <<<"$(timed 3 "$tool" --no-progress -w /dev/null "$big")"
read -r nw nc <<<"$(timed 3 "$tool" --no-progress --no-hashes -w /dev/null "$big")"
awk -v p="$payload" -v hc="$hc" -v nc="$nc" -v sha="$(speed sha256)" -v md5="$(speed md5)" 'BEGIN {
    printf "| hashing (best of 3, CPU) | file data | hashes on | --no-hashes | cost | SHA-256 alone (openssl speed) | + MD5 | cost / SHA-256 |\n|---|---|---|---|---|---|---|---|\n"
    printf "| loopback capture | %.0f MB | %.2f s | %.2f s | %.2f s | %.2f s (%.0f MB/s) | %.2f s (%.0f MB/s) | %.1f x |\n",
        p / 1e6, hc, nc, hc - nc, p / sha, sha / 1e6, p / md5, md5 / 1e6, (hc - nc) / (p / sha) }'
echo
fi

if want workers; then
echo "| --workers (best of $reps, alternating) | file | 1 worker | 2 workers | speed-up |"
echo "|---|---|---|---|---|"
for f in "$fan" "$tap" "$small"; do
    # Record ids are numbered per worker and notices counted per worker: compared without them.
    sets=$(for w in 1 2; do "$tool" --no-progress --workers $w "$f" | grep -v '"event":"notice"' |
        sed 's/"record_id":[0-9]*,//' | sort | md5sum; done | uniq | wc -l)
    [ "$sets" = 1 ] || echo "warning: 1 and 2 workers gave different records on $f" >&2
    cat "$f" >/dev/null
    # One run of each in turn, so that a slow spell of a shared machine hits both alike.
    w1="" w2=""
    for _ in $(seq 1 "$reps"); do
        read -r a _ <<<"$(timed 1 "$tool" --no-progress -w /dev/null "$f")"
        read -r b _ <<<"$(timed 1 "$tool" --no-progress --workers 2 -w /dev/null "$f")"
        w1=$(awk -v x="$a" -v y="$w1" 'BEGIN {print (y == "" || x < y) ? x : y}')
        w2=$(awk -v x="$b" -v y="$w2" 'BEGIN {print (y == "" || x < y) ? x : y}')
    done
    size=$(mb "$f")
    case $f in
        "$fan") name="16 connections interleaved" ;;
        "$tap") name="1 connection" ;;
        *) name="small messages, 7,680 connections" ;;
    esac
    awk -v n="$name" -v s="$size" -v a="$w1" -v b="$w2" 'BEGIN {
        printf "| %s | %d MB | %.0f MB/s (%.3f s) | %.0f MB/s (%.3f s) | %.2f x |\n", n, s, s / a, a, s / b, b, a / b }'
done
echo
fi

if want decryption; then
if cmake --build "$build" -j2 --target smbaudit_crypto_bench >/dev/null 2>&1; then
    echo "| SMB3 decryption, 16 KiB messages | smbaudit | openssl speed -evp | ratio |"
    echo "|---|---|---|---|"
    for c in 1:aes-128-ccm 2:aes-128-gcm 3:aes-256-ccm 4:aes-256-gcm; do
        ours=$("$build/bench/smbaudit_crypto_bench" --benchmark_filter="cipher:${c%%:*}/bytes:16384\$" \
            --benchmark_min_time="$min_time" --benchmark_format=json 2>/dev/null |
            python3 -c 'import json, sys; print(json.load(sys.stdin)["benchmarks"][0]["bytes_per_second"] / 1e6)')
        theirs=$(openssl speed -evp "${c#*:}" -bytes 16384 -seconds 2 2>/dev/null | awk 'END {sub("k", "", $2); print $2 / 1000}')
        awk -v n="${c#*:}" -v a="$ours" -v b="$theirs" 'BEGIN {printf "| %s | %.0f MB/s | %.0f MB/s | %.2f |\n", n, a, b, a / b}'
    done
    echo
fi
echo "| SMB3 decryption end to end (best of 3) | file | smbaudit --no-hashes | with hashes | openssl speed -evp, 16 KiB | ratio (--no-hashes) |"
echo "|---|---|---|---|---|---|"
credentials=$capdir/alice.credentials
printf 'CAPTURES\\alice Alice-Pass-1\n' >"$credentials"
for c in aes-128-gcm aes-128-ccm; do
    enc=$capdir/large-smb3-$c.pcap
    if [ ! -s "$enc" ]; then
        [ "$(id -u)" = 0 ] || { echo "the encrypted capture is recorded as root: run with sudo" >&2; exit 1; }
        "$REPO/tools/captures/make-captures.sh" --no-install --large $((large_mb / 2)) --cipher "$c" "$capdir" >/dev/null
    fi
    cat "$enc" >/dev/null
    read -r nw _ <<<"$(timed 3 "$tool" --no-progress --no-hashes --ntlm-credentials "$credentials" -w /dev/null "$enc")"
    read -r hw _ <<<"$(timed 3 "$tool" --no-progress --ntlm-credentials "$credentials" -w /dev/null "$enc")"
    theirs=$(openssl speed -evp "$c" -bytes 16384 -seconds 2 2>/dev/null | awk 'END {sub("k", "", $2); print $2 / 1000}')
    size=$(mb "$enc")
    awk -v n="$c" -v s="$size" -v a="$nw" -v h="$hw" -v t="$theirs" 'BEGIN {
        printf "| %s | %d MB | %.0f MB/s (%.2f s) | %.0f MB/s | %.0f MB/s | %.2f |\n", n, s, s / a, a, s / h, t, s / a / t }'
done
echo
fi

if want notices; then
echo "| notices (best of 3) | file | --no-notices | default | cost |"
echo "|---|---|---|---|---|"
burst=$REPO/tests/data/captures/notices-burst.pcap
bursts=()
for _ in $(seq 1 200); do bursts+=("$burst"); done
for input in tap burst; do
    if [ "$input" = tap ]; then files=("$tap"); name="1 connection, file transfer"; size=$(mb "$tap")
    else files=("${bursts[@]}"); name="200 x notices-burst (renames, overwrites)"; size=$(awk -v b="$(stat -c %s "$burst")" 'BEGIN {printf "%.0f", b * 200 / 1e6}'); fi
    cat "${files[0]}" >/dev/null
    read -r off _ <<<"$(timed 3 "$tool" --no-progress --no-notices -w /dev/null "${files[@]}")"
    read -r on _ <<<"$(timed 3 "$tool" --no-progress -w /dev/null "${files[@]}")"
    awk -v n="$name" -v s="$size" -v a="$off" -v b="$on" 'BEGIN {
        printf "| %s | %d MB | %.0f MB/s (%.2f s) | %.0f MB/s (%.2f s) | %+.1f %% |\n", n, s, s / a, a, s / b, b, (b / a - 1) * 100 }'
done
echo
fi
if want memory; then
python3 "$HERE/memory_flood.py" "$tool"
echo
fi
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
