// Reduction modulo a normalised modulus, modular multiplication and modular exponentiation.
//
// A normalised modulus has the top bit of its top digit set. Arguments outside the contract that
// would read outside the arrays, divide by zero or overflow the fixed temporaries are refused:
// qiv_bn_ClassicalRed then leaves t as it is, and the other two write zeros into dst.

#include "bignum/bignum.h"
#include "bignum/digits.h"
#include "bignum/limbs.h"
#include "bignum/window.h"

namespace {

constexpr std::uint32_t kMaxModulus = QIV_BN_MAX_MODULUS_DIGITS;
constexpr std::uint32_t kProductDigits = 2 * kMaxModulus;  // 2n-digit product

bool normalised(const std::uint32_t* m, std::uint32_t n) {
  return n != 0 && (m[n - 1] & 0x80000000u) != 0;
}

bool fits_temporaries(const std::uint32_t* m, std::uint32_t n) {
  return n <= kMaxModulus && normalised(m, n);
}

void clear(std::uint32_t* dst, std::uint32_t n) {
  for (std::uint32_t i = 0; i < n; ++i) dst[i] = 0;
}

// Number of significant bits of e: one more than the index of its highest set bit, 0 for e = 0.
std::uint32_t bit_length(const std::uint32_t* e, std::uint32_t ne) {
  for (std::uint32_t k = ne; k-- > 0;) {
    if (e[k] == 0) continue;
    std::uint32_t bits = 32;
    while ((e[k] >> (bits - 1)) == 0) --bits;
    return 32 * k + bits;
  }
  return 0;
}

}  // namespace

// The top nm digits of t are below m, so every window t[j .. j+nm] meets the condition of
// reduce_window; each step leaves its remainder in the low nm digits of the window and zero in
// t[j+nm]. No quotient is kept.
void qiv::bn::red_digits(std::uint32_t* t, std::uint32_t nt, const std::uint32_t* m,
                         std::uint32_t nm) {
  if (nt <= nm || !normalised(m, nm)) return;
  for (std::uint32_t j = nt - nm; j-- > 0;) {
    qiv::bn::reduce_window(t + j, m, nm, qiv::bn::window_quotient(t + j, m, nm));
  }
}

void qiv::bn::classical_red(Path path, std::uint32_t* t, std::uint32_t nt, const std::uint32_t* m,
                            std::uint32_t nm) {
  if (path == Path::kLimbs && red_limbs(t, nt, m, nm)) return;
  red_digits(t, nt, m, nm);
}

// With one factor below m the product is below m * 2^(32n): its top n digits are below m, as the
// reduction needs. The result is copied out last, so dst may be either factor.
void qiv::bn::mod_mul(Path path, std::uint32_t* dst, const std::uint32_t* a, const std::uint32_t* b,
                      const std::uint32_t* m, std::uint32_t n) {
  if (!fits_temporaries(m, n)) {
    clear(dst, n);
    return;
  }
  // The product writes all 2n digits before anything reads them, so the scratch is not zeroed
  // first; those 2n digits, and only they, held secrets and are wiped.
  std::uint32_t p[kProductDigits];
  if (a == b) {
    sqr(path, p, a, n);
  } else {
    mul(path, p, a, n, b, n);
  }
  classical_red(path, p, 2 * n, m, n);
  qiv_bn_copy(dst, p, n);
  qiv::wipe(p, 2 * n * sizeof p[0]);
}

// Left-to-right square-and-multiply, one exponent bit at a time. The accumulator starts at 1 and
// stays below m, so it is always the factor below m; the first multiplication by base therefore
// also reduces a base that is not below m. The accumulator is local and copied out last.
void qiv::bn::binary(Path path, std::uint32_t* dst, const std::uint32_t* base,
                     const std::uint32_t* m, std::uint32_t n, const std::uint32_t* e,
                     std::uint32_t ne) {
  if (!fits_temporaries(m, n)) {
    clear(dst, n);
    return;
  }
  qiv::bn::Scratch<kMaxModulus> acc;
  acc[0] = 1;
  for (std::uint32_t i = bit_length(e, ne); i-- > 0;) {
    mod_mul(path, acc.data(), acc.data(), acc.data(), m, n);
    if ((e[i / 32] >> (i % 32)) & 1u) mod_mul(path, acc.data(), acc.data(), base, m, n);
  }
  qiv_bn_copy(dst, acc.data(), n);
}

void qiv_bn_ClassicalRed(std::uint32_t* t, std::uint32_t nt, const std::uint32_t* m,
                         std::uint32_t nm) {
  qiv::bn::classical_red(qiv::bn::Path::kLimbs, t, nt, m, nm);
}

void qiv_bn_ModMul(std::uint32_t* dst, const std::uint32_t* a, const std::uint32_t* b,
                   const std::uint32_t* m, std::uint32_t n) {
  qiv::bn::mod_mul(qiv::bn::Path::kLimbs, dst, a, b, m, n);
}

void qiv_bn_Binary(std::uint32_t* dst, const std::uint32_t* base, const std::uint32_t* m,
                   std::uint32_t n, const std::uint32_t* e, std::uint32_t ne) {
  qiv::bn::binary(qiv::bn::Path::kLimbs, dst, base, m, n, e, ne);
}
