// Modular inverse by the extended Euclidean algorithm, tracking one cofactor per remainder.
//
// Two records hold a remainder ("value") and its cofactor. Invariant: cofactor * a == value
// (mod m) and |cofactor| < m. Record A starts as (m, 0), record B as (a, 1). Each step reduces
// the larger value (the dividend D) by a multiple of the smaller (the divisor S) and applies the
// same multiple to the cofactors; the reduced D becomes the next divisor. When a remainder
// reaches 1 its cofactor is the inverse; when one reaches 0 the previous one is gcd(a, m) > 1.
//
// Cofactors are two's complement over n + 1 digits: digits 0 .. n-1 and a sign digit n that is 0
// or 0xFFFFFFFF. Updates K -= q*K' are exact modulo 2^(32(n+1)), which holds every |K| < m.

#include <optional>
#include <utility>

#include "bignum/bignum.h"
#include "bignum/digits.h"
#include "crypto/crypto.h"

namespace {

using qiv::bn::lo;

constexpr std::uint32_t kMaxInverse = QIV_BN_MAX_INVERSE_DIGITS;
constexpr std::uint32_t kRecordDigits = kMaxInverse + 2;
constexpr std::uint32_t kQuotientDigits = 66;
constexpr std::uint32_t kProductDigits = 130;  // (n+1)-digit cofactor times n-digit quotient
// After a one-digit estimate this many single subtractions finish the quotient in most steps;
// when they do not, the estimate is simply repeated on what is left.
constexpr int kMaxCorrections = 11;

struct Record {
  std::uint32_t* value;     // n digits used, zero above top
  std::uint32_t* cofactor;  // n + 1 digits used
  std::uint32_t top;        // index of the highest non-zero value digit; 0 for a zero value
};

// Area layout: four arrays of kRecordDigits, value and cofactor of A, then of B.
struct Workspace {
  qiv::bn::Scratch<4 * kRecordDigits> area;
  qiv::bn::Scratch<kQuotientDigits> quotient;
  qiv::bn::Scratch<kProductDigits> product;
  Record a_rec{area.data(), area.data() + kRecordDigits, 0};
  Record b_rec{area.data() + 2 * kRecordDigits, area.data() + 3 * kRecordDigits, 0};
};

// Lowers top past zero digits, never below digit 0.
std::uint32_t trim(const std::uint32_t* v, std::uint32_t top) {
  while (top > 0 && v[top] == 0) --top;
  return top;
}

bool is_one(const std::uint32_t* a, std::uint32_t n) {
  for (std::uint32_t i = 1; i < n; ++i) {
    if (a[i] != 0) return false;
  }
  return a[0] == 1;
}

bool is_zero(const Record& r) {
  return r.top == 0 && r.value[0] == 0;
}
bool is_one(const Record& r) {
  return r.top == 0 && r.value[0] == 1;
}

// Value digits above a record's top index are zero, so value arithmetic stops there. D's top
// index may lag behind its shrinking value until the step's end trims it; it never lies below.
std::uint32_t span(const Record& x, const Record& y) {
  return (x.top > y.top ? x.top : y.top) + 1;
}

bool at_least(const Record& x, const Record& y) {
  return qiv_bn_cmp(x.value, span(x, y), y.value, span(x, y)) >= 0;
}

// K -= q*K' modulo 2^(32(n+1)): the low digits by multiply-subtract, whose borrow digit c moves
// into the sign digit together with q times the other sign digit.
void cofactor_sub_mul(std::uint32_t* k, const std::uint32_t* k2, std::uint32_t q, std::uint32_t n) {
  const std::uint32_t c = qiv_bn_MulSub(k, n, k2, n, q);
  k[n] = k[n] - q * k2[n] - c;
}

void subtract_once(Record& d, const Record& s, std::uint32_t n) {
  qiv_bn_Sub(d.value, d.value, span(d, s), s.value, span(d, s));
  qiv_bn_Sub(d.cofactor, d.cofactor, n + 1, s.cofactor, n + 1);
}

// A lower bound of D / S from the top digits when the quotient fits one digit; nullopt when it
// may need more (tD >= tS + 2, or tD = tS + 1 with D's top digit >= S's top digit). 0 stands
// for "small": the caller then subtracts one at a time.
std::optional<std::uint32_t> one_digit_estimate(const Record& d, const Record& s) {
  const std::uint32_t td = d.top;
  const std::uint32_t ts = s.top;
  if (td == ts) {
    const std::uint64_t dTop = d.value[td];
    const std::uint64_t sTop = s.value[td];
    if (dTop < 0x10000u && 4 * sTop < dTop) {
      // Top 48 bits of D over the top 48 bits of S plus one. Digit -1 does not exist: when the
      // values have a single digit, the bits below it count as zero, which keeps the bound.
      const std::uint64_t dNext = td > 0 ? d.value[td - 1] >> 16 : 0;
      const std::uint64_t sNext = ts > 0 ? s.value[ts - 1] >> 16 : 0;
      return lo(((dTop << 16) + dNext) / ((sTop << 16) + sNext + 1));
    }
    if (dTop >= 0x10000u && sTop < (dTop >> 2)) return lo(dTop / (sTop + 1));
    return 0;
  }
  if (td == ts + 1 && d.value[td] < s.value[ts]) {
    const std::uint32_t sTop = s.value[ts];
    if (sTop == 0xFFFFFFFFu) return d.value[td];
    const std::uint64_t top2 = (std::uint64_t{d.value[td]} << 32) | d.value[td - 1];
    return lo(top2 / (std::uint64_t{sTop} + 1));
  }
  return std::nullopt;
}

// D -= Q*S with Q = floor(D / S) of several digits. The remainder goes straight into D's low
// digits; the cofactor takes the full product of Q with S's signed cofactor.
void long_quotient(Record& d, Record& s, std::uint32_t n, Workspace& ws) {
  const std::uint32_t nq = d.top - s.top + 1;
  for (std::uint32_t i = 0; i < kQuotientDigits; ++i) ws.quotient[i] = 0;
  qiv_bn_Div(ws.quotient.data(), d.value, d.value, d.top + 1, s.value, s.top + 1);
  for (std::uint32_t i = s.top + 1; i <= d.top; ++i) d.value[i] = 0;
  qiv_bn_Mul(ws.product.data(), s.cofactor, n + 1, ws.quotient.data(), nq);
  qiv_bn_Sub(d.cofactor, d.cofactor, n + 1, ws.product.data(), n + 1);
}

// Reduces D (>= S > 0) below S. Every estimate is a lower bound of the quotient, so D never goes
// negative; after at most kMaxCorrections extra subtractions the estimate is taken afresh.
void reduce(Record& d, Record& s, std::uint32_t n, Workspace& ws) {
  for (;;) {
    const std::optional<std::uint32_t> q = one_digit_estimate(d, s);
    if (!q) {
      long_quotient(d, s, n, ws);
      return;
    }
    if (*q < 4) {
      do subtract_once(d, s, n);
      while (at_least(d, s));
      return;
    }
    qiv_bn_MulSub(d.value, span(d, s), s.value, span(d, s), *q);
    cofactor_sub_mul(d.cofactor, s.cofactor, *q, n);
    for (int k = 0; k < kMaxCorrections && at_least(d, s); ++k) subtract_once(d, s, n);
    if (!at_least(d, s)) return;
    d.top = trim(d.value, d.top);
  }
}

void write_success(std::uint32_t* dst, const std::uint32_t* k, const std::uint32_t* m,
                   std::uint32_t n) {
  if (dst == nullptr) return;
  // A negative K stands for m - |K| = K + m, the carry out of the sum being dropped.
  if (k[n] == 0) {
    qiv_bn_copy(dst, k, n);
  } else {
    qiv_bn_Add(dst, k, n, m, n);
  }
}

std::int32_t fail(std::uint32_t* dst, std::uint32_t gcd_low, std::uint32_t n) {
  if (dst != nullptr && n > 0) {
    dst[0] = gcd_low;
    for (std::uint32_t i = 1; i < n; ++i) dst[i] = 0;
  }
  return QIV_ERR_FAIL;
}

// Both remainders fit one digit: x is the dividend, y the divisor, each with its record's
// cofactor. Only the cofactors remain multi-digit.
std::int32_t single_digit_phase(std::uint32_t* dst, const std::uint32_t* m, std::uint32_t n,
                                std::uint32_t x, Record* rx, std::uint32_t y, Record* ry) {
  for (;;) {
    if (y == 1) {
      write_success(dst, ry->cofactor, m, n);
      return QIV_SUCCESS;
    }
    if (y == 0) return fail(dst, x, n);
    if (y < (x >> 2)) {
      const std::uint32_t q = x / y;
      cofactor_sub_mul(rx->cofactor, ry->cofactor, q, n);
      x -= q * y;
    } else {
      // The quotient is at most 4. x may end equal to y; the next pass then reduces it to 0.
      do {
        x -= y;
        qiv_bn_Sub(rx->cofactor, rx->cofactor, n + 1, ry->cofactor, n + 1);
      } while (x > y);
    }
    std::swap(x, y);
    std::swap(rx, ry);
  }
}

}  // namespace

std::int32_t qiv_bn_Euclid(std::uint32_t* dst, const std::uint32_t* a, const std::uint32_t* m,
                           std::uint32_t n) {
  // Arguments outside the contract (sizes beyond the records, m with a zero top digit, a >= m)
  // are refused before anything is read into the records; dst is cleared.
  if (n == 0 || n > kMaxInverse || m[n - 1] == 0 || qiv_bn_cmp(a, n, m, n) >= 0) {
    if (dst != nullptr) {
      for (std::uint32_t i = 0; i < n; ++i) dst[i] = 0;
    }
    return QIV_ERR_FAIL;
  }
  if (is_one(a, n)) {
    if (dst != nullptr) qiv_bn_copy(dst, a, n);
    return QIV_SUCCESS;
  }

  Workspace ws;
  Record* d = &ws.a_rec;
  Record* s = &ws.b_rec;
  qiv_bn_copy(d->value, m, n);
  d->top = n - 1;
  qiv_bn_copy(s->value, a, n);
  s->top = trim(s->value, n - 1);
  s->cofactor[0] = 1;
  if (n == 1) return single_digit_phase(dst, m, n, d->value[0], d, s->value[0], s);

  // D > S at the start of every step: the reduced D is below S and becomes the next divisor.
  for (;;) {
    // A zero remainder while the divisor still spans several digits: that divisor is a
    // multi-digit gcd.
    if (is_zero(*s)) return fail(dst, d->value[0], n);
    // A remainder of 1 left by a multi-digit divisor is the answer already; reducing by it would
    // leave 0 and report gcd 1 as a failure.
    if (is_one(*s)) {
      write_success(dst, s->cofactor, m, n);
      return QIV_SUCCESS;
    }
    reduce(*d, *s, n, ws);
    d->top = trim(d->value, d->top);
    if (s->top == 0) return single_digit_phase(dst, m, n, s->value[0], s, d->value[0], d);
    std::swap(d, s);
  }
}
