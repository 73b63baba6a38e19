#!/usr/bin/env bash
# The main job of Tarnwick_V21 on a built-in sample, in a fresh temporary folder:
# maker and customer key pairs for both command sets, a sample BL1 secured with "-STAGE1"
# (and "-P" in the v2.1 set), a sample BL2 signed with "-STAGE2", and every image verified;
# then sbinspect shows the files with a device's checks. Each command is echoed before it
# runs, with the program's own output after it.
#
# Usage: scripts/demo.sh <build folder>   (as `make demo` calls it; builds nothing itself)
# Exits non-zero as soon as a step does not end as expected.
set -u

if [ $# -ne 1 ]; then
  echo "usage: $0 <build folder>" >&2
  exit 2
fi
program="$(cd "$1" 2>/dev/null && pwd)/cli/Tarnwick_V21"
if [ ! -x "$program" ]; then
  echo "no Tarnwick_V21 in $1/cli: build it first" >&2
  exit 2
fi
inspector="$(cd "$1" && pwd)/inspect/sbinspect"
if [ ! -x "$inspector" ]; then
  echo "no sbinspect in $1/inspect: build it first" >&2
  exit 2
fi

work="$(mktemp -d "${TMPDIR:-/tmp}/tarnwick-demo-XXXXXX")" || exit 1
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1

steps=0

# Runs the program with the arguments; any status but 0 ends the demo.
run() {
  echo "\$ Tarnwick_V21 $*"
  "$program" "$@"
  local status=$?
  if [ "$status" -ne 0 ]; then
    echo "demo FAILED: Tarnwick_V21 $* ended with status $status"
    exit 1
  fi
  steps=$((steps + 1))
}

# Runs the program on an image that was tampered with: it must refuse it.
run_expecting_refusal() {
  echo "\$ Tarnwick_V21 $*    (tampered image: must be refused)"
  "$program" "$@"
  local status=$?
  if [ "$status" -eq 0 ]; then
    echo "demo FAILED: Tarnwick_V21 $* accepted a tampered image"
    exit 1
  fi
  steps=$((steps + 1))
}

# Runs sbinspect; it must end with the given status (0: every check passed, 1: one failed).
inspect_expecting() {
  local expected=$1
  shift
  echo "\$ sbinspect $*"
  "$inspector" "$@"
  local status=$?
  if [ "$status" -ne "$expected" ]; then
    echo "demo FAILED: sbinspect $* ended with status $status, not $expected"
    exit 1
  fi
  steps=$((steps + 1))
}

show() {
  echo "\$ $*"
  "$@" || { echo "demo FAILED: $*"; exit 1; }
}

# Sample loaders: BL1 must be a whole number of 16-byte AES blocks for the v2.1 set.
echo "\$ head -c 8192 /dev/urandom >BL1.bin; head -c 5000 /dev/urandom >BL2.bin"
head -c 8192 /dev/urandom >BL1.bin && head -c 5000 /dev/urandom >BL2.bin || exit 1

echo
echo "=== v2.1 set: RSA-2048, encrypted BL1 ==="
run -v2.1 -KEYGEN
run -v2.1 stage2Key -STAGE2_KEYGEN
show cp stage2Key_V21.spk publicKeyInfo_V21_stage2.dat
run -v2.1 BL1.bin secured_BL1_V21.bin -STAGE1
run -v2.1 BL1.bin secured_BL1_V21_info.bin unused -P
run -v2.1 secured_BL1_V21.bin eFuseData_V21.dat -VERIFY
run -v2.1 secured_BL1_V21_info.bin eFuseData_V21.dat -VERIFY
run -v2.1 BL2.bin secured_BL2_V21.bin stage2Key_V21.prv -STAGE2
run -v2.1 secured_BL2_V21.bin stage2Key_V21.spk -STAGE2_VERIFY

echo
echo "=== v1.1 set: RSA-1024, BL1 in clear ==="
run -v1.1 -KEYGEN
run -v1.1 stage2Key -STAGE2_KEYGEN
show cp stage2Key.spk stage2_key.spk
run -v1.1 BL1.bin secured_BL1_V11.bin -STAGE1
run -v1.1 secured_BL1_V11.bin eFuseData.dat -VERIFY
run -v1.1 BL2.bin secured_BL2.bin stage2Key.prv -STAGE2
run -v1.1 secured_BL2.bin stage2Key.spk -STAGE2_VERIFY

echo
echo "=== One flipped byte breaks the chain ==="
# Flip the lowest bit of the first byte of a copy of the signed BL2.
show cp secured_BL2_V21.bin tampered_BL2_V21.bin
byte=$(od -An -tu1 -N1 tampered_BL2_V21.bin | tr -d ' ')
printf "$(printf '\\%03o' $((byte ^ 1)))" |
  dd of=tampered_BL2_V21.bin bs=1 count=1 conv=notrunc status=none
run_expecting_refusal -v2.1 tampered_BL2_V21.bin stage2Key_V21.spk -STAGE2_VERIFY

echo
show ls -l

echo
echo "=== What a device sees: sbinspect ==="
inspect_expecting 0 --efuse eFuseData_V21.dat --key stage2Key_V21.spk \
  publicKeyInfo_V21.dat secured_BL1_V21.bin secured_BL1_V21_info.bin secured_BL2_V21.bin
inspect_expecting 0 --efuse eFuseData.dat --key stage2Key.spk \
  publicKeyInfo.dat secured_BL1_V11.bin secured_BL2.bin
inspect_expecting 0 eFuseData_V21.dat stage2Key_V21.prv stage2Key.spk BL1.bin
echo "(the tampered image: its BL2 signature check must fail)"
inspect_expecting 1 --key stage2Key_V21.spk tampered_BL2_V21.bin

echo
echo "Demo complete: $steps steps succeeded; 4 key pairs made, 3 BL1 images secured and 2 BL2 images signed, every one verified and inspected with a device's checks, and the tampered image refused."
