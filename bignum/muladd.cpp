// Multiply-accumulate of a big number by one digit into an accumulator: acc += a*d, acc -= a*d.
//
// Only acc's nAcc digits are ever written: an a longer than acc is cut to nAcc digits.

#include "bignum/bignum.h"
#include "bignum/digits.h"

using qiv::bn::hi;
using qiv::bn::lo;

// a[i]*d + acc[i] + c <= (2^32-1)^2 + 2(2^32-1) = 2^64 - 1: the row never overflows 64 bits.
std::uint32_t qiv_bn_MulAdd(std::uint32_t* acc, std::uint32_t nAcc, const std::uint32_t* a,
                            std::uint32_t na, std::uint32_t d) {
  if (na > nAcc) na = nAcc;
  std::uint32_t c = 0;
  for (std::uint32_t i = 0; i < na; ++i) {
    const std::uint64_t t = std::uint64_t{a[i]} * d + acc[i] + c;
    acc[i] = lo(t);
    c = hi(t);
  }
  if (c == 0 || na >= nAcc) return c;
  // Above a's digits the carry digit is added once, then a 0/1 carry ripples until absorbed.
  std::uint64_t t = std::uint64_t{acc[na]} + c;
  acc[na] = lo(t);
  std::uint32_t carry = hi(t);
  for (std::uint32_t i = na + 1; carry != 0 && i < nAcc; ++i) {
    acc[i] += 1;
    carry = acc[i] == 0 ? 1u : 0u;
  }
  return carry;
}

// a[i]*d + c <= 2^64 - 2^32, so its high digit is at most 2^32 - 2 and adding the 0/1 borrow of
// the digit subtraction still fits one digit.
std::uint32_t qiv_bn_MulSub(std::uint32_t* acc, std::uint32_t nAcc, const std::uint32_t* a,
                            std::uint32_t na, std::uint32_t d) {
  if (na > nAcc) na = nAcc;
  std::uint32_t c = 0;
  for (std::uint32_t i = 0; i < na; ++i) {
    const std::uint64_t t = std::uint64_t{a[i]} * d + c;
    const std::uint32_t sub = lo(t);
    c = hi(t) + (acc[i] < sub ? 1u : 0u);
    acc[i] -= sub;
  }
  if (c == 0 || na >= nAcc) return c;
  std::uint32_t borrow = acc[na] < c ? 1u : 0u;
  acc[na] -= c;
  for (std::uint32_t i = na + 1; borrow != 0 && i < nAcc; ++i) {
    borrow = acc[i] == 0 ? 1u : 0u;
    acc[i] -= 1;
  }
  return borrow;
}
