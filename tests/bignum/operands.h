// Operands for the big-number suites, whose reference is OpenSSL's BIGNUM
// (tests/support/reference.h): a seeded generator whose shapes stress carries, borrows and
// quotient estimates.
#pragma once

#include <cstdint>
#include <random>
#include <string>

#include "tests/support/reference.h"

namespace bntest {

using ref::Digits;

// Heavy loops shrink tenfold under the sanitizers.
inline int cases(int n) {
  return ref::sanitized() ? n / 10 : n;
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
