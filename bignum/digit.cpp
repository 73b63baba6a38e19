// One-digit helpers: digit products, two-digit-by-one-digit division, gcd of digits and the
// remainder of a big number by one digit.
//
// A zero divisor is outside the contract; the helpers answer 0 for it instead of trapping.

#include "bignum/bignum.h"
#include "bignum/digits.h"

using qiv::bn::hi;
using qiv::bn::lo;

namespace {
constexpr std::uint64_t join(std::uint32_t h, std::uint32_t l) {
  return (std::uint64_t{h} << 32) | l;
}
}  // namespace

void D_Mul_D(std::uint32_t* out, std::uint32_t a, std::uint32_t b) {
  const std::uint64_t t = std::uint64_t{a} * b;
  out[0] = lo(t);
  out[1] = hi(t);
}

std::uint32_t DD_Div_D(std::uint32_t hi_digit, std::uint32_t lo_digit, std::uint32_t d) {
  if (d == 0) return 0;
  return lo(join(hi_digit, lo_digit) / d);
}

std::uint32_t DD_Mod_D(std::uint32_t hi_digit, std::uint32_t lo_digit, std::uint32_t d) {
  if (d == 0) return 0;
  return lo(join(hi_digit, lo_digit) % d);
}

std::uint32_t D_Gcd(std::uint32_t a, std::uint32_t b) {
  while (b != 0) {
    const std::uint32_t r = a % b;
    a = b;
    b = r;
  }
  return a;
}

// Horner's rule from the top digit: r stays below d, so r * 2^32 + a[i] fits 64 bits.
std::uint32_t bn_ModD(const std::uint32_t* a, std::uint32_t n, std::uint32_t d) {
  if (d == 0) return 0;
  std::uint32_t r = 0;
  for (std::uint32_t i = n; i-- > 0;) r = lo(join(r, a[i]) % d);
  return r;
}
