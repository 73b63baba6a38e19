// AES block cipher: FIPS 197 examples, OpenSSL as reference over random keys and blocks, and
// the key schedule's rejections. The block tests run on the portable code and on the AES
// instructions alike.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstring>
#include <random>

#include "crypto/crypto.h"
#include "tests/crypto/crypto_path.h"
#include "tests/crypto/vector_file.h"

namespace {

using qiv::test::Bytes;
using qiv::test::from_hex;
using qiv::test::to_hex;

class AesBlock : public qiv::test::AesPath<> {};
INSTANTIATE_TEST_SUITE_P(, AesBlock, qiv::test::kBothPaths, qiv::test::path_param_name);

Bytes openssl_ecb_encrypt(const Bytes& key, const Bytes& block) {
  const EVP_CIPHER* cipher = key.size() == 16   ? EVP_aes_128_ecb()
                             : key.size() == 24 ? EVP_aes_192_ecb()
                                                : EVP_aes_256_ecb();
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  Bytes out(32);
  int len = 0;
  EVP_EncryptInit_ex(ctx, cipher, nullptr, key.data(), nullptr);
  EVP_CIPHER_CTX_set_padding(ctx, 0);
  EVP_EncryptUpdate(ctx, out.data(), &len, block.data(), 16);
  EVP_CIPHER_CTX_free(ctx);
  out.resize(static_cast<std::size_t>(len));
  return out;
}

struct Fips197Example {
  const char* key;
  const char* ciphertext;
};

TEST_P(AesBlock, Fips197ExamplesEncryptAndDecryptBack) {
  const Bytes plain = from_hex("00112233445566778899aabbccddeeff");
  const Fips197Example examples[] = {
      {"000102030405060708090a0b0c0d0e0f", "69c4e0d86a7b0430d8cdb78070b4c55a"},
      {"000102030405060708090a0b0c0d0e0f1011121314151617", "dda97ca4864cdfe06eaf70a0ec0d7191"},
      {"000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f",
       "8ea2b7ca516745bfeafc49904b496089"},
  };
  for (const auto& ex : examples) {
    const Bytes key = from_hex(ex.key);
    QIV_AES_KEY enc, dec;
    ASSERT_EQ(_AES_KeySchedule(key.data(), static_cast<std::uint32_t>(key.size()), &enc, &dec),
              QIV_SUCCESS);
    EXPECT_EQ(enc.nk, key.size() / 4);
    EXPECT_EQ(dec.nk, key.size() / 4);
    Bytes block = plain;
    qiv_AES_Encrypt(&enc, block.data());
    EXPECT_EQ(to_hex(block), ex.ciphertext);
    qiv_AES_Decrypt(&dec, block.data());
    EXPECT_EQ(block, plain);
  }
}

// FIPS 197 appendix A.1: the last round key of the 128-bit example key schedule.
TEST(AesKeySchedule, LastRoundKeyOfFips197Expansion) {
  const Bytes key = from_hex("2b7e151628aed2a6abf7158809cf4f3c");
  QIV_AES_KEY enc;
  ASSERT_EQ(_AES_KeySchedule(key.data(), 16, &enc, nullptr), QIV_SUCCESS);
  EXPECT_EQ(enc.round_keys[0], 0x16157E2Bu);  // the key bytes, little-endian words
  EXPECT_EQ(enc.round_keys[40], 0xA8F914D0u);  // d014f9a8
  EXPECT_EQ(enc.round_keys[43], 0xA60C63B6u);  // b6630ca6
}

TEST_P(AesBlock, MatchesOpenSslOverRandomKeysAndBlocks) {
  std::mt19937 rng(6);
  for (const std::size_t key_len : {16u, 24u, 32u}) {
    for (int i = 0; i < 200; ++i) {
      Bytes key(key_len), block(16);
      for (auto& b : key) b = static_cast<std::uint8_t>(rng());
      for (auto& b : block) b = static_cast<std::uint8_t>(rng());
      QIV_AES_KEY enc, dec;
      _AES_KeySchedule(key.data(), static_cast<std::uint32_t>(key_len), &enc, &dec);
      Bytes ours = block;
      qiv_AES_Encrypt(&enc, ours.data());
      ASSERT_EQ(ours, openssl_ecb_encrypt(key, block)) << key_len;
      qiv_AES_Decrypt(&dec, ours.data());
      ASSERT_EQ(ours, block) << key_len;
    }
  }
}

TEST(AesKeySchedule, BadLengthsAndNullPointersLeaveBothRecordsUntouched) {
  const Bytes key(64, 0x5A);
  QIV_AES_KEY enc, dec;
  std::memset(&enc, 0xEE, sizeof enc);
  std::memset(&dec, 0xDD, sizeof dec);
  QIV_AES_KEY enc_before = enc, dec_before = dec;
  for (const std::uint32_t n : {15u, 17u, 0u, 64u, 20u, 33u}) {
    EXPECT_EQ(_AES_KeySchedule(key.data(), n, &enc, &dec), QIV_ERR_KEY_LENGTH) << n;
  }
  EXPECT_EQ(_AES_KeySchedule(nullptr, 16, &enc, &dec), QIV_ERR_NULL_PTR);
  EXPECT_EQ(_AES_KeySchedule(key.data(), 16, nullptr, &dec), QIV_ERR_NULL_PTR);
  EXPECT_EQ(_AES_KeySchedule(nullptr, 15, &enc, &dec), QIV_ERR_NULL_PTR);  // null checked first
  EXPECT_EQ(std::memcmp(&enc, &enc_before, sizeof enc), 0);
  EXPECT_EQ(std::memcmp(&dec, &dec_before, sizeof dec), 0);
}

TEST(AesKeySchedule, NullDecryptionRecordFillsOnlyTheEncryptionRecord) {
  const Bytes key(32, 0x11);
  QIV_AES_KEY with_dec, dec, alone;
  ASSERT_EQ(_AES_KeySchedule(key.data(), 32, &with_dec, &dec), QIV_SUCCESS);
  ASSERT_EQ(_AES_KeySchedule(key.data(), 32, &alone, nullptr), QIV_SUCCESS);
  EXPECT_EQ(alone.nk, 8u);
  for (std::size_t i = 0; i < 60; ++i) ASSERT_EQ(alone.round_keys[i], with_dec.round_keys[i]);
}

}  // namespace
