// Long division and in-place reduction against OpenSSL, with the shapes that exercise the
// quotient estimate: capped estimates, estimates two too large, exact divisions.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>

#include "bignum/bignum.h"
#include "crypto/crypto.h"
#include "tests/bignum/operands.h"
#include "tests/support/reference.h"

namespace {

using ref::Digits;

struct DivResult {
  Digits q, r;
  int ret;
};

DivResult divide(const Digits& a, Digits b) {
  const auto na = static_cast<std::uint32_t>(a.size()), nb = static_cast<std::uint32_t>(b.size());
  DivResult out{Digits(na - nb + 1), Digits(nb), 0};
  const Digits before = b;
  out.ret = qiv_bn_Div(out.q.data(), out.r.data(), a.data(), na, b.data(), nb);
  EXPECT_EQ(b, before) << "divisor not restored";
  return out;
}

TEST(Div, SmallQuotientsAndRemainders) {
  DivResult d = divide({100}, {7});
  EXPECT_EQ(d.q, Digits{14});
  EXPECT_EQ(d.r, Digits{2});
  EXPECT_EQ(d.ret, 1);
  d = divide({21}, {7});
  EXPECT_EQ(d.q, Digits{3});
  EXPECT_EQ(d.r, Digits{0});
  EXPECT_EQ(d.ret, 0);
  d = divide({0, 1}, {3});  // 2^32 / 3: the divisor needs a 30-bit shift
  EXPECT_EQ(d.q, (Digits{0x55555555u, 0}));
  EXPECT_EQ(d.r, Digits{1});
  EXPECT_EQ(d.ret, 1);
}

TEST(Div, AbsentQuotientOrRemainderStillWritesTheOther) {
  std::uint32_t a[2] = {0, 1}, b[1] = {3}, q[2] = {9, 9}, r[1] = {9};
  EXPECT_EQ(qiv_bn_Div(nullptr, r, a, 2, b, 1), 1);
  EXPECT_EQ(r[0], 1u);
  EXPECT_EQ(qiv_bn_Div(q, nullptr, a, 2, b, 1), 1);
  EXPECT_EQ(Digits(q, q + 2), (Digits{0x55555555u, 0}));
  EXPECT_EQ(b[0], 3u);
}

// Window top equal to the divisor's top: the estimate is capped at 0xFFFFFFFF.
TEST(Div, CappedEstimateWhenWindowTopEqualsDivisorTop) {
  const DivResult d = divide({0, 0, 0x80000000u}, {0xFFFFFFFFu, 0x80000000u});
  EXPECT_EQ(d.q, (Digits{0xFFFFFFFEu, 0}));
  EXPECT_EQ(d.r, (Digits{0xFFFFFFFEu, 2}));
  EXPECT_EQ(d.ret, 1);
  Digits t = {0, 0, 0x80000000u};
  const Digits m = {0xFFFFFFFFu, 0x80000000u};
  qiv_bn_ClassicalRed(t.data(), 3, m.data(), 2);
  EXPECT_EQ(t, (Digits{0xFFFFFFFEu, 2, 0}));
}

// Here the two-digit estimate of the low quotient digit exceeds the true digit by 2, so the
// divisor is added back twice.
TEST(Div, EstimateTwoTooLargeIsCorrectedTwice) {
  const DivResult d = divide({0, 1, 0x7FFFFFFFu}, {0xFFFFFFFEu, 0x80000000u});
  EXPECT_EQ(d.q, (Digits{0xFFFFFFFCu, 0}));
  EXPECT_EQ(d.r, (Digits{0xFFFFFFF8u, 6}));
  Digits t = {0, 1, 0x7FFFFFFFu};
  const Digits m = {0xFFFFFFFEu, 0x80000000u};
  qiv_bn_ClassicalRed(t.data(), 3, m.data(), 2);
  EXPECT_EQ(t, (Digits{0xFFFFFFF8u, 6, 0}));
}

// The estimate is refined with the divisor's second digit: divisors whose top two digits sit at
// the extremes, and windows whose top digit equals the divisor's top while the next digit is
// small, half or full, so that the refinement lowers the estimate twice, once, or stops because
// its remainder has reached 2^32.
TEST(Div, RefinedEstimateAtTheExtremesOfTheTopDigits) {
  auto c = ref::new_bn_ctx();
  const std::uint32_t edges[] = {0, 1, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFEu, 0xFFFFFFFFu};
  for (const std::uint32_t dTop : {0x80000000u, 0x80000001u, 0xC0000000u, 0xFFFFFFFFu}) {
    for (const std::uint32_t dNext : edges) {
      for (const std::uint32_t wNext : edges) {
        for (const std::uint32_t wLow : edges) {
          const Digits b = {0x9E3779B9u, dNext, dTop};
          const Digits a = {0x85EBCA6Bu, wLow, wNext, dTop - (wLow & 1u)};
          const auto eq = ref::new_bn(), er = ref::new_bn();
          BN_div(eq.get(), er.get(), ref::to_bn(a).get(), ref::to_bn(b).get(), c.get());
          const DivResult d = divide(a, b);
          ASSERT_EQ(d.q, ref::to_digits(eq.get(), 2)) << dTop << " " << dNext << " " << wNext;
          ASSERT_EQ(d.r, ref::to_digits(er.get(), 3)) << dTop << " " << dNext << " " << wNext;
          // The reduction asks the top digits to be below the modulus already.
          if (BN_cmp(ref::to_bn(a.data() + 1, 3).get(), ref::to_bn(b).get()) >= 0) continue;
          Digits t = a;
          qiv_bn_ClassicalRed(t.data(), 4, b.data(), 3);
          Digits want = d.r;
          want.push_back(0);
          ASSERT_EQ(t, want) << dTop << " " << dNext << " " << wNext;
        }
      }
    }
  }
}

TEST(Div, ArgumentsOutsideTheContractAreRefusedWithoutWriting) {
  Digits a(132, 7), b = {0, 0}, q(132, 9), r(2, 9);
  EXPECT_EQ(qiv_bn_Div(q.data(), r.data(), a.data(), 2, b.data(), 0), QIV_ERR_BAD_PARAM);
  EXPECT_EQ(qiv_bn_Div(q.data(), r.data(), a.data(), 2, b.data(), 2), QIV_ERR_BAD_PARAM);
  b = {1, 1};
  EXPECT_EQ(qiv_bn_Div(q.data(), r.data(), a.data(), 1, b.data(), 2), QIV_ERR_BAD_PARAM);
  EXPECT_EQ(qiv_bn_Div(q.data(), r.data(), a.data(), 132, b.data(), 2), QIV_ERR_BAD_PARAM);
  EXPECT_EQ(q, Digits(132, 9));
  EXPECT_EQ(r, Digits(2, 9));
}

TEST(ClassicalRed, EqualLengthsLeaveTUnchanged) {
  Digits t = {5, 0x90000000u};
  const Digits m = {7, 0x80000000u};
  qiv_bn_ClassicalRed(t.data(), 2, m.data(), 2);
  EXPECT_EQ(t, (Digits{5, 0x90000000u}));
}

// Dividends up to 131 digits built as q*b + r, with quotient digits drawn towards 0xFFFFFFFF
// (capped and oversized estimates) and r = 0 for exact divisions.
TEST(Div, MatchesOpenSslAndAllowsQuotientAndRemainderInTheDividend) {
  bntest::Gen gen(701);
  auto c = ref::new_bn_ctx();
  for (int i = 0; i < bntest::cases(10000); ++i) {
    const std::uint32_t nb = gen.between(1, 66);
    const std::uint32_t na = gen.between(nb, i % 4 == 0 ? 131 : std::min(131u, 2 * nb + 2));
    Digits b = gen.full(nb), a;
    if (i % 2 == 0) {
      const auto x = ref::new_bn();
      BN_mul(x.get(), ref::to_bn(gen.number(na - nb)).get(), ref::to_bn(b).get(), c.get());
      if (i % 6 != 0) BN_add(x.get(), x.get(), ref::to_bn(gen.number(nb - 1)).get());
      a = ref::to_digits(x.get(), na);
    } else {
      a = gen.number(na);
      if (i % 3 == 0) a[na - 1] = b[nb - 1];
    }
    const auto eq = ref::new_bn(), er = ref::new_bn();
    BN_div(eq.get(), er.get(), ref::to_bn(a).get(), ref::to_bn(b).get(), c.get());

    const DivResult d = divide(a, b);
    ASSERT_EQ(d.q, ref::to_digits(eq.get(), na - nb + 1)) << gen.where(i);
    ASSERT_EQ(d.r, ref::to_digits(er.get(), nb)) << gen.where(i);
    ASSERT_EQ(d.ret, BN_is_zero(er.get()) ? 0 : 1) << gen.where(i);

    Digits inq = a, inr = a;  // quotient, then remainder, written over the dividend itself
    ASSERT_EQ(qiv_bn_Div(inq.data(), nullptr, inq.data(), na, b.data(), nb), d.ret);
    ASSERT_EQ(qiv_bn_Div(nullptr, inr.data(), inr.data(), na, b.data(), nb), d.ret);
    ASSERT_EQ(Digits(inq.begin(), inq.begin() + (na - nb + 1)), d.q) << gen.where(i);
    ASSERT_EQ(Digits(inr.begin(), inr.begin() + nb), d.r) << gen.where(i);
  }
}

// t below m * 2^(32(nt-nm)): its top nm digits are reduced modulo m, or set to m - 1.
TEST(ClassicalRed, MatchesOpenSsl) {
  bntest::Gen gen(702);
  auto c = ref::new_bn_ctx();
  for (int i = 0; i < bntest::cases(10000); ++i) {
    const std::uint32_t nm = gen.between(1, 66), nt = gen.between(nm, 2 * nm + 1);
    const Digits m = gen.normalised(nm);
    Digits t = gen.number(nt);
    const auto top = ref::new_bn();
    if (i % 3 == 0) {  // just below the modulus: the first window takes the capped estimate
      BN_sub(top.get(), ref::to_bn(m).get(), BN_value_one());
    } else {
      BN_mod(top.get(), ref::to_bn(t.data() + (nt - nm), nm).get(), ref::to_bn(m).get(), c.get());
    }
    const Digits reduced = ref::to_digits(top.get(), nm);
    std::copy(reduced.begin(), reduced.end(), t.begin() + (nt - nm));

    const auto expected = ref::new_bn();
    BN_mod(expected.get(), ref::to_bn(t).get(), ref::to_bn(m).get(), c.get());
    Digits want = ref::to_digits(expected.get(), nm);
    want.resize(nt, 0);
    qiv_bn_ClassicalRed(t.data(), nt, m.data(), nm);
    ASSERT_EQ(t, want) << gen.where(i);
  }
}

}  // namespace
