// Modular multiplication and exponentiation against OpenSSL, with every aliasing the contract
// allows and operands at the modulus' edges.
#include <gtest/gtest.h>

#include <cstdint>

#include "bignum/bignum.h"
#include "tests/bignum/operands.h"
#include "tests/support/reference.h"

namespace {

using ref::Digits;

Digits mod_mul_ref(const Digits& a, const Digits& b, const Digits& m, BN_CTX* c) {
  const auto r = ref::new_bn();
  BN_mod_mul(r.get(), ref::to_bn(a).get(), ref::to_bn(b).get(), ref::to_bn(m).get(), c);
  return ref::to_digits(r.get(), m.size());
}

Digits mod_exp_ref(const Digits& base, const Digits& e, const Digits& m, BN_CTX* c) {
  const auto r = ref::new_bn();
  BN_mod_exp(r.get(), ref::to_bn(base).get(), ref::to_bn(e).get(), ref::to_bn(m).get(), c);
  return ref::to_digits(r.get(), m.size());
}

Digits power(const Digits& base, const Digits& m, const Digits& e) {
  Digits dst(m.size(), 0xA5A5A5A5u);
  qiv_bn_Binary(dst.data(), base.data(), m.data(), static_cast<std::uint32_t>(m.size()), e.data(),
                static_cast<std::uint32_t>(e.size()));
  return dst;
}

// An n-digit value a little below, at, or a little above m (wrapping within n digits).
Digits near(const Digits& m, int delta) {
  const auto x = ref::to_bn(m), wrap = ref::new_bn();
  if (delta < 0) BN_sub_word(x.get(), static_cast<BN_ULONG>(-delta));
  if (delta > 0) BN_add_word(x.get(), static_cast<BN_ULONG>(delta));
  BN_set_bit(wrap.get(), static_cast<int>(32 * m.size()));
  if (BN_cmp(x.get(), wrap.get()) >= 0) BN_sub(x.get(), x.get(), wrap.get());
  return ref::to_digits(x.get(), m.size());
}

TEST(ModMul, SquaresInPlaceWhenAllThreeAreOneArray) {
  auto c = ref::new_bn_ctx();
  const Digits m = {0xFFFFFFFFu, 0xFFFFFFFFu, 0x80000001u};
  Digits x = {0x12345678u, 0x9ABCDEF0u, 0x7FFFFFFFu};
  const Digits expected = mod_mul_ref(x, x, m, c.get());
  qiv_bn_ModMul(x.data(), x.data(), x.data(), m.data(), 3);
  EXPECT_EQ(x, expected);
}

TEST(ModMul, OutsideTheTemporariesOrUnnormalisedGivesZero) {
  Digits m(67, 0x80000000u), a(67, 1), dst(67, 9);
  qiv_bn_ModMul(dst.data(), a.data(), a.data(), m.data(), 67);
  EXPECT_EQ(dst, Digits(67, 0));
  dst.assign(2, 9);
  const Digits small = {5, 0x7FFFFFFFu};
  qiv_bn_ModMul(dst.data(), a.data(), a.data(), small.data(), 2);
  EXPECT_EQ(dst, Digits(2, 0));
}

TEST(ModMul, MatchesOpenSslWithEveryAllowedAliasing) {
  bntest::Gen gen(801);
  auto c = ref::new_bn_ctx();
  for (int i = 0; i < bntest::cases(10000); ++i) {
    const std::uint32_t n = gen.between(1, 66);
    const Digits m = gen.normalised(n);
    Digits a = i % 5 == 0 ? near(m, -1) : mod_mul_ref(gen.number(n), {1}, m, c.get());
    // b is any n-digit value: just below, at or just above m, or arbitrary.
    const Digits b = i % 5 == 1 ? near(m, static_cast<int>(gen.between(0, 2)) - 1) : gen.number(n);
    const Digits expected = mod_mul_ref(a, b, m, c.get());

    Digits dst(n);
    qiv_bn_ModMul(dst.data(), a.data(), b.data(), m.data(), n);
    ASSERT_EQ(dst, expected) << gen.where(i);
    Digits da = a, db = b;
    qiv_bn_ModMul(da.data(), da.data(), b.data(), m.data(), n);
    qiv_bn_ModMul(db.data(), a.data(), db.data(), m.data(), n);
    ASSERT_EQ(da, expected) << gen.where(i);
    ASSERT_EQ(db, expected) << gen.where(i);
    Digits sq(n);
    qiv_bn_ModMul(sq.data(), a.data(), a.data(), m.data(), n);
    ASSERT_EQ(sq, mod_mul_ref(a, a, m, c.get())) << gen.where(i);
  }
}

TEST(Binary, SmallExponentsGiveOneBaseAndSquare) {
  auto c = ref::new_bn_ctx();
  const Digits m = {3, 0x80000000u};
  const Digits base = {7, 0xFFFFFFFFu};  // above m: the first multiplication reduces it
  EXPECT_EQ(power(base, m, {0}), (Digits{1, 0}));
  EXPECT_EQ(power(base, m, {}), (Digits{1, 0}));
  EXPECT_EQ(power(base, m, {0, 0}), (Digits{1, 0}));
  EXPECT_EQ(power(base, m, {1}), mod_mul_ref(base, {1}, m, c.get()));
  EXPECT_EQ(power(base, m, {2, 0}), mod_mul_ref(base, base, m, c.get()));
}

TEST(Binary, OutsideTheTemporariesOrUnnormalisedGivesZero) {
  const Digits e = {3};
  EXPECT_EQ(power(Digits(67, 2), Digits(67, 0x80000000u), e), Digits(67, 0));
  EXPECT_EQ(power({2, 2}, {1, 1}, e), Digits(2, 0));
}

// One-digit exponents (the public operations) on 10,000 moduli of 1 to 66 digits; full-length
// exponents (the private ones) on fewer, since each costs 32n modular squarings.
TEST(Binary, MatchesOpenSslWithOneDigitAndFullLengthExponents) {
  bntest::Gen gen(802);
  auto c = ref::new_bn_ctx();
  const int one_digit = bntest::cases(10000), full = bntest::cases(300);
  for (int i = 0; i < one_digit + full; ++i) {
    const std::uint32_t n = gen.between(1, 66);
    const Digits m = gen.normalised(n);
    const Digits base =
        i % 7 == 0 ? near(m, static_cast<int>(gen.between(0, 2)) - 1) : gen.number(n);
    const Digits e = i < one_digit ? Digits{i % 3 == 0 ? 65537u : gen.digit()} : gen.number(n);
    ASSERT_EQ(power(base, m, e), mod_exp_ref(base, e, m, c.get())) << gen.where(i);
  }
}

TEST(Binary, MatchesOpenSslAtSixtyFourDigitsWithFullExponent) {
  bntest::Gen gen(803);
  auto c = ref::new_bn_ctx();
  for (int i = 0; i < bntest::cases(20); ++i) {
    const Digits m = gen.normalised(64), base = gen.number(64), e = gen.full(64);
    ASSERT_EQ(power(base, m, e), mod_exp_ref(base, e, m, c.get())) << gen.where(i);
  }
}

TEST(Binary, ResultMayBeWrittenOverTheBase) {
  bntest::Gen gen(804);
  const Digits m = gen.normalised(8), e = gen.full(3);
  Digits base = gen.number(8);
  const Digits expected = power(base, m, e);
  qiv_bn_Binary(base.data(), base.data(), m.data(), 8, e.data(), 3);
  EXPECT_EQ(base, expected);
}

}  // namespace
