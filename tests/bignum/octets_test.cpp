// Octet-string conversion against OpenSSL's big-endian encoding.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <vector>

#include "bignum/bignum.h"
#include "tests/bignum/operands.h"
#include "tests/support/reference.h"

namespace {

using ref::Digits;

TEST(Octets, EightBytesSplitIntoTwoDigitsAndBack) {
  const std::array<std::uint8_t, 8> bytes = {1, 2, 3, 4, 5, 6, 7, 8};
  std::array<std::uint32_t, 2> d{};
  OS2BN(d.data(), bytes.data(), 8);
  EXPECT_EQ(d[0], 0x05060708u);
  EXPECT_EQ(d[1], 0x01020304u);
  std::array<std::uint8_t, 8> back{};
  BN2OS(back.data(), d.data(), 2);
  EXPECT_EQ(back, bytes);
}

TEST(Octets, OneDigitIsAFourByteBigEndianCounter) {
  const std::uint32_t one = 1;
  std::array<std::uint8_t, 5> out = {9, 9, 9, 9, 9};
  BN2OS(out.data(), &one, 1);
  EXPECT_EQ(out, (std::array<std::uint8_t, 5>{0, 0, 0, 1, 9}));
}

TEST(Octets, ZeroLengthWritesNothing) {
  const std::uint8_t byte = 0xAA;
  std::uint32_t digit = 0x12345678;
  OS2BN(&digit, &byte, 0);
  EXPECT_EQ(digit, 0x12345678u);
}

TEST(Octets, MatchOpenSslBigEndianEncoding) {
  bntest::Gen gen(101);
  for (int i = 0; i < bntest::cases(10000); ++i) {
    const std::uint32_t n = gen.between(0, 66);
    const Digits x = gen.number(n);
    std::vector<std::uint8_t> expected(4 * n + 1), got(4 * n + 1);
    ASSERT_EQ(BN_bn2binpad(ref::to_bn(x).get(), expected.data(), static_cast<int>(4 * n)),
              static_cast<int>(4 * n));
    BN2OS(got.data(), x.data(), n);
    ASSERT_EQ(got, expected) << gen.where(i);
    Digits back(n + 1, 0xA5A5A5A5u);
    OS2BN(back.data(), expected.data(), 4 * n);
    ASSERT_EQ(back[n], 0xA5A5A5A5u) << gen.where(i);
    back.pop_back();
    ASSERT_EQ(back, x) << gen.where(i);
  }
}

}  // namespace
