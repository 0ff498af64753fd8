#!/usr/bin/env bash
# A long fuzz campaign. Builds the libFuzzer targets (clang, AddressSanitizer and
# UndefinedBehaviorSanitizer) in build-fuzz/ and runs the named targets (default: all) one
# after another, each for SECONDS (default 3600), on one core. Each target's corpus grows
# in out/fuzz/<target>/corpus, seeded from fuzz/corpus/<target> and fuzz/regressions/<target>
# and kept between campaigns; findings go to out/fuzz/<target>/ and the full log to
# out/fuzz/<target>/log. A summary line per target (executions, coverage, findings) is
# printed and appended to out/fuzz/campaigns.log.
#
#   scripts/fuzz-campaign.sh [-t SECONDS] [target...]     targets: context text ber spnego ntlmssp kerberos packet
#
# Extra libFuzzer flags come from FUZZ_FLAGS, e.g. FUZZ_FLAGS="-fork=1 -ignore_timeouts=1"
# to carry on past a known finding that is not fixed yet.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=3600
if [ "${1:-}" = "-t" ]; then seconds=$2; shift 2; fi
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(context text ber spnego ntlmssp kerberos packet)

cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ -DSMBAUDIT_SANITIZE=ON \
      -DSMBAUDIT_FUZZ=ON >/dev/null
cmake --build build-fuzz -j"$(nproc)" --target $(printf 'fuzz_%s ' "${targets[@]}") >/dev/null

for t in "${targets[@]}"; do
  out=out/fuzz/$t
  mkdir -p "$out/corpus"
  for seeds in fuzz/corpus/$t fuzz/regressions/$t; do
    [ -d "$seeds" ] && cp -n "$seeds"/* "$out/corpus/" 2>/dev/null || true
  done
  status=0
  # shellcheck disable=SC2086
  build-fuzz/fuzz/fuzz_"$t" -max_total_time="$seconds" -dict=fuzz/smb.dict -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$out/" ${FUZZ_FLAGS:-} "$out/corpus" >"$out/log" 2>&1 || status=$?
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$out/log" | tail -n 1)
  # Fork mode prints no final statistics: the last status line counts the executions.
  [ -n "$execs" ] || execs=$(grep -oE '^#[0-9]+' "$out/log" | tail -n 1 | tr -d '#')
  cov=$(grep -oE 'cov: [0-9]+ ft: [0-9]+' "$out/log" | tail -n 1)
  findings=$(find "$out" -maxdepth 1 -type f \( -name 'crash-*' -o -name 'leak-*' -o -name 'timeout-*' \
             -o -name 'oom-*' \) | wc -l)
  line="$(date -u +%FT%TZ) $t ${seconds}s execs=${execs:-?} ${cov:-cov: ?} corpus=$(ls "$out/corpus" | wc -l)"
  line+=" findings=$findings exit=$status $(git rev-parse --short HEAD)"
  echo "$line" | tee -a out/fuzz/campaigns.log
done
