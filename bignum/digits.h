// Digit-level helpers shared by the big-number routines.
#pragma once

#include <cstdint>

#include "crypto/wipe.h"

namespace qiv::bn {

constexpr std::uint32_t lo(std::uint64_t t) {
  return static_cast<std::uint32_t>(t);
}
constexpr std::uint32_t hi(std::uint64_t t) {
  return static_cast<std::uint32_t>(t >> 32);
}

// The rows of schoolbook multiplication and of the reduction: r +/-= a*d over n digits. They
// carry the whole high digit of each step into the next, and are unrolled by four so that the
// loop's own bookkeeping is paid once per four digit products.

// r[0 .. n-1] += a*d; returns the carry digit: r_before + a*d = r_after + carry * 2^(32n).
// a[i]*d + r[i] + c <= (2^32-1)^2 + 2(2^32-1) = 2^64 - 1: a step never overflows 64 bits.
inline std::uint32_t add_row(std::uint32_t* r, const std::uint32_t* a, std::uint32_t n,
                             std::uint32_t d) {
  std::uint32_t c = 0;
#pragma GCC unroll 4
  for (std::uint32_t i = 0; i < n; ++i) {
    const std::uint64_t t = std::uint64_t{a[i]} * d + r[i] + c;
    r[i] = lo(t);
    c = hi(t);
  }
  return c;
}

// r[0 .. n-1] -= a*d; returns the borrow digit: r_before - a*d = r_after - borrow * 2^(32n).
// p = a[i]*d + c <= 2^64 - 2^32, and u = r[i] - p taken modulo 2^64 is the digit difference:
// its low half is the new digit, and its high half is 0 when r[i] >= p and otherwise 2^32 minus
// the borrow into the next digit (at most 2^32 - 1), so the borrow is -hi(u) modulo 2^32.
inline std::uint32_t sub_row(std::uint32_t* r, const std::uint32_t* a, std::uint32_t n,
                             std::uint32_t d) {
  std::uint32_t c = 0;
#pragma GCC unroll 4
  for (std::uint32_t i = 0; i < n; ++i) {
    const std::uint64_t u = std::uint64_t{r[i]} - (std::uint64_t{a[i]} * d + c);
    r[i] = lo(u);
    c = 0u - hi(u);
  }
  return c;
}

// Local work arrays hold secret values (primes, private exponents, CRT halves): they are wiped
// on every path out of their scope.
template <std::uint32_t N>
using Scratch = qiv::SecretArray<std::uint32_t, N>;

}  // namespace qiv::bn
