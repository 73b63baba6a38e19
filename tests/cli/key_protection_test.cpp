// Private-key protection against OpenSSL's AES-CBC under the program's constants, restated
// here: a change to them would orphan every key file in the field, so it must fail a test.
#include "core/key_protection.h"

#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "tests/cli/temp_dir.h"
#include "tests/support/reference.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

const Bytes kKeyV11 = {0x24, 0x7b, 0x7a, 0xdf, 0xc5, 0x46, 0x51, 0xac,
                       0x00, 0xbd, 0x10, 0xae, 0xdf, 0x51, 0x91, 0x97};
const Bytes kIvV11 = {0xe0, 0x20, 0x7b, 0xa0, 0x99, 0xaf, 0xda, 0x85,
                      0xa0, 0xe3, 0xdc, 0x2f, 0x44, 0x0c, 0x48, 0x27};
const Bytes kKeyV21 = {0x9d, 0x2e, 0x50, 0xf5, 0xe1, 0x54, 0x82, 0xdf, 0x46, 0x64, 0x90,
                       0x04, 0x7d, 0xc8, 0xbd, 0x52, 0x27, 0xcd, 0x51, 0x8f, 0x81, 0x47,
                       0x11, 0x45, 0x58, 0x23, 0x93, 0x9d, 0x12, 0x3e, 0xd5, 0xc7};
const Bytes kIvV21 = {0xd5, 0x0b, 0xcf, 0xaf, 0x46, 0xf5, 0x93, 0xd6,
                      0x95, 0xcc, 0x01, 0xe7, 0x9b, 0xc2, 0xb8, 0x79};

// Mode 1 is AES-128; every other mode is AES-256.
TEST(KeyProtection, EqualsAesCbcUnderTheFixedKeysAndRoundTrips) {
  const struct {
    std::int32_t mode;
    std::uint32_t length;
    const Bytes& key;
    const Bytes& iv;
  } cases[] = {{1, 608, kKeyV11, kIvV11},
               {1, 640, kKeyV11, kIvV11},
               {2, 1200, kKeyV21, kIvV21},
               {0, 1200, kKeyV21, kIvV21},
               {7, 16, kKeyV21, kIvV21}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "mode " << c.mode << ", " << c.length << " bytes");
    const Bytes plain = pattern_bytes(c.length, c.length);
    Bytes buffer = plain;
    ASSERT_EQ(do_PrivateKey_Encrypt(c.mode, buffer.data(), c.length), 0);
    EXPECT_EQ(buffer, ref::aes_cbc_encrypt(c.key, c.iv, plain));
    ASSERT_EQ(do_PrivateKey_Decrypt(c.mode, buffer.data(), c.length), 0);
    EXPECT_EQ(buffer, plain);
  }
}

TEST(KeyProtection, UnalignedOrEmptyInputFailsAndKeepsThePlaintext) {
  const Bytes plain = pattern_bytes(1188, 1);
  for (const std::int32_t mode : {1, 2}) {
    Bytes buffer = plain;
    EXPECT_EQ(do_PrivateKey_Encrypt(mode, buffer.data(), 1188), -540672);
    EXPECT_EQ(do_PrivateKey_Decrypt(mode, buffer.data(), 1188), -540672);
    EXPECT_EQ(buffer, plain);
    EXPECT_EQ(do_PrivateKey_Encrypt(mode, buffer.data(), 0), -540672);
    EXPECT_EQ(do_PrivateKey_Decrypt(mode, nullptr, 16), -540672);
  }
}

// No per-file salt: equal first blocks give equal first ciphertext blocks.
TEST(KeyProtection, FixedIvMakesEqualFirstBlocksEncryptEqually) {
  Bytes a = pattern_bytes(1200, 2);
  Bytes b = pattern_bytes(1200, 3);
  std::copy(a.begin(), a.begin() + 16, b.begin());
  ASSERT_EQ(do_PrivateKey_Encrypt(2, a.data(), 1200), 0);
  ASSERT_EQ(do_PrivateKey_Encrypt(2, b.data(), 1200), 0);
  EXPECT_TRUE(std::equal(a.begin(), a.begin() + 16, b.begin()));
  EXPECT_FALSE(std::equal(a.begin() + 16, a.begin() + 32, b.begin() + 16));
}

}  // namespace
