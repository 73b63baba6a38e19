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

// The rows of schoolbook multiplication and of the reduction: r +/-= a*d over n digits, unrolled
// by four so that the loop's own bookkeeping is paid once per four digit products. Within a row
// every digit waits for the carry of the one below: what stands on that chain sets the speed.

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
// Each product a[i]*d is split into its low digit, which belongs to digit i, and its high digit,
// which belongs to digit i+1. Digit i then takes t = r[i] - lo(p_i) - hi(p_{i-1}) + carry with
// t in [-2^33, 2^32), and only its arithmetic shift, the signed carry 0, -1 or -2, passes on:
// the chain is one add and one shift, not a whole multiply-subtract. At the end the borrow digit
// is hi(p_{n-1}) minus the last carry, the same value as a plain row's, below 2^32.
inline std::uint32_t sub_row(std::uint32_t* r, const std::uint32_t* a, std::uint32_t n,
                             std::uint32_t d) {
  std::int64_t carry = 0;  // 0, -1 or -2
  std::uint32_t high = 0;  // high digit of the previous product
#pragma GCC unroll 4
  for (std::uint32_t i = 0; i < n; ++i) {
    const std::uint64_t p = std::uint64_t{a[i]} * d;
    const std::int64_t t = std::int64_t{r[i]} - lo(p) - high + carry;
    r[i] = static_cast<std::uint32_t>(t);
    carry = t >> 32;
    high = hi(p);
  }
  return lo(static_cast<std::uint64_t>(std::int64_t{high} - carry));
}

// Local work arrays hold secret values (primes, private exponents, CRT halves): they are wiped
// on every path out of their scope.
template <std::uint32_t N>
using Scratch = qiv::SecretArray<std::uint32_t, N>;

}  // namespace qiv::bn
