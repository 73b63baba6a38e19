// Multiply-accumulate by one digit: acc + a*d = acc' + ret * 2^(32 nAcc) and
// acc - a*d = acc' - ret * 2^(32 nAcc), whether a spans acc or is shorter.
#include <gtest/gtest.h>

#include <cstdint>

#include "bignum/bignum.h"
#include "tests/bignum/operands.h"
#include "tests/support/reference.h"

namespace {

using ref::Digits;

TEST(MulAdd, FullLengthReturnsTheWholeCarryDigit) {
  std::uint32_t acc = 0xFFFFFFFFu;
  const std::uint32_t a = 0xFFFFFFFFu;
  EXPECT_EQ(qiv_bn_MulAdd(&acc, 1, &a, 1, 0xFFFFFFFFu), 0xFFFFFFFFu);
  EXPECT_EQ(acc, 0u);
}

TEST(MulAdd, EmptyMultiplicandChangesNothing) {
  std::uint32_t acc[2] = {7, 8};
  EXPECT_EQ(qiv_bn_MulAdd(acc, 2, nullptr, 0, 5), 0u);
  EXPECT_EQ(qiv_bn_MulSub(acc, 2, nullptr, 0, 5), 0u);
  EXPECT_EQ(Digits(acc, acc + 2), (Digits{7, 8}));
}

TEST(MulAdd, RippleStopsAtTheFirstDigitThatAbsorbsIt) {
  const std::uint32_t a = 1;
  std::uint32_t acc[4] = {0xFFFFFFFFu, 0xFFFFFFFFu, 5, 0xFFFFFFFFu};
  EXPECT_EQ(qiv_bn_MulAdd(acc, 4, &a, 1, 1), 0u);
  EXPECT_EQ(Digits(acc, acc + 4), (Digits{0, 0, 6, 0xFFFFFFFFu}));
  EXPECT_EQ(qiv_bn_MulSub(acc, 4, &a, 1, 1), 0u);
  EXPECT_EQ(Digits(acc, acc + 4), (Digits{0xFFFFFFFFu, 0xFFFFFFFFu, 5, 0xFFFFFFFFu}));
  std::uint32_t top[3] = {0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu};
  EXPECT_EQ(qiv_bn_MulAdd(top, 3, &a, 1, 1), 1u);
  EXPECT_EQ(qiv_bn_MulSub(top, 3, &a, 1, 1), 1u);
}

TEST(MulAdd, MultiplicandLongerThanAccumulatorWritesOnlyTheAccumulator) {
  const std::uint32_t a[3] = {2, 3, 4};
  std::uint32_t acc[3] = {1, 1, 0xA5A5A5A5u};
  EXPECT_EQ(qiv_bn_MulAdd(acc, 2, a, 3, 1), 0u);
  EXPECT_EQ(Digits(acc, acc + 3), (Digits{3, 4, 0xA5A5A5A5u}));
  EXPECT_EQ(qiv_bn_MulSub(acc, 2, a, 3, 1), 0u);
  EXPECT_EQ(Digits(acc, acc + 3), (Digits{1, 1, 0xA5A5A5A5u}));
}

// The largest rows: every digit product is (2^32-1)^2, so each step of a subtraction from zero
// borrows the most it can, and an addition to all ones carries the most it can.
TEST(MulAdd, AllOnesRowsGiveTheExtremeCarryAndBorrow) {
  for (std::uint32_t n = 1; n <= 9; ++n) {
    const Digits a(n, 0xFFFFFFFFu);
    // With B = 2^32, a*d = (B^n - 1)(B - 1) = B^(n+1) - B^n - B + 1, so
    // 0 - a*d = (B - 1) - (B - 1) B^n: digits {B - 1, 0, ..., 0} and a borrow of B - 1.
    Digits zero(n, 0);
    EXPECT_EQ(qiv_bn_MulSub(zero.data(), n, a.data(), n, 0xFFFFFFFFu), 0xFFFFFFFFu) << n;
    Digits want(n, 0);
    want[0] = 0xFFFFFFFFu;
    EXPECT_EQ(zero, want) << n;
    // (B^n - 1) + a*d = (B - 1) B^n + (B^n - B): digits {0, B - 1, ...} and a carry of B - 1.
    Digits ones(n, 0xFFFFFFFFu);
    EXPECT_EQ(qiv_bn_MulAdd(ones.data(), n, a.data(), n, 0xFFFFFFFFu), 0xFFFFFFFFu) << n;
    want.assign(n, 0xFFFFFFFFu);
    want[0] = 0;
    EXPECT_EQ(ones, want) << n;
  }
}

TEST(MulAdd, MatchOpenSsl) {
  bntest::Gen gen(501);
  for (int i = 0; i < bntest::cases(10000); ++i) {
    const std::uint32_t nAcc = gen.between(1, 66), na = gen.between(0, nAcc);
    const Digits acc = gen.number(nAcc), a = gen.number(na);
    const std::uint32_t d = i % 3 == 0 ? 0xFFFFFFFFu : gen.digit();
    const auto prod = ref::to_bn(a), expected = ref::new_bn(), got = ref::new_bn();
    const auto shift = ref::new_bn();
    BN_mul_word(prod.get(), d);
    BN_lshift(shift.get(), BN_value_one(), static_cast<int>(32 * nAcc));

    Digits sum = acc;
    const std::uint32_t carry = qiv_bn_MulAdd(sum.data(), nAcc, a.data(), na, d);
    BN_add(expected.get(), ref::to_bn(acc).get(), prod.get());
    BN_mul_word(shift.get(), carry);
    BN_add(got.get(), ref::to_bn(sum).get(), shift.get());
    ASSERT_EQ(BN_cmp(got.get(), expected.get()), 0) << gen.where(i);

    Digits diff = acc;
    const std::uint32_t borrow = qiv_bn_MulSub(diff.data(), nAcc, a.data(), na, d);
    BN_lshift(shift.get(), BN_value_one(), static_cast<int>(32 * nAcc));
    BN_mul_word(shift.get(), borrow);
    BN_sub(expected.get(), ref::to_bn(acc).get(), prod.get());
    BN_sub(got.get(), ref::to_bn(diff).get(), shift.get());
    ASSERT_EQ(BN_cmp(got.get(), expected.get()), 0) << gen.where(i);
  }
}

}  // namespace
