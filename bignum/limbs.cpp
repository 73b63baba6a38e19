// Schoolbook product, squaring and classical reduction on 64-bit limbs (bignum/limbs.h).
//
// The same algorithms as the digit path in mul.cpp and modexp.cpp, with a limb in place of a
// digit: one 64 x 64 -> 128-bit product does the work of four 32 x 32 -> 64-bit ones, and a
// reduction takes one quotient estimate (a 128-by-64-bit division) per limb instead of two
// 64-by-32-bit ones. Limbs are loaded and stored with memcpy, which compilers turn into single
// moves, so the digit arrays need no particular alignment and no pointer is cast.

#include "bignum/limbs.h"

#include <bit>
#include <cstring>

#include "bignum/bignum.h"
#include "crypto/wipe.h"

namespace qiv::bn {

#if defined(__SIZEOF_INT128__)

namespace {

using std::uint32_t;
using u64 = std::uint64_t;
__extension__ typedef unsigned __int128 u128;

// A limb is two digits, least significant first, only where that is its byte order.
constexpr bool kLittleEndian = std::endian::native == std::endian::little;
constexpr uint32_t kMaxModulus = QIV_BN_MAX_MODULUS_DIGITS;

u64 load(const uint32_t* x, uint32_t i) {
  u64 v;
  std::memcpy(&v, x + 2 * i, sizeof v);
  return v;
}

void store(uint32_t* x, uint32_t i, u64 v) {
  std::memcpy(x + 2 * i, &v, sizeof v);
}

u64 low(u128 t) {
  return static_cast<u64>(t);
}
u64 high(u128 t) {
  return static_cast<u64>(t >> 64);
}

// r[0 .. n-1] += a*d over n limbs; returns the carry limb. a[i]*d + r[i] + c is at most
// (2^64-1)^2 + 2(2^64-1) = 2^128 - 1: a step never overflows 128 bits.
u64 add_row(uint32_t* r, const uint32_t* a, uint32_t n, u64 d) {
  u64 c = 0;
#pragma GCC unroll 8
  for (uint32_t i = 0; i < n; ++i) {
    const u128 t = u128{load(a, i)} * d + load(r, i) + c;
    store(r, i, low(t));
    c = high(t);
  }
  return c;
}

// r[0 .. n-1] = a*d over n limbs; returns the carry limb.
u64 set_row(uint32_t* r, const uint32_t* a, uint32_t n, u64 d) {
  u64 c = 0;
#pragma GCC unroll 8
  for (uint32_t i = 0; i < n; ++i) {
    const u128 t = u128{load(a, i)} * d + c;
    store(r, i, low(t));
    c = high(t);
  }
  return c;
}

// w[0 .. n-1] += d over n limbs; returns the carry (0 or 1).
u64 add_limbs(uint32_t* w, const uint32_t* d, uint32_t n) {
  u64 c = 0;
  for (uint32_t i = 0; i < n; ++i) {
    const u128 t = u128{load(w, i)} + load(d, i) + c;
    store(w, i, low(t));
    c = high(t);
  }
  return c;
}

// The window w[0 .. nd] (limbs) has its top nd limbs below the normalised divisor d. As for
// digits (bignum/window.h): the estimate from the top two window limbs and the top divisor limb
// is never too small and at most 2 too large; at wHi = dTop the true quotient is still below
// 2^64, so the estimate is capped there. The refinement with the divisor's second limb lowers it
// while qhat times the top two divisor limbs exceeds the top three window limbs, which the true
// quotient never does; rhat = top - qhat * dTop, and once rhat reaches 2^64 the comparison can
// no longer fail. What remains is at most 1 too large, and seldom.
u64 window_quotient(const uint32_t* w, const uint32_t* d, uint32_t nd) {
  const u64 dTop = load(d, nd - 1);
  const u128 top = u128{load(w, nd)} << 64 | load(w, nd - 1);
  const u64 qhat = load(w, nd) == dTop ? ~u64{0} : low(top / dTop);
  if (nd < 2) return qhat;
  // At the cap, top - qhat * dTop = wLo + dTop, which may pass 2^64: rhat is kept in 128 bits.
  u128 rhat = top - u128{qhat} * dTop;
  const u64 dNext = load(d, nd - 2);
  const u64 wNext = load(w, nd - 2);
  u64 q = qhat;
  while (high(rhat) == 0 && u128{q} * dNext > (rhat << 64 | wNext)) {
    --q;
    rhat += dTop;
  }
  return q;
}

// Subtracts q * d from the window as an addition of q * dNeg, dNeg = 2^(64 nd) - d, so that the
// row is the product's own add_row (a subtracting row costs more per limb on its carry chain):
// w + q * dNeg = low + c * 2^(64 nd), so w - q * d = T * 2^(64 nd) + low with
// T = w[nd] + c - q. The result is below d < 2^(64 nd), and at least -2d when q is 2 too large,
// so T is 0, -1 or -2: wrapping 64-bit arithmetic holds it exactly. While T is negative, d is
// added back and its carry out of the low limbs raises T.
void reduce_window(uint32_t* w, const uint32_t* d, const uint32_t* dNeg, uint32_t nd, u64 q) {
  const u64 c = add_row(w, dNeg, nd, q);
  u64 top = load(w, nd) + c - q;
  for (int pass = 0; top != 0 && pass < 2; ++pass) top += add_limbs(w, d, nd);
  store(w, nd, top);
}

}  // namespace

bool limbs_apply(uint32_t n) {
  return kLittleEndian && n % 2 == 0;
}

// One row per limb of b, as mul_digits does per digit: row j adds a*b[j] into dst limbs
// j .. j+na-1, and its carry limb lands in limb na+j, which no earlier row has reached. Row 0
// finds nothing there yet, so it assigns instead of adding to zeros.
bool mul_limbs(uint32_t* dst, const uint32_t* a, uint32_t na, const uint32_t* b, uint32_t nb) {
  if (!limbs_apply(na) || !limbs_apply(nb)) return false;
  const uint32_t la = na / 2, lb = nb / 2;
  if (lb == 0) {
    for (uint32_t i = 0; i < la; ++i) store(dst, i, 0);
    return true;
  }
  store(dst, la, set_row(dst, a, la, load(b, 0)));
  for (uint32_t j = 1; j < lb; ++j) {
    store(dst, la + j, add_row(dst + 2 * j, a, la, load(b, j)));
  }
  return true;
}

// a^2 = 2 * (cross sum) + (diagonal squares), as sqr_digits: the cross products a[i]a[j], i < j,
// are formed once in rows, then one pass doubles them and adds the squares. The cross sum is
// below a^2 / 2, so neither the doubling nor the last pair carries out.
bool sqr_limbs(uint32_t* dst, const uint32_t* a, uint32_t n) {
  if (!limbs_apply(n)) return false;
  const uint32_t l = n / 2;
  if (l == 0) return true;
  // Row i adds a[i] * a[i+1 .. l-1] into limbs 2i+1 .. i+l-1 and assigns its carry to limb i+l;
  // limb k > l is first reached by that assignment of row k-l. So only row 0 (which assigns
  // limbs 1 .. l), limb 0 and limb 2l-1, which no row reaches, need writing before the rows.
  store(dst, 0, 0);
  store(dst, l, set_row(dst + 2, a + 2, l - 1, load(a, 0)));
  store(dst, 2 * l - 1, 0);
  for (uint32_t i = 1; i + 1 < l; ++i) {
    store(dst, i + l, add_row(dst + 2 * (2 * i + 1), a + 2 * (i + 1), l - i - 1, load(a, i)));
  }
  // Pair i of the doubled cross sum is limbs 2i+1, 2i shifted left by one, with the top bit of
  // limb 2i-1 entering at the bottom. The pair plus a[i]^2 is formed apart from the running
  // carry c (0 or 1), so that only the addition of c waits for the pair below.
  u64 bit = 0;
  u64 c = 0;
  for (uint32_t i = 0; i < l; ++i) {
    const u64 x0 = load(dst, 2 * i), x1 = load(dst, 2 * i + 1);
    const u128 doubled = u128{(x1 << 1) | (x0 >> 63)} << 64 | ((x0 << 1) | bit);
    bit = x1 >> 63;
    const u64 ai = load(a, i);
    const u128 sq = u128{ai} * ai;
    const u128 pair = doubled + sq;  // modulo 2^128; the carry out is pair < sq
    const u128 sum = pair + c;
    store(dst, 2 * i, low(sum));
    store(dst, 2 * i + 1, high(sum));
    c = (pair < sq ? 1u : 0u) + (sum < pair ? 1u : 0u);
  }
  return true;
}

// The contract of qiv_bn_ClassicalRed: the top nm digits of t are below m, so the top nm/2
// limbs are, and every window t[j .. j+nm/2] (limbs) meets the condition of reduce_window. A
// count that makes no window (nt <= nm, unnormalised m) is the digit path's to refuse.
bool red_limbs(uint32_t* t, uint32_t nt, const uint32_t* m, uint32_t nm) {
  if (!limbs_apply(nt) || !limbs_apply(nm) || nt <= nm || nm > kMaxModulus ||
      (m[nm - 1] & 0x80000000u) == 0) {
    return false;
  }
  const uint32_t lm = nm / 2;
  // mNeg = 2^(64 lm) - m = ~m + 1, at most 2^(64 lm - 1) for a normalised m. It reveals m, a
  // secret prime in the CRT and in key generation.
  uint32_t mNeg[kMaxModulus];
  u64 carry = 1;
  for (uint32_t i = 0; i < lm; ++i) {
    const u128 x = u128{~load(m, i)} + carry;
    store(mNeg, i, low(x));
    carry = high(x);
  }
  for (uint32_t j = (nt - nm) / 2; j-- > 0;) {
    uint32_t* w = t + 2 * j;
    reduce_window(w, m, mNeg, lm, window_quotient(w, m, lm));
  }
  qiv::wipe(mNeg, nm * sizeof mNeg[0]);
  return true;
}

#else  // no 128-bit integer type: the digit path serves every count

bool limbs_apply(std::uint32_t) {
  return false;
}
bool mul_limbs(std::uint32_t*, const std::uint32_t*, std::uint32_t, const std::uint32_t*,
               std::uint32_t) {
  return false;
}
bool sqr_limbs(std::uint32_t*, const std::uint32_t*, std::uint32_t) {
  return false;
}
bool red_limbs(std::uint32_t*, std::uint32_t, const std::uint32_t*, std::uint32_t) {
  return false;
}

#endif

}  // namespace qiv::bn
