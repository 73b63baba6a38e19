// Addition and subtraction with carry: a + b = dst + carry * 2^(32 na), a - b = dst - borrow *
// 2^(32 na), in place and into a separate array.
#include <gtest/gtest.h>

#include <cstdint>

#include "bignum/bignum.h"
#include "tests/bignum/operands.h"
#include "tests/support/reference.h"

namespace {

using ref::Digits;

TEST(AddSub, OneDigitCarryAndBorrow) {
  std::uint32_t a = 0xFFFFFFFFu, one = 1;
  EXPECT_EQ(qiv_bn_Add(&a, &a, 1, &one, 1), 1u);
  EXPECT_EQ(a, 0u);
  std::uint32_t x = 1, two = 2;
  EXPECT_EQ(qiv_bn_Sub(&x, &x, 1, &two, 1), 1u);
  EXPECT_EQ(x, 0xFFFFFFFFu);
}

TEST(AddSub, CarryRunsThroughEveryUpperDigit) {
  const std::uint32_t one = 1;
  std::uint32_t a[3] = {0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu};
  EXPECT_EQ(qiv_bn_Add(a, a, 3, &one, 1), 1u);
  EXPECT_EQ(Digits(a, a + 3), (Digits{0, 0, 0}));
  EXPECT_EQ(qiv_bn_Sub(a, a, 3, &one, 1), 1u);
  EXPECT_EQ(Digits(a, a + 3), (Digits{0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu}));
}

// dst = a is the contract of every caller; a separate dst, and b itself when the lengths are
// equal, are answered the same way.
TEST(AddSub, MatchOpenSslInPlaceAndSeparate) {
  bntest::Gen gen(401);
  for (int i = 0; i < bntest::cases(10000); ++i) {
    const std::uint32_t na = gen.between(1, 66), nb = i % 4 == 0 ? na : gen.between(0, na);
    const Digits a = gen.number(na), b = gen.number(nb);
    const auto A = ref::to_bn(a), B = ref::to_bn(b), wrap = ref::new_bn(), got = ref::new_bn();
    BN_set_bit(wrap.get(), static_cast<int>(32 * na));

    Digits sum = a, diff = a, sum2(na, 0xDEADBEEFu), diff2(na, 0xDEADBEEFu);
    const std::uint32_t carry = qiv_bn_Add(sum.data(), sum.data(), na, b.data(), nb);
    const std::uint32_t borrow = qiv_bn_Sub(diff.data(), diff.data(), na, b.data(), nb);
    ASSERT_EQ(qiv_bn_Add(sum2.data(), a.data(), na, b.data(), nb), carry);
    ASSERT_EQ(qiv_bn_Sub(diff2.data(), a.data(), na, b.data(), nb), borrow);
    ASSERT_EQ(sum2, sum) << gen.where(i);
    ASSERT_EQ(diff2, diff) << gen.where(i);
    if (na == nb) {  // equal lengths: dst may be b as well
      Digits sumB = b, diffB = b;
      ASSERT_EQ(qiv_bn_Add(sumB.data(), a.data(), na, sumB.data(), nb), carry);
      ASSERT_EQ(qiv_bn_Sub(diffB.data(), a.data(), na, diffB.data(), nb), borrow);
      ASSERT_EQ(sumB, sum) << gen.where(i);
      ASSERT_EQ(diffB, diff) << gen.where(i);
    }

    BN_add(got.get(), A.get(), B.get());
    if (carry) BN_sub(got.get(), got.get(), wrap.get());
    ASSERT_EQ(ref::to_digits(got.get(), na), sum) << gen.where(i);
    ASSERT_EQ(borrow, BN_cmp(A.get(), B.get()) < 0 ? 1u : 0u) << gen.where(i);
    BN_sub(got.get(), A.get(), B.get());
    if (borrow) BN_add(got.get(), got.get(), wrap.get());
    ASSERT_EQ(ref::to_digits(got.get(), na), diff) << gen.where(i);
  }
}

}  // namespace
