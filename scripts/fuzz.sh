#!/usr/bin/env bash
# Runs every libFuzzer harness (fuzz/) for FUZZ_SECONDS each, one after the other.
#
#   FUZZ_SECONDS=60 ./scripts/fuzz.sh [harness ...]     (default: every harness)
#
# Builds build-fuzz with clang++ and QIV_FUZZ=ON (ASan + UBSan, libraries instrumented). Each
# harness starts from a scratch copy of its committed seeds (fuzz/corpus/<harness>) plus what
# earlier runs found (FUZZ_WORK/corpus/<harness>, default build-fuzz/work); new interesting
# inputs go to that work folder, never into the repository. Prints, per harness, the executions
# and the coverage and feature counts from libFuzzer's final lines. A crash, leak, timeout or
# sanitizer report stops the script with a non-zero status; the input that caused it is kept
# in FUZZ_WORK/crashes/<harness>/.
set -euo pipefail

cd "$(dirname "$0")/.."
SECONDS_EACH=${FUZZ_SECONDS:-60}
BUILD=${FUZZ_BUILD:-build-fuzz}
WORK=${FUZZ_WORK:-$BUILD/work}
JOBS=${JOBS:-$(nproc)}
ALL_HARNESSES=(pss_verify aes_cbc_decrypt noise_file key_blob_sign context_check stage2_verify inspect
               key_reference)
ALL_HARNESSES+=(private_key_file)

if [[ ! "$SECONDS_EACH" =~ ^[1-9][0-9]*$ ]]; then
  echo "FUZZ_SECONDS must be a positive whole number of seconds, not '$SECONDS_EACH'" >&2
  exit 2
fi
if [[ $# -gt 0 ]]; then harnesses=("$@"); else harnesses=("${ALL_HARNESSES[@]}"); fi
for h in "${harnesses[@]}"; do
  if [[ ! -d fuzz/corpus/$h ]]; then
    echo "unknown harness '$h' (known: ${ALL_HARNESSES[*]})" >&2
    exit 2
  fi
done

generator=()
command -v ninja >/dev/null 2>&1 && [[ ! -f $BUILD/CMakeCache.txt ]] && generator=(-G Ninja)
CXX=clang++ cmake -S . -B "$BUILD" "${generator[@]}" -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQIV_FUZZ=ON -DQIV_TESTS=OFF >/dev/null
cmake --build "$BUILD" -j "$JOBS" --target "${harnesses[@]/#/fuzz_}"

# A sanitizer report must end the run at once and with a report libFuzzer recognises.
export ASAN_OPTIONS=${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1:symbolize=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}

summary=()
status=0
for h in "${harnesses[@]}"; do
  corpus="$WORK/corpus/$h"
  crashes="$WORK/crashes/$h"
  scratch=$(mktemp -d "${TMPDIR:-/tmp}/qiv-fuzz-$h-XXXXXX")
  mkdir -p "$corpus" "$crashes"
  cp fuzz/corpus/"$h"/* "$scratch"/
  log="$WORK/$h.log"
  echo "== $h: ${SECONDS_EACH}s"
  # New inputs land in the first folder (the work corpus); the scratch copy only seeds.
  set +e
  "$BUILD/fuzz/fuzz_$h" "$corpus" "$scratch" -max_total_time="$SECONDS_EACH" \
    -print_final_stats=1 -max_len=4096 -timeout=25 -rss_limit_mb=4096 -artifact_prefix="$crashes/" \
    >"$log" 2>&1
  rc=$?
  set -e
  rm -rf "$scratch"
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  # The last status line (DONE after a full run) carries the final coverage and features.
  last=$(grep -E '^#[0-9]+[[:space:]].* cov: [0-9]+ ft: [0-9]+' "$log" | tail -1 || true)
  cov=$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<<"$last")
  ft=$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<<"$last")
  units=$(find "$corpus" -type f | wc -l)
  line=$(printf '%-16s executions %-9s coverage %-6s features %-6s corpus %s' \
    "$h" "${execs:-?}" "${cov:-?}" "${ft:-?}" "$units")
  if [[ $rc -ne 0 ]]; then
    line="$line  FAILED (status $rc; log $log; inputs in $crashes)"
    status=1
  fi
  echo "$line"
  summary+=("$line")
  if [[ $rc -ne 0 ]]; then
    grep -E 'ERROR|invariant broken|SUMMARY|Test unit written' "$log" | head -20 >&2 || true
    break
  fi
done

echo
echo "Fuzzing summary (${SECONDS_EACH}s per harness):"
printf '  %s\n' "${summary[@]}"
exit $status
