// MGF1-SHA1 against OpenSSL's MGF1, and its XOR-in-place contract.
#define OPENSSL_SUPPRESS_DEPRECATED  // PKCS1_MGF1 is the reference mask; it is still exported
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>

#include <cstdint>
#include <random>

#include "rsa/rsa.h"
#include "tests/rsa/support.h"

namespace {

using qiv::test::Bytes;

Bytes openssl_mask(const Bytes& seed, std::size_t len) {
  Bytes mask(len + 1);  // PKCS1_MGF1 wants a non-null buffer even for length 0
  PKCS1_MGF1(mask.data(), static_cast<long>(len), seed.data(), static_cast<long>(seed.size()),
             EVP_sha1());
  mask.resize(len);
  return mask;
}

Bytes masked(Bytes buf, const Bytes& seed) {
  qiv_PKCS1_MGF1_Sha1(buf.data(), static_cast<std::uint32_t>(buf.size()), seed.data(),
                      static_cast<std::uint32_t>(seed.size()));
  return buf;
}

TEST(Mgf1, MaskOfZeroBufferEqualsOpenSslMaskForEveryLengthUpTo300) {
  const Bytes seeds[] = {{0x61, 0x62, 0x63}, Bytes(20, 0x5A), Bytes(1, 0)};
  for (const Bytes& seed : seeds) {
    for (std::size_t len = 0; len <= 300; ++len) {
      ASSERT_EQ(masked(Bytes(len, 0), seed), openssl_mask(seed, len)) << "length " << len;
    }
  }
}

TEST(Mgf1, MaskIsXoredIntoTheBufferSoApplyingItTwiceRestoresIt) {
  std::mt19937 rng(7);
  for (const std::size_t len : {1u, 19u, 20u, 21u, 107u, 235u}) {
    Bytes buf(len), seed(20);
    for (auto& b : buf) b = static_cast<std::uint8_t>(rng());
    for (auto& b : seed) b = static_cast<std::uint8_t>(rng());
    const Bytes once = masked(buf, seed);
    const Bytes mask = openssl_mask(seed, len);
    for (std::size_t i = 0; i < len; ++i) ASSERT_EQ(once[i], buf[i] ^ mask[i]);
    EXPECT_EQ(masked(once, seed), buf);
  }
}

TEST(Mgf1, BlockBoundariesFollowTheCounter) {
  const Bytes seed{0x61, 0x62, 0x63};
  Bytes first = seed, second = seed;
  first.insert(first.end(), {0, 0, 0, 0});
  second.insert(second.end(), {0, 0, 0, 1});
  // Length 20: exactly SHA-1(seed || 00 00 00 00); length 21 adds one byte of the next block.
  EXPECT_EQ(masked(Bytes(20, 0), seed), qiv::test::sha1(first));
  Bytes expected = qiv::test::sha1(first);
  expected.push_back(qiv::test::sha1(second)[0]);
  EXPECT_EQ(masked(Bytes(21, 0), seed), expected);
}

TEST(Mgf1, LengthZeroChangesNothing) {
  Bytes canary(4, 0xA5);
  qiv_PKCS1_MGF1_Sha1(canary.data(), 0, canary.data(), 4);
  EXPECT_EQ(canary, Bytes(4, 0xA5));
}

}  // namespace
