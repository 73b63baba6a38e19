// Modular inverse against OpenSSL's BN_mod_inverse, and the gcd's low digit when there is none.
#include <gtest/gtest.h>
#include <openssl/err.h>

#include <cstdint>

#include "bignum/bignum.h"
#include "crypto/crypto.h"
#include "tests/bignum/operands.h"
#include "tests/support/reference.h"

namespace {

using ref::Digits;

struct Inverse {
  std::int32_t ret;
  Digits dst;
};

Inverse invert(const Digits& a, const Digits& m) {
  Inverse out{0, Digits(m.size(), 0xA5A5A5A5u)};
  out.ret = qiv_bn_Euclid(out.dst.data(), a.data(), m.data(), static_cast<std::uint32_t>(m.size()));
  return out;
}

// The reference answer: the inverse, or the low digit of gcd(a, m) when there is none.
Inverse reference(const Digits& a, const Digits& m, BN_CTX* c) {
  const auto inv = ref::new_bn(), g = ref::new_bn();
  if (BN_mod_inverse(inv.get(), ref::to_bn(a).get(), ref::to_bn(m).get(), c) != nullptr) {
    return {QIV_SUCCESS, ref::to_digits(inv.get(), m.size())};
  }
  ERR_clear_error();
  BN_gcd(g.get(), ref::to_bn(a).get(), ref::to_bn(m).get(), c);
  Digits low(m.size(), 0);
  low[0] = ref::to_digits(g.get(), m.size())[0];
  return {QIV_ERR_FAIL, low};
}

void expect_matches_reference(const Digits& a, const Digits& m, BN_CTX* c) {
  const Inverse want = reference(a, m, c), got = invert(a, m);
  EXPECT_EQ(got.ret, want.ret);
  EXPECT_EQ(got.dst, want.dst);
}

Digits fibonacci(int k, std::uint32_t n) {
  const auto a = ref::new_bn(), b = ref::new_bn(), t = ref::new_bn();
  BN_zero(a.get());
  BN_one(b.get());
  for (int i = 0; i < k; ++i) {
    BN_add(t.get(), a.get(), b.get());
    BN_copy(a.get(), b.get());
    BN_copy(b.get(), t.get());
  }
  return ref::to_digits(a.get(), n);
}

TEST(Euclid, OneIsItsOwnInverseWithoutReduction) {
  const Inverse r = invert({1, 0, 0}, {5, 6, 7});
  EXPECT_EQ(r.ret, QIV_SUCCESS);
  EXPECT_EQ(r.dst, (Digits{1, 0, 0}));
}

TEST(Euclid, OneDigitInverseAndCommonFactor) {
  Inverse r = invert({3}, {7});
  EXPECT_EQ(r.ret, QIV_SUCCESS);
  EXPECT_EQ(r.dst, Digits{5});
  r = invert({6}, {9});
  EXPECT_EQ(r.ret, QIV_ERR_FAIL);
  EXPECT_EQ(r.dst, Digits{3});
}

// e = 65537 against a 32-digit even modulus: the first step is a long division.
TEST(Euclid, PublicExponentAgainstEvenModulus) {
  bntest::Gen gen(901);
  auto c = ref::new_bn_ctx();
  Digits m = gen.normalised(32);
  m[0] &= ~1u;
  while (bn_ModD(m.data(), 32, 65537) == 0) m[0] += 2;
  Digits e(32, 0);
  e[0] = 65537;
  const Inverse r = invert(e, m);
  ASSERT_EQ(r.ret, QIV_SUCCESS);
  const auto prod = ref::new_bn();
  BN_mod_mul(prod.get(), ref::to_bn(e).get(), ref::to_bn(r.dst).get(), ref::to_bn(m).get(),
             c.get());
  EXPECT_TRUE(BN_is_one(prod.get()));
}

// Consecutive Fibonacci numbers make every quotient 1: the longest run of small steps.
TEST(Euclid, ConsecutiveFibonacciNumbers) {
  auto c = ref::new_bn_ctx();
  for (int k : {2729, 2749, 2765}) {  // F(2730) .. F(2766) have 60 digits
    const std::uint32_t n = 60;
    const Digits m = fibonacci(k + 1, n), a = fibonacci(k, n);
    ASSERT_NE(m[n - 1], 0u);
    expect_matches_reference(a, m, c.get());
  }
}

// a = 5(2^40 + 3) + 1, m = a + 5: one subtraction leaves 5, then a long quotient leaves 1.
TEST(Euclid, SubtractionThenLongQuotient) {
  const Inverse r = invert({0x10u, 0x500u}, {0x15u, 0x500u});
  EXPECT_EQ(r.ret, QIV_SUCCESS);
  EXPECT_EQ(r.dst, (Digits{4, 0x100u}));  // 2^40 + 4
}

// One-digit a against a two-digit m whose top digit is below a: the repeated estimate runs
// down to one-digit values while still in the multi-digit phase.
TEST(Euclid, RepeatedEstimateDownToOneDigitValues) {
  auto c = ref::new_bn_ctx();
  expect_matches_reference({3, 0}, {7, 1}, c.get());
  expect_matches_reference({0xFFFF, 0}, {0x12345, 0xFFFE}, c.get());
  expect_matches_reference({6, 0}, {0, 2}, c.get());
}

// gcd(a, m) spans several digits: the zero remainder appears while the divisor is still long.
TEST(Euclid, MultiDigitCommonFactorFailsWithItsLowDigit) {
  bntest::Gen gen(902);
  auto c = ref::new_bn_ctx();
  for (int i = 0; i < 200; ++i) {
    const std::uint32_t n = gen.between(3, 64), ng = gen.between(2, n - 1);
    const Digits g = gen.full(ng);
    const auto A = ref::new_bn(), M = ref::new_bn();
    BN_mul(A.get(), ref::to_bn(g).get(), ref::to_bn(gen.full(n - ng)).get(), c.get());
    BN_mul(M.get(), ref::to_bn(g).get(), ref::to_bn(gen.full(n - ng)).get(), c.get());
    if (BN_cmp(A.get(), M.get()) > 0) BN_swap(A.get(), M.get());
    if (BN_num_bits(M.get()) <= static_cast<int>(32 * (n - 1)) || BN_cmp(A.get(), M.get()) == 0)
      continue;
    const Digits a = ref::to_digits(A.get(), n), m = ref::to_digits(M.get(), n);
    const Inverse got = invert(a, m);
    ASSERT_EQ(got.ret, QIV_ERR_FAIL) << gen.where(i);
    ASSERT_EQ(got.dst, reference(a, m, c.get()).dst) << gen.where(i);
  }
}

TEST(Euclid, ArgumentsOutsideTheContractFailAndClearDst) {
  const Digits m = {7, 9};
  for (const Digits& a : {Digits{7, 9}, Digits{8, 9}, Digits{0, 10}}) {  // a >= m
    const Inverse r = invert(a, m);
    EXPECT_EQ(r.ret, QIV_ERR_FAIL);
    EXPECT_EQ(r.dst, (Digits{0, 0}));
  }
  EXPECT_EQ(invert({3, 0}, {7, 0}).ret, QIV_ERR_FAIL);  // m's top digit is zero
  EXPECT_EQ(invert(Digits(65, 1), Digits(65, 2)).dst, Digits(65, 0));
  EXPECT_EQ(qiv_bn_Euclid(nullptr, m.data(), m.data(), 0), QIV_ERR_FAIL);
  // a = 0 shares every factor of m: no inverse, and m's low digit as the gcd.
  EXPECT_EQ(invert({0, 0}, m).dst, (Digits{7, 0}));
}

// Random pairs of 1 to 64 digits; a third of them get a common factor. On every fourth pair the
// result also lands correctly in a's or m's own storage, and without dst the return value alone
// answers.
TEST(Euclid, MatchesOpenSslWithAndWithoutInverseAndAliasedDst) {
  bntest::Gen gen(903);
  auto c = ref::new_bn_ctx();
  for (int i = 0; i < bntest::cases(10000); ++i) {
    const std::uint32_t n = i % 4 == 0 ? 32 * gen.between(1, 2) : gen.between(1, 64);
    Digits m = gen.full(n), a = gen.number(n);
    if (i % 3 == 0) {
      const std::uint32_t f = gen.between(2, 1000);
      const auto A = ref::to_bn(a), M = ref::to_bn(m);
      BN_mul_word(A.get(), f);
      BN_mul_word(M.get(), f);
      BN_mask_bits(A.get(), static_cast<int>(32 * n));
      BN_mask_bits(M.get(), static_cast<int>(32 * n));
      a = ref::to_digits(A.get(), n);
      m = ref::to_digits(M.get(), n);
    }
    if (m[n - 1] == 0) m[n - 1] = 1;
    if (qiv_bn_cmp(a.data(), n, m.data(), n) >= 0) std::swap(a, m);
    if (m[n - 1] == 0 || qiv_bn_cmp(a.data(), n, m.data(), n) == 0) continue;
    if (i % 10 == 1) {  // also a value just below m
      a = m;
      qiv_bn_Sub(a.data(), a.data(), n, Digits{1}.data(), 1);
    }
    const Inverse want = reference(a, m, c.get()), got = invert(a, m);
    ASSERT_EQ(got.ret, want.ret) << gen.where(i);
    ASSERT_EQ(got.dst, want.dst) << gen.where(i);
    if (i % 4 != 0) continue;
    ASSERT_EQ(qiv_bn_Euclid(nullptr, a.data(), m.data(), n), want.ret) << gen.where(i);
    Digits ina = a, inm = m;
    qiv_bn_Euclid(ina.data(), ina.data(), m.data(), n);
    qiv_bn_Euclid(inm.data(), a.data(), inm.data(), n);
    ASSERT_EQ(ina, want.dst) << gen.where(i);
    ASSERT_EQ(inm, want.dst) << gen.where(i);
  }
}

}  // namespace
