// Addition and subtraction with carry over the longer operand's digit count.
//
// Above b's digits the carry (borrow) runs through a's remaining digits to the end, with no
// early exit. Those digits are read from a itself, so dst may be a (the in-place use of every
// caller) or an array of its own; digit i is read before it is written.

#include "bignum/bignum.h"
#include "bignum/digits.h"

using qiv::bn::hi;
using qiv::bn::lo;

std::uint32_t qiv_bn_Add(std::uint32_t* dst, const std::uint32_t* a, std::uint32_t na,
                         const std::uint32_t* b, std::uint32_t nb) {
  std::uint32_t carry = 0;
  for (std::uint32_t i = 0; i < nb; ++i) {
    const std::uint64_t t = std::uint64_t{a[i]} + b[i] + carry;
    dst[i] = lo(t);
    carry = hi(t);
  }
  for (std::uint32_t i = nb; i < na; ++i) {
    const std::uint64_t t = std::uint64_t{a[i]} + carry;
    dst[i] = lo(t);
    carry = hi(t);
  }
  return carry;
}

// A borrow wraps the 64-bit difference, which sets its high half; the low bit of the high half is
// the borrow.
std::uint32_t qiv_bn_Sub(std::uint32_t* dst, const std::uint32_t* a, std::uint32_t na,
                         const std::uint32_t* b, std::uint32_t nb) {
  std::uint32_t borrow = 0;
  for (std::uint32_t i = 0; i < nb; ++i) {
    const std::uint64_t t = std::uint64_t{a[i]} - b[i] - borrow;
    dst[i] = lo(t);
    borrow = hi(t) & 1u;
  }
  for (std::uint32_t i = nb; i < na; ++i) {
    const std::uint64_t t = std::uint64_t{a[i]} - borrow;
    dst[i] = lo(t);
    borrow = hi(t) & 1u;
  }
  return borrow;
}
