// Schoolbook multiplication and squaring.

#include "bignum/bignum.h"
#include "bignum/digits.h"

using qiv::bn::hi;
using qiv::bn::lo;

// One row per digit of b. Row j adds a*b[j] into dst[j .. j+na-1]; its carry digit lands in
// dst[na+j], which no earlier row has reached, so it is assigned rather than added.
void qiv_bn_Mul(std::uint32_t* dst, const std::uint32_t* a, std::uint32_t na,
                const std::uint32_t* b, std::uint32_t nb) {
  for (std::uint32_t i = 0; i < na; ++i) dst[i] = 0;
  for (std::uint32_t j = 0; j < nb; ++j) dst[na + j] = qiv::bn::add_row(dst + j, a, na, b[j]);
}

// a^2 = 2 * sum_{i<j} a[i]a[j] 2^(32(i+j)) + sum_i a[i]^2 2^(64i): each cross product is formed
// once, the cross sum is doubled by a one-bit shift, then the squares are added along the
// diagonal. The cross sum is below a^2 / 2, so the doubling and the final pair never carry out.
void qiv_bn_Sqr(std::uint32_t* dst, const std::uint32_t* a, std::uint32_t n) {
  for (std::uint32_t k = 0; k < 2 * n; ++k) dst[k] = 0;

  // Row i adds a[i] * a[i+1 .. n-1] into dst[2i+1 ..]; its carry digit lands in dst[i+n], which
  // no earlier row has reached.
  for (std::uint32_t i = 0; i + 1 < n; ++i) {
    dst[i + n] = qiv::bn::add_row(dst + 2 * i + 1, a + i + 1, n - i - 1, a[i]);
  }

  std::uint32_t bit = 0;
  for (std::uint32_t k = 0; k < 2 * n; ++k) {
    const std::uint32_t next = dst[k] >> 31;
    dst[k] = (dst[k] << 1) | bit;
    bit = next;
  }

  std::uint32_t c = 0;
  for (std::uint32_t i = 0; i < n; ++i) {
    const std::uint64_t sq = std::uint64_t{a[i]} * a[i] + c;
    const std::uint64_t low = std::uint64_t{dst[2 * i]} + lo(sq);
    dst[2 * i] = lo(low);
    const std::uint64_t high = std::uint64_t{dst[2 * i + 1]} + hi(sq) + hi(low);
    dst[2 * i + 1] = lo(high);
    c = hi(high);
  }
}
