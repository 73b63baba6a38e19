// Copy and three-way comparison over possibly different digit counts.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>

#include "bignum/bignum.h"
#include "tests/bignum/operands.h"
#include "tests/support/reference.h"

namespace {

using ref::Digits;

TEST(Compare, LongerOperandDecidesByItsExtraDigits) {
  const std::uint32_t b[1] = {5};
  const std::uint32_t a0[2] = {5, 0}, a1[2] = {5, 1}, a2[2] = {4, 0};
  EXPECT_EQ(qiv_bn_cmp(a0, 2, b, 1), 0);
  EXPECT_EQ(qiv_bn_cmp(a1, 2, b, 1), 1);
  EXPECT_EQ(qiv_bn_cmp(a2, 2, b, 1), -1);
  // The shorter operand first is answered as well, not only the contract's na >= nb.
  EXPECT_EQ(qiv_bn_cmp(b, 1, a0, 2), 0);
  EXPECT_EQ(qiv_bn_cmp(b, 1, a1, 2), -1);
  EXPECT_EQ(qiv_bn_cmp(b, 1, a2, 2), 1);
}

TEST(Compare, MatchesOpenSslOnMixedLengths) {
  bntest::Gen gen(301);
  for (int i = 0; i < bntest::cases(10000); ++i) {
    const std::uint32_t na = gen.between(1, 66), nb = gen.between(1, 66);
    const Digits a = gen.number(na);
    Digits b = gen.number(nb);
    if (i % 4 == 0) {  // equal in the common digits: only the extra digits may differ
      for (std::uint32_t k = 0; k < std::min(na, nb); ++k) b[k] = a[k];
    }
    const int expected = BN_cmp(ref::to_bn(a).get(), ref::to_bn(b).get());
    ASSERT_EQ(qiv_bn_cmp(a.data(), na, b.data(), nb), expected) << gen.where(i);
  }
}

TEST(Compare, CopyIsExactAndAllowsTheSameArray) {
  std::uint32_t src[4] = {1, 2, 3, 4};
  std::uint32_t dst[5] = {9, 9, 9, 9, 9};
  qiv_bn_copy(dst, src, 4);
  EXPECT_EQ(Digits(dst, dst + 5), (Digits{1, 2, 3, 4, 9}));
  qiv_bn_copy(src, src, 4);
  EXPECT_EQ(Digits(src, src + 4), (Digits{1, 2, 3, 4}));
}

}  // namespace
