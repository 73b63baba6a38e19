// One-digit helpers: products, two-by-one division, gcd and the remainder by one digit.
#include <gtest/gtest.h>

#include <cstdint>
#include <numeric>

#include "bignum/bignum.h"
#include "tests/bignum/operands.h"
#include "tests/support/reference.h"

namespace {

using ref::Digits;

TEST(DigitHelpers, ProductOfLargestDigitsFillsBothHalves) {
  std::uint32_t out[2] = {};
  D_Mul_D(out, 0xFFFFFFFFu, 0xFFFFFFFFu);
  EXPECT_EQ(out[0], 1u);
  EXPECT_EQ(out[1], 0xFFFFFFFEu);
  D_Mul_D(out, 0x80000000u, 2);
  EXPECT_EQ(out[0], 0u);
  EXPECT_EQ(out[1], 1u);
}

TEST(DigitHelpers, TwoByOneDivisionTruncatesQuotientToLowDigit) {
  EXPECT_EQ(DD_Div_D(1, 0, 3), 0x55555555u);  // 2^32 / 3
  EXPECT_EQ(DD_Mod_D(1, 0, 3), 1u);
  EXPECT_EQ(DD_Div_D(5, 0, 2), 0x80000000u);  // 5 * 2^31 keeps only its low 32 bits
  EXPECT_EQ(DD_Mod_D(0xFFFFFFFEu, 0xFFFFFFFFu, 0xFFFFFFFFu), 0xFFFFFFFEu);
  EXPECT_EQ(DD_Div_D(0xFFFFFFFEu, 0xFFFFFFFFu, 0xFFFFFFFFu), 0xFFFFFFFFu);
}

TEST(DigitHelpers, ZeroDivisorAnswersZeroInsteadOfTrapping) {
  const std::uint32_t a[2] = {5, 7};
  EXPECT_EQ(DD_Div_D(1, 2, 0), 0u);
  EXPECT_EQ(DD_Mod_D(1, 2, 0), 0u);
  EXPECT_EQ(bn_ModD(a, 2, 0), 0u);
}

TEST(DigitHelpers, GcdHandlesZerosAndMatchesStdGcd) {
  EXPECT_EQ(D_Gcd(0, 0), 0u);
  EXPECT_EQ(D_Gcd(12, 0), 12u);
  EXPECT_EQ(D_Gcd(0, 7), 7u);
  EXPECT_EQ(D_Gcd(12, 18), 6u);
  bntest::Gen gen(201);
  for (int i = 0; i < 10000; ++i) {
    const std::uint32_t g = gen.between(1, 1000);
    const std::uint32_t a = gen.digit() / g * g, b = gen.digit() / g * g;
    ASSERT_EQ(D_Gcd(a, b), std::gcd(a, b)) << gen.where(i);
  }
}

TEST(DigitHelpers, ModDigitOfEmptyAndOfTwoToThe32) {
  const std::uint32_t two32[2] = {0, 1};
  EXPECT_EQ(bn_ModD(two32, 0, 3), 0u);
  EXPECT_EQ(bn_ModD(two32, 2, 3), 1u);
}

TEST(DigitHelpers, ModDigitMatchesOpenSsl) {
  bntest::Gen gen(202);
  for (int i = 0; i < bntest::cases(10000); ++i) {
    const Digits a = gen.number(gen.between(1, 66));
    const std::uint32_t d = i % 2 == 0 ? gen.between(1, 65537) : gen.between(1, 0xFFFFFFFFu);
    const BN_ULONG expected = BN_mod_word(ref::to_bn(a).get(), d);
    ASSERT_EQ(bn_ModD(a.data(), static_cast<std::uint32_t>(a.size()), d), expected) << gen.where(i);
  }
}

}  // namespace
