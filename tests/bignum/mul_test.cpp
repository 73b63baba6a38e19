// Schoolbook multiplication and squaring against OpenSSL.
#include <gtest/gtest.h>

#include <cstdint>

#include "bignum/bignum.h"
#include "tests/bignum/operands.h"
#include "tests/support/reference.h"

namespace {

using ref::Digits;
constexpr std::uint32_t kCanary = 0xA5A5A5A5u;

TEST(Mul, EmptyFactorGivesZerosOverTheResultLengthOnly) {
  const std::uint32_t a[3] = {1, 2, 3};
  Digits dst(4, kCanary);
  qiv_bn_Mul(dst.data(), a, 3, nullptr, 0);
  EXPECT_EQ(dst, (Digits{0, 0, 0, kCanary}));
  dst.assign(4, kCanary);
  qiv_bn_Mul(dst.data(), nullptr, 0, a, 3);
  EXPECT_EQ(dst, (Digits{0, 0, 0, kCanary}));
}

TEST(Sqr, AllOnesSquareAndOneDigitSquare) {
  const std::uint32_t a[2] = {0xFFFFFFFFu, 0xFFFFFFFFu};
  Digits dst(5, kCanary);
  qiv_bn_Sqr(dst.data(), a, 2);
  EXPECT_EQ(dst, (Digits{1, 0, 0xFFFFFFFEu, 0xFFFFFFFFu, kCanary}));
  // One digit is outside the stated contract (n >= 2) but is squared correctly.
  dst.assign(3, kCanary);
  qiv_bn_Sqr(dst.data(), a, 1);
  EXPECT_EQ(dst, (Digits{1, 0xFFFFFFFEu, kCanary}));
}

TEST(Mul, MulAndSqrMatchOpenSsl) {
  bntest::Gen gen(601);
  auto c = ref::new_bn_ctx();
  for (int i = 0; i < bntest::cases(10000); ++i) {
    const std::uint32_t na = gen.between(0, 66), nb = gen.between(0, 66);
    const Digits a = gen.number(na), b = gen.number(nb);
    const auto expected = ref::new_bn();
    BN_mul(expected.get(), ref::to_bn(a).get(), ref::to_bn(b).get(), c.get());
    Digits dst(na + nb + 1, kCanary);
    qiv_bn_Mul(dst.data(), a.data(), na, b.data(), nb);
    ASSERT_EQ(dst.back(), kCanary) << gen.where(i);
    dst.pop_back();
    ASSERT_EQ(dst, ref::to_digits(expected.get(), na + nb)) << gen.where(i);

    if (na == 0) continue;
    BN_sqr(expected.get(), ref::to_bn(a).get(), c.get());
    Digits sq(2 * na + 1, kCanary);
    qiv_bn_Sqr(sq.data(), a.data(), na);
    ASSERT_EQ(sq.back(), kCanary) << gen.where(i);
    sq.pop_back();
    ASSERT_EQ(sq, ref::to_digits(expected.get(), 2 * na)) << gen.where(i);
  }
}

}  // namespace
