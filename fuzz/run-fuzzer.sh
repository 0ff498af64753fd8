#!/usr/bin/env bash
# Fuzzes one libFuzzer target for a short fixed time from a temporary copy of its seed
# corpus; the source tree is never written. A finding fails the run, is printed, and is kept
# in FINDINGS_DIR, from where it belongs in fuzz/regressions/<target>/ once fixed.
#
#   run-fuzzer.sh FUZZER SECONDS SEED_DIR DICT FINDINGS_DIR
set -euo pipefail
fuzzer=$1 seconds=$2 seeds=$3 dict=$4 findings=$5

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/corpus"
if [ -d "$seeds" ]; then cp "$seeds"/. "$work/corpus/" -r; fi

status=0
"$fuzzer" -max_total_time="$seconds" -dict="$dict" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
  -artifact_prefix="$work/" "$work/corpus" >"$work/log" 2>&1 || status=$?

if [ "$status" -eq 0 ]; then
  grep -E '^(#[0-9]+.*DONE|stat::number_of_executed_units|stat::peak_rss_mb)' "$work/log" || true
  exit 0
fi
tail -n 80 "$work/log"
mkdir -p "$findings"
for artifact in "$work"/crash-* "$work"/leak-* "$work"/timeout-* "$work"/oom-* "$work"/slow-unit-*; do
  [ -e "$artifact" ] || continue
  cp "$artifact" "$findings/"
  echo "finding kept as $findings/$(basename "$artifact"):"
  od -A d -t x1 "$artifact" | head -n 40
done
exit "$status"
