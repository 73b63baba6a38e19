#!/usr/bin/env bash
# Every command of both sets of Tarnwick_V21, run once end to end under valgrind's memcheck in a
# fresh temporary folder: key pairs, secured and signed images, their verification, and the
# screens; then sbinspect over every file made, with a device's checks, in text and JSON. Any
# invalid read or write, use of uninitialised memory, or leaked block fails the run.
#
# Usage: scripts/valgrind_run.sh [build folder]
#   Without an argument a release build with debug information (RelWithDebInfo: -O2 -g) of the
#   two programs alone is made in build-valgrind. Opt-in, not part of `make test`: key generation
#   under valgrind takes minutes.
# Exits 0 when every command ended with status 0 and valgrind reported nothing.
set -u

root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build-valgrind}"
if [ $# -eq 0 ]; then
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQIV_TESTS=OFF >/dev/null &&
    cmake --build "$build" --target Tarnwick_V21 sbinspect -j "$(nproc)" >/dev/null || exit 2
fi
program="$(cd "$build" && pwd)/cli/Tarnwick_V21"
inspector="$(cd "$build" && pwd)/inspect/sbinspect"
for p in "$program" "$inspector"; do
  if [ ! -x "$p" ]; then
    echo "no $p: build it first" >&2
    exit 2
  fi
done
command -v valgrind >/dev/null || { echo "valgrind is not installed" >&2; exit 2; }

work="$(mktemp -d "${TMPDIR:-/tmp}/tarnwick-valgrind-XXXXXX")" || exit 2
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 2

failures=0
runs=0
started=$SECONDS

# Runs one program under memcheck. Its own status and valgrind's verdict are both checked: every
# run here is expected to end with status 0, so anything else (1 is valgrind's error exit) fails.
run_checked() {
  local log="$work/valgrind-$runs.log"
  local begin=$SECONDS
  valgrind --leak-check=full --error-exitcode=1 --log-file="$log" "$@" >/dev/null
  local status=$?
  runs=$((runs + 1))
  if [ "$status" -ne 0 ] || ! grep -q "ERROR SUMMARY: 0 errors" "$log"; then
    failures=$((failures + 1))
    echo "FAILED ($status): $(basename "$1") ${*:2}"
    cat "$log"
  else
    echo "ok  $((SECONDS - begin))s  $(basename "$1") ${*:2}"
  fi
}
check() { run_checked "$program" "$@"; }
inspect() { run_checked "$inspector" "$@"; }

head -c 8192 /dev/urandom >BL1.bin && head -c 5000 /dev/urandom >BL2.bin || exit 2

for set in -v2.1 -v1.1; do
  check "$set" -help
  check "$set" -v
  check "$set" -version
  check "$set" -KEYGEN
  check "$set" stage2Key -STAGE2_KEYGEN
done
cp stage2Key_V21.spk publicKeyInfo_V21_stage2.dat && cp stage2Key.spk stage2_key.spk || exit 2

check -v2.1 BL1.bin secured_BL1_V21.bin -STAGE1
check -v2.1 BL1.bin secured_BL1_V21_P.bin unused -P
check -v2.1 secured_BL1_V21.bin eFuseData_V21.dat -VERIFY
check -v2.1 secured_BL1_V21_P.bin eFuseData_V21.dat -VERIFY
check -v2.1 BL2.bin secured_BL2_V21.bin stage2Key_V21.prv -STAGE2
check -v2.1 secured_BL2_V21.bin stage2Key_V21.spk -STAGE2_VERIFY

check -v1.1 BL1.bin secured_BL1_V11.bin -STAGE1
check -v1.1 secured_BL1_V11.bin eFuseData.dat -VERIFY
check -v1.1 BL2.bin secured_BL2.bin stage2Key.prv -STAGE2
check -v1.1 secured_BL2.bin stage2Key.spk -STAGE2_VERIFY

inspect --efuse eFuseData_V21.dat --key stage2Key_V21.spk secured_BL1_V21.bin secured_BL1_V21_P.bin
inspect --json --efuse eFuseData_V21.dat --key stage2Key_V21.spk secured_BL1_V21_P.bin
inspect --efuse eFuseData.dat --key stage2Key.spk secured_BL1_V11.bin publicKeyInfo.dat
inspect --key stage2Key_V21.spk secured_BL2_V21.bin
inspect --json --key stage2Key.spk secured_BL2.bin
inspect publicKeyInfo_V21.dat stage2Key_V21.spk stage2Key.spk privateKey_V21.dat privateKey.dat \
  stage2Key_V21.prv stage2Key.prv eFuseData_V21.dat eFuseData.dat BL1.bin

echo "valgrind: $runs runs, $failures failed, $((SECONDS - started)) s"
[ "$failures" -eq 0 ]
