// Test support for the big-number suites: OpenSSL's BIGNUM as the independent reference, and a
// seeded operand generator whose shapes stress carries, borrows and quotient estimates.
#pragma once

#include <gtest/gtest.h>
#include <openssl/bn.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace bntest {

using Digits = std::vector<std::uint32_t>;

struct BnFree {
  void operator()(BIGNUM* b) const { BN_free(b); }
};
using Bn = std::unique_ptr<BIGNUM, BnFree>;

struct CtxFree {
  void operator()(BN_CTX* c) const { BN_CTX_free(c); }
};
using Ctx = std::unique_ptr<BN_CTX, CtxFree>;

inline Ctx ctx() {
  return Ctx(BN_CTX_new());
}

inline Bn bn(const std::uint32_t* d, std::size_t n) {
  std::vector<unsigned char> le(4 * n + 1);
  for (std::size_t i = 0; i < 4 * n; ++i)
    le[i] = static_cast<unsigned char>(d[i / 4] >> (8 * (i % 4)));
  return Bn(BN_lebin2bn(le.data(), static_cast<int>(4 * n), nullptr));
}
inline Bn bn(const Digits& d) {
  return bn(d.data(), d.size());
}
inline Bn bn_new() {
  return Bn(BN_new());
}

// x as exactly n digits; an empty vector (and a test failure) when it does not fit.
inline Digits digits(const BIGNUM* x, std::size_t n) {
  std::vector<unsigned char> le(4 * n + 1);
  if (BN_bn2lebinpad(x, le.data(), static_cast<int>(4 * n)) < 0) {
    ADD_FAILURE() << "reference value does not fit " << n << " digits";
    return {};
  }
  Digits d(n);
  for (std::size_t i = 0; i < 4 * n; ++i) d[i / 4] |= std::uint32_t{le[i]} << (8 * (i % 4));
  return d;
}

// Heavy loops shrink tenfold under the sanitizers (`make asan` sets QIV_SANITIZED=1).
inline int cases(int n) {
  const char* s = std::getenv("QIV_SANITIZED");
  return s != nullptr && s[0] == '1' ? n / 10 : n;
}

// Operands from a fixed seed, so that a failure reproduces; where() names seed and case.
class Gen {
 public:
  explicit Gen(std::uint64_t seed) : seed_(seed), rng_(seed) {}

  std::uint32_t digit() { return static_cast<std::uint32_t>(rng_()); }
  std::uint32_t between(std::uint32_t lo, std::uint32_t hi) {
    return lo + static_cast<std::uint32_t>(rng_() % (hi - lo + 1));
  }

  // n digits in one of several shapes: all ones, sparse (digits 0, 1, 0xFFFFFFFF), or random
  // with an occasional extreme digit.
  Digits number(std::uint32_t n) {
    Digits d(n);
    const std::uint32_t shape = between(0, 7);
    for (auto& x : d) {
      if (shape == 0) {
        x = 0xFFFFFFFFu;
      } else if (shape == 1) {
        static constexpr std::uint32_t kSparse[] = {0, 0, 1, 0xFFFFFFFFu};
        x = kSparse[between(0, 3)];
      } else {
        static constexpr std::uint32_t kExtreme[] = {0, 1, 0x80000000u, 0xFFFFFFFFu};
        x = between(0, 7) == 0 ? kExtreme[between(0, 3)] : digit();
      }
    }
    return d;
  }
  // As number(), with a non-zero top digit.
  Digits full(std::uint32_t n) {
    Digits d = number(n);
    if (n > 0 && d[n - 1] == 0) d[n - 1] = between(1, 0xFFFFFFFFu);
    return d;
  }
  // As number(), with the top bit of the top digit set.
  Digits normalised(std::uint32_t n) {
    Digits d = number(n);
    if (n > 0) d[n - 1] |= 0x80000000u;
    return d;
  }

  std::string where(int i) const {
    return "seed " + std::to_string(seed_) + ", case " + std::to_string(i);
  }

 private:
  std::uint64_t seed_;
  std::mt19937_64 rng_;
};

}  // namespace bntest
