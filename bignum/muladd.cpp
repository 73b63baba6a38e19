// Multiply-accumulate of a big number by one digit into an accumulator: acc += a*d, acc -= a*d.
//
// Only acc's nAcc digits are ever written: an a longer than acc is cut to nAcc digits.

#include "bignum/bignum.h"
#include "bignum/digits.h"

using qiv::bn::hi;
using qiv::bn::lo;

std::uint32_t qiv_bn_MulAdd(std::uint32_t* acc, std::uint32_t nAcc, const std::uint32_t* a,
                            std::uint32_t na, std::uint32_t d) {
  if (na > nAcc) na = nAcc;
  const std::uint32_t c = qiv::bn::add_row(acc, a, na, d);
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

std::uint32_t qiv_bn_MulSub(std::uint32_t* acc, std::uint32_t nAcc, const std::uint32_t* a,
                            std::uint32_t na, std::uint32_t d) {
  if (na > nAcc) na = nAcc;
  const std::uint32_t c = qiv::bn::sub_row(acc, a, na, d);
  if (c == 0 || na >= nAcc) return c;
  std::uint32_t borrow = acc[na] < c ? 1u : 0u;
  acc[na] -= c;
  for (std::uint32_t i = na + 1; borrow != 0 && i < nAcc; ++i) {
    borrow = acc[i] == 0 ? 1u : 0u;
    acc[i] -= 1;
  }
  return borrow;
}
