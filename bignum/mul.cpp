// Schoolbook multiplication and squaring.

#include "bignum/bignum.h"
#include "bignum/digits.h"
#include "bignum/limbs.h"

namespace qiv::bn {

// One row per digit of b. Row j adds a*b[j] into dst[j .. j+na-1]; its carry digit lands in
// dst[na+j], which no earlier row has reached, so it is assigned rather than added.
void mul_digits(std::uint32_t* dst, const std::uint32_t* a, std::uint32_t na,
                const std::uint32_t* b, std::uint32_t nb) {
  for (std::uint32_t i = 0; i < na; ++i) dst[i] = 0;
  for (std::uint32_t j = 0; j < nb; ++j) dst[na + j] = add_row(dst + j, a, na, b[j]);
}

// a^2 = 2 * sum_{i<j} a[i]a[j] 2^(32(i+j)) + sum_i a[i]^2 2^(64i): each cross product is formed
// once, the cross sum is doubled by a one-bit shift and the squares are added along the
// diagonal. The cross sum is below a^2 / 2, so the doubling and the final pair never carry out.
void sqr_digits(std::uint32_t* dst, const std::uint32_t* a, std::uint32_t n) {
  for (std::uint32_t k = 0; k < 2 * n; ++k) dst[k] = 0;

  // Row i adds a[i] * a[i+1 .. n-1] into dst[2i+1 ..]; its carry digit lands in dst[i+n], which
  // no earlier row has reached.
  for (std::uint32_t i = 0; i + 1 < n; ++i) {
    dst[i + n] = add_row(dst + 2 * i + 1, a + i + 1, n - i - 1, a[i]);
  }

  // Doubling and the squares in one pass over the digit pairs: pair i of the doubled cross sum
  // is dst[2i+1], dst[2i] shifted left by one, with the top bit of dst[2i-1] entering at the
  // bottom; a[i]^2 and the carry of the pair below are then added to it.
  std::uint32_t bit = 0;
  std::uint32_t c = 0;
  for (std::uint32_t i = 0; i < n; ++i) {
    const std::uint32_t x0 = dst[2 * i], x1 = dst[2 * i + 1];
    const std::uint32_t d0 = (x0 << 1) | bit, d1 = (x1 << 1) | (x0 >> 31);
    bit = x1 >> 31;
    const std::uint64_t sq = std::uint64_t{a[i]} * a[i] + c;
    const std::uint64_t low = std::uint64_t{d0} + lo(sq);
    dst[2 * i] = lo(low);
    const std::uint64_t high = std::uint64_t{d1} + hi(sq) + hi(low);
    dst[2 * i + 1] = lo(high);
    c = hi(high);
  }
}

void mul(Path path, std::uint32_t* dst, const std::uint32_t* a, std::uint32_t na,
         const std::uint32_t* b, std::uint32_t nb) {
  if (path == Path::kLimbs && mul_limbs(dst, a, na, b, nb)) return;
  mul_digits(dst, a, na, b, nb);
}

void sqr(Path path, std::uint32_t* dst, const std::uint32_t* a, std::uint32_t n) {
  if (path == Path::kLimbs && sqr_limbs(dst, a, n)) return;
  sqr_digits(dst, a, n);
}

}  // namespace qiv::bn

void qiv_bn_Mul(std::uint32_t* dst, const std::uint32_t* a, std::uint32_t na,
                const std::uint32_t* b, std::uint32_t nb) {
  qiv::bn::mul(qiv::bn::Path::kLimbs, dst, a, na, b, nb);
}

void qiv_bn_Sqr(std::uint32_t* dst, const std::uint32_t* a, std::uint32_t n) {
  qiv::bn::sqr(qiv::bn::Path::kLimbs, dst, a, n);
}
