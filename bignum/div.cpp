// Long division with quotient and remainder (Knuth, TAOCP 4.3.1, Algorithm D).

#include "bignum/bignum.h"
#include "bignum/digits.h"
#include "bignum/window.h"
#include "crypto/crypto.h"

namespace {

constexpr std::uint32_t kMaxDividend = QIV_BN_MAX_DIVIDEND_DIGITS;
constexpr std::uint32_t kWorkDigits = kMaxDividend + 1;  // dividend plus one extension digit

std::uint32_t leading_zero_bits(std::uint32_t x) {
  std::uint32_t s = 0;
  for (std::uint32_t mask = 0x80000000u; mask != 0 && (x & mask) == 0; mask >>= 1) ++s;
  return s;
}

// x[0 .. n-1] <<= s with 0 <= s < 32; bits leaving x[n-1] are lost.
void shift_left(std::uint32_t* x, std::uint32_t n, std::uint32_t s) {
  if (s == 0) return;
  for (std::uint32_t k = n; k-- > 1;) x[k] = (x[k] << s) | (x[k - 1] >> (32 - s));
  x[0] <<= s;
}

// x[0 .. n-1] >>= s with 0 <= s < 32; zeros enter at the top.
void shift_right(std::uint32_t* x, std::uint32_t n, std::uint32_t s) {
  if (s == 0) return;
  for (std::uint32_t k = 0; k + 1 < n; ++k) x[k] = (x[k] >> s) | (x[k + 1] << (32 - s));
  x[n - 1] >>= s;
}

}  // namespace

int qiv_bn_Div(std::uint32_t* q, std::uint32_t* r, const std::uint32_t* a, std::uint32_t na,
               std::uint32_t* b, std::uint32_t nb) {
  if (nb == 0 || nb > na || na > kMaxDividend || b[nb - 1] == 0) return QIV_ERR_BAD_PARAM;

  // Both operands are copied before anything is written, so q and r may share a's storage. The
  // divisor is normalised in a local copy: the caller's b is only read.
  qiv::bn::Scratch<kWorkDigits> w;
  qiv::bn::Scratch<kMaxDividend> d;
  qiv_bn_copy(w.data(), a, na);
  w[na] = 0;
  qiv_bn_copy(d.data(), b, nb);

  // Shifting both by the divisor's leading zero bits leaves the quotient unchanged, scales the
  // remainder by 2^s, and sets the divisor's top bit. The extension digit w[na] takes the bits
  // shifted out of the dividend.
  const std::uint32_t s = leading_zero_bits(b[nb - 1]);
  shift_left(w.data(), na + 1, s);
  shift_left(d.data(), nb, s);

  // The first window's top nb digits w[na-nb+1 .. na] are below d: w[na] holds only the s bits
  // shifted out, so they are below 2^(32(nb-1)+s) <= d. Each step leaves a remainder below d in
  // w[j .. j+nb-1], which are the top digits of the next window down.
  for (std::uint32_t j = na - nb + 1; j-- > 0;) {
    const std::uint32_t qhat = qiv::bn::window_quotient(w.data() + j, d.data(), nb);
    const std::uint32_t digit = qiv::bn::reduce_window(w.data() + j, d.data(), nb, qhat);
    if (q != nullptr) q[j] = digit;
  }

  shift_right(w.data(), nb, s);
  if (r != nullptr) qiv_bn_copy(r, w.data(), nb);
  for (std::uint32_t i = 0; i <= na; ++i) {
    if (w[i] != 0) return 1;
  }
  return 0;
}
