#!/usr/bin/env bash
# `make bench`: release build of the program and the benchmarks in build-bench, the
# micro-benchmarks against OpenSSL (twice: as OpenSSL runs by default, and with its AES-NI and
# SHA instructions masked off), the end-to-end comparison of every command with the OpenSSL
# command line, and docs/PERFORMANCE.md from the results.
#
# Knobs: BENCH_BUILD (build-bench), BENCH_REPETITIONS (3), BENCH_RUNS (5),
# BENCH_KEYGEN_RUNS (15), BENCH_SIZES ("64 KiB,1 MiB,64 MiB"), BENCH_OUT (docs/PERFORMANCE.md).
set -euo pipefail
cd "$(dirname "$0")/.."

BUILD=${BENCH_BUILD:-build-bench}
RESULTS=$BUILD/results
OUT=${BENCH_OUT:-docs/PERFORMANCE.md}
REPETITIONS=${BENCH_REPETITIONS:-3}
# OPENSSL_ia32cap is read once, when libcrypto initialises: "~" clears capability bits.
# First word, bit 57: AES-NI (CPUID.1:ECX.25). Second word, bit 29: SHA (CPUID.7:EBX.29).
MASK='~0x200000000000000:~0x20000000'
# Also without SSSE3 (bit 41), AVX (bit 60) and AVX2 (second word, bit 5): OpenSSL's integer-only
# SHA-1, the reference point for what portable code can reach.
SCALAR_MASK='~0x1200020000000000:~0x20000020'

if [ ! -x /usr/bin/time ]; then
  echo "installing /usr/bin/time for the peak-memory figures"
  SUDO=$([ "$(id -u)" = 0 ] || echo sudo)
  install=($SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq time)
  if ! "${install[@]}" >/dev/null 2>&1; then
    $SUDO apt-get update -qq && "${install[@]}" >/dev/null
  fi
fi

# The report's arithmetic (ratios, verdicts) is checked before anything is timed.
python3 bench/test_report.py

generator=()
if [ ! -f "$BUILD/CMakeCache.txt" ] && command -v ninja >/dev/null; then generator=(-G Ninja); fi
cmake -S . -B "$BUILD" "${generator[@]}" -DCMAKE_BUILD_TYPE=Release -DQIV_BENCH=ON \
  -DQIV_TESTS=OFF >/dev/null
cmake --build "$BUILD" -j "$(nproc)" --target qiv_bench Tarnwick_V21

mkdir -p "$RESULTS"
load_before=$(cut -d' ' -f1-3 /proc/loadavg)

echo "== micro-benchmarks"
"$BUILD/bench/qiv_bench" --benchmark_repetitions="$REPETITIONS" \
  --benchmark_out="$RESULTS/micro.json" --benchmark_out_format=json

echo "== OpenSSL without AES-NI and SHA instructions"
OPENSSL_ia32cap=$MASK "$BUILD/bench/qiv_bench" --benchmark_repetitions="$REPETITIONS" \
  --benchmark_filter='^(sha1|aes128cbc_[a-z]+)/openssl/' \
  --benchmark_out="$RESULTS/masked.json" --benchmark_out_format=json

echo "== OpenSSL's integer-only SHA-1"
OPENSSL_ia32cap=$SCALAR_MASK "$BUILD/bench/qiv_bench" --benchmark_repetitions="$REPETITIONS" \
  --benchmark_filter='^sha1/openssl/1048576$' \
  --benchmark_out="$RESULTS/scalar.json" --benchmark_out_format=json

echo "== commands end to end"
python3 scripts/bench_e2e.py --program "$BUILD/cli/Tarnwick_V21" --out "$RESULTS/e2e.json" \
  --runs "${BENCH_RUNS:-5}" --keygen-runs "${BENCH_KEYGEN_RUNS:-15}" \
  --sizes "${BENCH_SIZES:-64 KiB,1 MiB,64 MiB}"

load_after=$(cut -d' ' -f1-3 /proc/loadavg)
flags=$(grep -m1 '^flags' /proc/cpuinfo | tr ' ' '\n' |
  grep -xE 'aes|sha_ni|avx2|avx512f|bmi2|adx' | tr '\n' ' ' || true)
compiler=$(readlink -f "$(grep -m1 '^CMAKE_CXX_COMPILER:' "$BUILD/CMakeCache.txt" | cut -d= -f2)")
python3 - "$RESULTS/machine.json" <<EOF
import json, sys
json.dump({
    "date": "$(date -u '+%Y-%m-%d %H:%M UTC')",
    "cpu": "$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//')",
    "cores": "$(nproc)",
    "flags": "${flags% }",
    "gxx": "$(g++ --version | head -n1)",
    "clang": "$(clang++ --version 2>/dev/null | head -n1 || echo 'clang++ not installed')",
    "build": "CMAKE_BUILD_TYPE=Release (-O3 -DNDEBUG), $compiler",
    "openssl": "$(openssl version)",
    "load_before": "$load_before",
    "load_after": "$load_after",
}, open(sys.argv[1], "w"), indent=1)
EOF

echo "== $OUT"
python3 bench/report.py --micro "$RESULTS/micro.json" --masked "$RESULTS/masked.json" \
  --scalar "$RESULTS/scalar.json" --e2e "$RESULTS/e2e.json" --machine "$RESULTS/machine.json" --notes bench/profile_notes.md \
  --out "$OUT"
