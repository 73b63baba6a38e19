#!/usr/bin/env bash
# Where one benchmarked operation spends its instructions: callgrind over the release benchmark
# binary, counting only inside the given function (not the set-up or OpenSSL's side).
#
#   bench/profile.sh BENCHMARK_FILTER FUNCTION_PATTERN [BUILD_DIR]
#   bench/profile.sh 'pss_sign_crt/ours' 'QIV_RSA_PSS_SignCRT*'
#   bench/profile.sh 'sha1/ours/1048576' 'QIV_SHA1_Update*'
#
# Needs a build from `make bench` (build-bench) and valgrind.
set -euo pipefail
if [ $# -lt 2 ]; then
  sed -n '2,9p' "$0" | sed 's/^# \{0,1\}//'
  exit 2
fi
filter=$1
function=$2
build=${3:-build-bench}
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

valgrind --tool=callgrind --callgrind-out-file="$out/callgrind.out" --toggle-collect="$function" \
  "$build/bench/qiv_bench" --benchmark_filter="$filter" --benchmark_min_time=0.05 >/dev/null 2>&1
# Our functions only (the harness frames above the measured one carry everything), by self
# cost and then with their callees included.
ours() { grep -F 'qiv_bench]' | grep -vE 'benchmark::|\(below main\)|:main \[|qiv::bench::' | head -n 20; }
echo "== self cost"
callgrind_annotate "$out/callgrind.out" | grep -m1 'PROGRAM TOTALS'
callgrind_annotate "$out/callgrind.out" | ours
echo "== with callees"
callgrind_annotate --inclusive=yes "$out/callgrind.out" | ours
