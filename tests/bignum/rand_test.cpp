// Random digits are the generator's bytes, four per digit, least significant byte first.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>

#include "bignum/bignum.h"
#include "crypto/crypto.h"
#include "random/random.h"
#include "tests/support/fixed_noise.h"

namespace {

std::uint32_t le32(const std::uint8_t* b) {
  return std::uint32_t{b[0]} | std::uint32_t{b[1]} << 8 | std::uint32_t{b[2]} << 16 |
         std::uint32_t{b[3]} << 24;
}

TEST(BnRand, TwoDigitsConsumeExactlyEightGeneratorBytes) {
  qiv_test_reset_random();
  std::array<std::uint8_t, 16> stream{};
  ASSERT_EQ(QIV_SHA1_PRNG_Rand(16, stream.data()), QIV_SUCCESS);

  qiv_test_reset_random();
  std::array<std::uint32_t, 3> d = {0, 0, 0xA5A5A5A5u};
  ASSERT_EQ(qiv_bn_rand(d.data(), 2), QIV_SUCCESS);
  std::array<std::uint8_t, 8> next{};
  ASSERT_EQ(QIV_SHA1_PRNG_Rand(8, next.data()), QIV_SUCCESS);
  EXPECT_EQ(d[0], le32(&stream[0]));
  EXPECT_EQ(d[1], le32(&stream[4]));
  EXPECT_EQ(d[2], 0xA5A5A5A5u);
  EXPECT_TRUE(std::equal(next.begin(), next.end(), stream.begin() + 8));
}

TEST(BnRand, ZeroDigitsTakeNoBytesFromTheStream) {
  qiv_test_reset_random();
  std::uint32_t first = 0;
  ASSERT_EQ(qiv_bn_rand(&first, 1), QIV_SUCCESS);

  qiv_test_reset_random();
  std::uint32_t untouched = 7, digit = 0;
  EXPECT_EQ(qiv_bn_rand(&untouched, 0), QIV_SUCCESS);
  EXPECT_EQ(untouched, 7u);
  ASSERT_EQ(qiv_bn_rand(&digit, 1), QIV_SUCCESS);
  EXPECT_EQ(digit, first);
}

TEST(BnRand, NullDstIsTheGeneratorsNullPointerCode) {
  EXPECT_EQ(qiv_bn_rand(nullptr, 2), QIV_ERR_NULL_PTR);
  EXPECT_EQ(qiv_bn_rand(nullptr, 0), QIV_ERR_NULL_PTR);
}

// 2^30 digits would be 2^32 bytes, which the generator's 32-bit length would wrap to 0.
TEST(BnRand, ByteLengthBeyondThirtyTwoBitsIsRefusedNotShortened) {
  std::uint32_t d = 7;
  EXPECT_EQ(qiv_bn_rand(&d, 0x40000000u), QIV_ERR_BAD_PARAM);
  EXPECT_EQ(d, 7u);
}

}  // namespace
