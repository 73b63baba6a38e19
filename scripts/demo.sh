#!/usr/bin/env bash
# The whole job with tarnwick on a built-in sample, in a fresh temporary folder: maker and
# customer key pairs for both command sets, each set in a key folder of its own; a sample BL1
# secured (v2.1 also with --build-info, and a BL1 of odd length with --pad), a sample BL2
# signed, and every image verified; an existing output, a BL1 of odd length and a tampered
# image refused, each with its own status; one --json run for scripts. Then Tarnwick_V21 uses
# the same key folders and images, and sbinspect shows the files with a device's checks. Each
# command is echoed before it runs, with the program's own output after it.
#
# Usage: scripts/demo.sh <build folder>   (as `make demo` calls it; builds nothing itself)
# Exits non-zero as soon as a step does not end as expected.
set -u

if [ $# -ne 1 ]; then
  echo "usage: $0 <build folder>" >&2
  exit 2
fi
build="$(cd "$1" 2>/dev/null && pwd)"
tarnwick="$build/tarnwick/tarnwick"
legacy="$build/cli/Tarnwick_V21"
inspector="$build/inspect/sbinspect"
for program in "$tarnwick" "$legacy" "$inspector"; do
  if [ ! -x "$program" ]; then
    echo "no $(basename "$program") in $1/$(basename "$(dirname "$program")"): build it first" >&2
    exit 2
  fi
done

work="$(mktemp -d "${TMPDIR:-/tmp}/tarnwick-demo-XXXXXX")" || exit 1
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1

steps=0

# Runs one of the programs (by its name) with the arguments; it must end with the expected
# status. Standard error is shown in line with standard output.
expect() {
  local expected=$1 name=$2
  shift 2
  local path
  case $name in
    tarnwick) path=$tarnwick ;;
    Tarnwick_V21) path=$legacy ;;
    sbinspect) path=$inspector ;;
  esac
  if [ "$expected" -eq 0 ]; then
    echo "\$ $name $*"
  else
    echo "\$ $name $*    (must be refused: status $expected)"
  fi
  "$path" "$@" 2>&1
  local status=$?
  if [ "$status" -ne "$expected" ]; then
    echo "demo FAILED: $name $* ended with status $status, not $expected"
    exit 1
  fi
  steps=$((steps + 1))
}

tw() { expect 0 tarnwick "$@"; }

show() {
  echo "\$ $*"
  "$@" || { echo "demo FAILED: $*"; exit 1; }
}

# Sample loaders: a v2.1 BL1 is encrypted in 16-byte AES blocks; BL1_odd.bin is not.
echo "\$ head -c 8192 /dev/urandom >BL1.bin; head -c 8190 /dev/urandom >BL1_odd.bin; head -c 5000 /dev/urandom >BL2.bin"
head -c 8192 /dev/urandom >BL1.bin && head -c 8190 /dev/urandom >BL1_odd.bin &&
  head -c 5000 /dev/urandom >BL2.bin || exit 1

echo
echo "=== Key folders: one per set (a team keeps one per key set: development, production) ==="
show mkdir keys
tw keys maker --dir keys/v21
tw keys customer stage2Key --dir keys/v21
tw keys maker --set v1.1 --dir keys/v11
tw keys customer stage2Key --set v1.1 --dir keys/v11
show ls -l keys/v21 keys/v11

echo
echo "=== v2.1 set: RSA-2048, encrypted BL1 (the set comes from the key files) ==="
tw secure BL1.bin -o secured_BL1_V21.bin --maker keys/v21 --next-key keys/v21/stage2Key_V21.spk
tw secure BL1.bin -o secured_BL1_V21_info.bin --maker keys/v21 \
  --next-key keys/v21/stage2Key_V21.spk --build-info
expect 66 tarnwick secure BL1_odd.bin -o secured_BL1_V21_odd.bin --maker keys/v21 \
  --next-key keys/v21/stage2Key_V21.spk
tw secure BL1_odd.bin -o secured_BL1_V21_odd.bin --maker keys/v21 \
  --next-key keys/v21/stage2Key_V21.spk --pad
tw verify secured_BL1_V21.bin --efuse keys/v21/eFuseData_V21.dat --next-key keys/v21/stage2Key_V21.spk
tw verify secured_BL1_V21_info.bin --efuse keys/v21/eFuseData_V21.dat --next-key keys/v21/stage2Key_V21.spk
tw verify secured_BL1_V21_odd.bin --efuse keys/v21/eFuseData_V21.dat
tw sign BL2.bin -o secured_BL2_V21.bin --key keys/v21/stage2Key_V21.prv
expect 73 tarnwick sign BL2.bin -o secured_BL2_V21.bin --key keys/v21/stage2Key_V21.prv
tw --quiet sign BL2.bin -o secured_BL2_V21.bin --key keys/v21/stage2Key_V21.prv --force
tw verify secured_BL2_V21.bin --key keys/v21/stage2Key_V21.spk

echo
echo "=== v1.1 set: RSA-1024, BL1 in clear ==="
tw secure BL1.bin -o secured_BL1_V11.bin --maker keys/v11 --next-key keys/v11/stage2Key.spk
tw verify secured_BL1_V11.bin --efuse keys/v11/eFuseData.dat --next-key keys/v11/stage2Key.spk
tw sign BL2.bin -o secured_BL2_V11.bin --key keys/v11/stage2Key.prv
tw verify secured_BL2_V11.bin --key keys/v11/stage2Key.spk

echo
echo "=== One flipped byte breaks the chain: status 1 ==="
# Flip the lowest bit of the first byte of a copy of the signed BL2.
show cp secured_BL2_V21.bin tampered_BL2_V21.bin
byte=$(od -An -tu1 -N1 tampered_BL2_V21.bin | tr -d ' ')
printf "$(printf '\\%03o' $((byte ^ 1)))" |
  dd of=tampered_BL2_V21.bin bs=1 count=1 conv=notrunc status=none
expect 1 tarnwick verify tampered_BL2_V21.bin --key keys/v21/stage2Key_V21.spk

echo
echo "=== For scripts: --json, one JSON object on one line ==="
json_args=(verify secured_BL1_V21.bin --efuse keys/v21/eFuseData_V21.dat
  --next-key keys/v21/stage2Key_V21.spk)
echo "\$ tarnwick --json ${json_args[*]}"
json=$("$tarnwick" --json "${json_args[@]}")
status=$?
echo "$json"
if [ "$status" -ne 0 ] || [ "$(printf '%s\n' "$json" | wc -l)" -ne 1 ] ||
  ! printf '%s\n' "$json" | grep -Eq '^\{.*"ok": ?true.*\}$'; then
  echo "demo FAILED: tarnwick --json ${json_args[*]} (status $status)"
  exit 1
fi
steps=$((steps + 1))

echo
echo "=== Tarnwick_V21 uses the same key folders and images ==="
expect 0 Tarnwick_V21 -v2.1 secured_BL1_V21.bin keys/v21/eFuseData_V21.dat -VERIFY
expect 0 Tarnwick_V21 -v2.1 secured_BL2_V21.bin keys/v21/stage2Key_V21.spk -STAGE2_VERIFY
expect 0 Tarnwick_V21 -v2.1 BL2.bin secured_BL2_V21_legacy.bin keys/v21/stage2Key_V21.prv -STAGE2
tw verify secured_BL2_V21_legacy.bin --key keys/v21/stage2Key_V21.spk

echo
show ls -l

echo
echo "=== What a device sees: sbinspect ==="
expect 0 sbinspect --efuse keys/v21/eFuseData_V21.dat --key keys/v21/stage2Key_V21.spk \
  keys/v21/publicKeyInfo_V21.dat secured_BL1_V21.bin secured_BL1_V21_info.bin \
  secured_BL1_V21_odd.bin secured_BL2_V21.bin secured_BL2_V21_legacy.bin
expect 0 sbinspect --efuse keys/v11/eFuseData.dat --key keys/v11/stage2Key.spk \
  keys/v11/publicKeyInfo.dat secured_BL1_V11.bin secured_BL2_V11.bin
expect 0 sbinspect keys/v21/eFuseData_V21.dat keys/v21/stage2Key_V21.prv keys/v11/stage2Key.spk BL1.bin
echo "(the tampered image: its BL2 signature check must fail)"
expect 1 sbinspect --key keys/v21/stage2Key_V21.spk tampered_BL2_V21.bin

echo
echo "Demo complete: $steps steps succeeded; 4 key pairs made in 2 key folders, 4 BL1 images secured and 3 BL2 images signed, every one verified and inspected with a device's checks; an existing output, a BL1 of odd length and the tampered image refused."
