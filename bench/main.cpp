#include <benchmark/benchmark.h>

#include "bench/bench.h"

int main(int argc, char** argv) {
  qiv::bench::register_hash_cipher();
  qiv::bench::register_bignum();
  qiv::bench::register_rsa();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
