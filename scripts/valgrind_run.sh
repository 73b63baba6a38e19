#!/usr/bin/env bash
# Every command of both sets of Tarnwick_V21, run once end to end under valgrind's memcheck in a
# fresh temporary folder: key pairs, secured and signed images, their verification, and the
# screens. Any invalid read or write, use of uninitialised memory, or leaked block fails the run.
#
# Usage: scripts/valgrind_run.sh [build folder]
#   Without an argument a release build with debug information (RelWithDebInfo: -O2 -g) of the
#   program alone is made in build-valgrind. Opt-in, not part of `make test`: key generation
#   under valgrind takes minutes.
# Exits 0 when every command ended with status 0 and valgrind reported nothing.
set -u

root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build-valgrind}"
if [ $# -eq 0 ]; then
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQIV_TESTS=OFF >/dev/null &&
    cmake --build "$build" --target Tarnwick_V21 -j "$(nproc)" >/dev/null || exit 2
fi
program="$(cd "$build" && pwd)/cli/Tarnwick_V21"
if [ ! -x "$program" ]; then
  echo "no Tarnwick_V21 in $build/cli: build it first" >&2
  exit 2
fi
command -v valgrind >/dev/null || { echo "valgrind is not installed" >&2; exit 2; }

work="$(mktemp -d "${TMPDIR:-/tmp}/tarnwick-valgrind-XXXXXX")" || exit 2
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 2

failures=0
runs=0
started=$SECONDS

# Runs one command under memcheck. Its own status and valgrind's verdict are both checked: the
# program never ends with status 1 for these commands, so 1 is valgrind's error exit.
check() {
  local log="$work/valgrind-$runs.log"
  local begin=$SECONDS
  valgrind --leak-check=full --error-exitcode=1 --log-file="$log" "$program" "$@" >/dev/null
  local status=$?
  runs=$((runs + 1))
  if [ "$status" -ne 0 ] || ! grep -q "ERROR SUMMARY: 0 errors" "$log"; then
    failures=$((failures + 1))
    echo "FAILED ($status): Tarnwick_V21 $*"
    cat "$log"
  else
    echo "ok  $((SECONDS - begin))s  Tarnwick_V21 $*"
  fi
}

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

echo "valgrind: $runs runs, $failures failed, $((SECONDS - started)) s"
[ "$failures" -eq 0 ]
