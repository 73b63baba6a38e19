// Modular multiplication and exponentiation at the RSA sizes: 32 digits (1024 bits, a 2048-bit
// key's primes and the 1024-bit modulus) and 64 digits (2048 bits).
//
// OpenSSL's counterparts are what a caller of its BIGNUM interface gets: BN_mod_mul (product,
// then division) and BN_mod_exp (Montgomery with a sliding window for an odd modulus). The
// exponent is full length, as a private exponent is.
#include <benchmark/benchmark.h>

#include <cstdint>

#include "bench/bench.h"
#include "bench/reference.h"
#include "bignum/bignum.h"

namespace qiv::bench {
namespace {

struct Operands {
  explicit Operands(std::uint32_t n)
      : m(random_modulus(n, 11 * n)), a(random_below(m, 12 * n)), b(random_below(m, 13 * n)) {}
  Digits m, a, b;
};

class OpenSslOperands {
 public:
  explicit OpenSslOperands(const Operands& in)
      : m(to_bn(in.m.data(), size(in))),
        a(to_bn(in.a.data(), size(in))),
        b(to_bn(in.b.data(), size(in))),
        r(BN_new()),
        ctx(BN_CTX_new()) {
    require(r && ctx, "BN_new");
  }
  bool mod_mul() { return BN_mod_mul(r.get(), a.get(), b.get(), m.get(), ctx.get()) == 1; }
  // a^b mod m.
  bool mod_exp() { return BN_mod_exp(r.get(), a.get(), b.get(), m.get(), ctx.get()) == 1; }

  static std::uint32_t size(const Operands& in) { return static_cast<std::uint32_t>(in.m.size()); }
  Owned<BIGNUM> m, a, b, r;
  Owned<BN_CTX> ctx;
};

void our_mod_mul(Digits& r, const Operands& in) {
  qiv_bn_ModMul(r.data(), in.a.data(), in.b.data(), in.m.data(), OpenSslOperands::size(in));
}
void our_mod_exp(Digits& r, const Operands& in) {
  const auto n = OpenSslOperands::size(in);
  qiv_bn_Binary(r.data(), in.a.data(), in.m.data(), n, in.b.data(), n);
}

template <void (*Ours)(Digits&, const Operands&), bool (OpenSslOperands::*Theirs)()>
void run_ours(benchmark::State& state) {
  const Operands in(static_cast<std::uint32_t>(state.range(0)));
  OpenSslOperands ref(in);
  Digits r(in.m.size());
  Ours(r, in);
  if (!(ref.*Theirs)() || r != to_digits(ref.r.get(), OpenSslOperands::size(in))) {
    state.SkipWithError("result differs from OpenSSL's");
    return;
  }
  for (auto _ : state) {
    Ours(r, in);
    benchmark::DoNotOptimize(r.data());
  }
}

template <bool (OpenSslOperands::*Theirs)()>
void run_openssl(benchmark::State& state) {
  const Operands in(static_cast<std::uint32_t>(state.range(0)));
  OpenSslOperands ref(in);
  for (auto _ : state) {
    if (!(ref.*Theirs)()) {
      state.SkipWithError("OpenSSL failed");
      break;
    }
    benchmark::DoNotOptimize(ref.r.get());
  }
}

}  // namespace

void register_bignum() {
  benchmark::RegisterBenchmark("bn_modmul/ours", run_ours<our_mod_mul, &OpenSslOperands::mod_mul>)
      ->Arg(32)
      ->Arg(64);
  benchmark::RegisterBenchmark("bn_modmul/openssl", run_openssl<&OpenSslOperands::mod_mul>)
      ->Arg(32)
      ->Arg(64);
  benchmark::RegisterBenchmark("bn_binary/ours", run_ours<our_mod_exp, &OpenSslOperands::mod_exp>)
      ->Arg(32)
      ->Arg(64)
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("bn_binary/openssl", run_openssl<&OpenSslOperands::mod_exp>)
      ->Arg(32)
      ->Arg(64)
      ->Unit(benchmark::kMillisecond);
}

}  // namespace qiv::bench
