// HMAC-SHA1 against RFC 2202, OpenSSL for every key length around the block size, and the
// keyed-state contract: one SetInfo serves any number of messages.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <algorithm>
#include <cstring>
#include <random>

#include "crypto/crypto.h"
#include "tests/crypto/vector_file.h"

namespace {

using qiv::test::Bytes;
using qiv::test::to_hex;

Bytes hmac(const QIV_SHA1_HMAC_CTX& keyed, const Bytes& msg) {
  QIV_SHA1_HMAC_CTX ctx = keyed;
  Bytes tag(QIV_SHA1_DIGEST_LEN);
  EXPECT_EQ(QIV_SHA1_HMAC_Init(&ctx), QIV_SUCCESS);
  EXPECT_EQ(QIV_SHA1_HMAC_Update(&ctx, msg.data(), static_cast<std::uint32_t>(msg.size())),
            QIV_SUCCESS);
  EXPECT_EQ(QIV_SHA1_HMAC_Final(&ctx, tag.data()), QIV_SUCCESS);
  return tag;
}

QIV_SHA1_HMAC_CTX keyed_with(const Bytes& key) {
  QIV_SHA1_HMAC_CTX ctx{};
  EXPECT_EQ(QIV_SHA1_HMAC_SetInfo(&ctx, key.data(), static_cast<std::uint32_t>(key.size())),
            QIV_SUCCESS);
  return ctx;
}

Bytes hmac(const Bytes& key, const Bytes& msg) { return hmac(keyed_with(key), msg); }

Bytes openssl_hmac(const Bytes& key, const Bytes& msg) {
  Bytes tag(EVP_MAX_MD_SIZE);
  unsigned int len = 0;
  HMAC(EVP_sha1(), key.data(), static_cast<int>(key.size()), msg.data(), msg.size(), tag.data(),
       &len);
  tag.resize(len);
  return tag;
}

Bytes random_bytes(std::mt19937& rng, std::size_t n) {
  Bytes b(n);
  for (auto& x : b) x = static_cast<std::uint8_t>(rng());
  return b;
}

// Includes the two 80-byte keys that are hashed before use.
TEST(HmacSha1Vectors, EveryRfc2202Case) {
  const auto records =
      qiv::test::read_vector_file(qiv::test::vector_path("HMAC/rfc-2202-sha1.txt"));
  ASSERT_EQ(records.size(), 7u);
  for (const auto& r : records) {
    EXPECT_EQ(to_hex(hmac(r.hex("Key"), r.hex("Msg"))), r.text("MD")) << r.text("Key");
  }
}

// 64-byte keys are used as they are, 65 and more are hashed first; 16 and 20 are the sizes of
// the integrity keys in the record library.
TEST(HmacSha1Differential, EveryKeyLengthAroundTheBlockSizeMatchesOpenSsl) {
  std::mt19937 rng(3);
  for (std::size_t key_len = 0; key_len <= 140; ++key_len) {
    const Bytes key = random_bytes(rng, key_len);
    const Bytes msg = random_bytes(rng, rng() % 200);
    ASSERT_EQ(hmac(key, msg), openssl_hmac(key, msg)) << "key length " << key_len;
  }
}

TEST(HmacSha1Keyed, OneSetInfoServesSeveralMessages) {
  std::mt19937 rng(4);
  const Bytes key = random_bytes(rng, 20);
  QIV_SHA1_HMAC_CTX ctx{};
  QIV_SHA1_HMAC_SetInfo(&ctx, key.data(), 20);
  for (const std::size_t len : {0u, 1u, 64u, 100u, 64u, 3u}) {
    const Bytes msg = random_bytes(rng, len);
    Bytes tag(20);
    QIV_SHA1_HMAC_Init(&ctx);  // the same record, reused without a new SetInfo
    QIV_SHA1_HMAC_Update(&ctx, msg.data(), static_cast<std::uint32_t>(len));
    QIV_SHA1_HMAC_Final(&ctx, tag.data());
    ASSERT_EQ(tag, hmac(key, msg)) << len;  // fresh set-up for comparison
    ASSERT_EQ(tag, openssl_hmac(key, msg)) << len;
  }
}

TEST(HmacSha1Keyed, SplitUpdatesGiveTheOneCallTag) {
  std::mt19937 rng(5);
  const Bytes key = random_bytes(rng, 16);
  const Bytes msg = random_bytes(rng, 300);
  QIV_SHA1_HMAC_CTX ctx = keyed_with(key);
  QIV_SHA1_HMAC_Init(&ctx);
  for (std::size_t at = 0; at < msg.size(); at += 37) {
    const auto len = static_cast<std::uint32_t>(std::min<std::size_t>(37, msg.size() - at));
    QIV_SHA1_HMAC_Update(&ctx, msg.data() + at, len);
  }
  Bytes tag(20);
  QIV_SHA1_HMAC_Final(&ctx, tag.data());
  EXPECT_EQ(tag, openssl_hmac(key, msg));
}

TEST(HmacSha1Keyed, NullDataIsIgnoredAndStillReportsSuccess) {
  const Bytes key(20, 0x0b), msg = {'H', 'i', ' ', 'T', 'h', 'e', 'r', 'e'};
  QIV_SHA1_HMAC_CTX ctx = keyed_with(key);
  QIV_SHA1_HMAC_Init(&ctx);
  EXPECT_EQ(QIV_SHA1_HMAC_Update(&ctx, nullptr, 5), QIV_SUCCESS);
  QIV_SHA1_HMAC_Update(&ctx, msg.data(), static_cast<std::uint32_t>(msg.size()));
  Bytes tag(20);
  QIV_SHA1_HMAC_Final(&ctx, tag.data());
  EXPECT_EQ(to_hex(tag), "b617318655057264e28bc0b6fb378c8ef146be00");
}

// After SetInfo the record holds the two keyed states and the hash part is resumable at the
// outer state, as if one block had been absorbed.
TEST(HmacSha1Keyed, SetInfoLeavesHashAtOuterStateAndNoKeyBytesInTheRecord) {
  const Bytes key(70, 0xC3);
  QIV_SHA1_HMAC_CTX ctx{};
  QIV_SHA1_HMAC_SetInfo(&ctx, key.data(), 70);
  EXPECT_EQ(ctx.hash.state, ctx.outer_state);
  EXPECT_EQ(ctx.hash.count_low, 64u);
  EXPECT_EQ(ctx.hash.count_high, 0u);
  const Bytes short_key(16, 0xC3);
  QIV_SHA1_HMAC_SetInfo(&ctx, short_key.data(), 16);
  const auto* raw = reinterpret_cast<const std::uint8_t*>(&ctx);
  for (const int pattern : {0xC3, 0xC3 ^ 0x36, 0xC3 ^ 0x5C}) {
    const Bytes run(4, static_cast<std::uint8_t>(pattern));
    EXPECT_EQ(std::search(raw, raw + sizeof ctx, run.begin(), run.end()), raw + sizeof ctx);
  }
}

}  // namespace
