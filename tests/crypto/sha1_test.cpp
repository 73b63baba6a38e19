// SHA-1 against the NIST known-answer files, the FIPS 180 examples, OpenSSL for every padding
// position, and the streaming contract (any split, any alignment, null-pointer codes). The
// digest tests run on the portable code and on the SHA instructions alike.
#include <gtest/gtest.h>
#include <openssl/sha.h>

#include <cstring>
#include <random>
#include <string>

#include "crypto/crypto.h"
#include "tests/crypto/crypto_path.h"
#include "tests/crypto/vector_file.h"

namespace {

using qiv::test::Bytes;
using qiv::test::from_hex;
using qiv::test::to_hex;

class Sha1Vectors : public qiv::test::Sha1Path<> {};
class Sha1Padding : public qiv::test::Sha1Path<> {};
class Sha1Streaming : public qiv::test::Sha1Path<> {};
INSTANTIATE_TEST_SUITE_P(, Sha1Vectors, qiv::test::kBothPaths, qiv::test::path_param_name);
INSTANTIATE_TEST_SUITE_P(, Sha1Padding, qiv::test::kBothPaths, qiv::test::path_param_name);
INSTANTIATE_TEST_SUITE_P(, Sha1Streaming, qiv::test::kBothPaths, qiv::test::path_param_name);

Bytes sha1(const std::uint8_t* data, std::size_t n) {
  static constexpr std::uint8_t kNothing = 0;
  if (data == nullptr) data = &kNothing;  // an empty vector has no storage; null is refused
  QIV_SHA1_CTX ctx;
  Bytes digest(QIV_SHA1_DIGEST_LEN);
  EXPECT_EQ(QIV_SHA1_Init(&ctx), QIV_SUCCESS);
  EXPECT_EQ(QIV_SHA1_Update(&ctx, data, static_cast<std::uint32_t>(n)), QIV_SUCCESS);
  EXPECT_EQ(QIV_SHA1_Final(&ctx, digest.data()), QIV_SUCCESS);
  return digest;
}

Bytes sha1(const Bytes& m) { return sha1(m.data(), m.size()); }

Bytes sha1_in_pieces(const std::uint8_t* data, std::size_t n, std::size_t piece) {
  QIV_SHA1_CTX ctx;
  Bytes digest(QIV_SHA1_DIGEST_LEN);
  QIV_SHA1_Init(&ctx);
  for (std::size_t at = 0; at < n; at += piece) {
    const auto len = static_cast<std::uint32_t>(std::min(piece, n - at));
    EXPECT_EQ(QIV_SHA1_Update(&ctx, data + at, len), QIV_SUCCESS);
  }
  QIV_SHA1_Final(&ctx, digest.data());
  return digest;
}

Bytes openssl_sha1(const std::uint8_t* data, std::size_t n) {
  Bytes digest(SHA_DIGEST_LENGTH);
  SHA1(data, n, digest.data());
  return digest;
}

Bytes ascii(const std::string& s) { return Bytes(s.begin(), s.end()); }

Bytes message_of(const qiv::test::VectorRecord& r) {
  Bytes msg = r.hex("Msg");
  msg.resize(r.number("Len") / 8);  // a zero-length message is written as "Msg = 00"
  return msg;
}

void check_message_file(const char* name, std::size_t expected_count) {
  const auto records = qiv::test::read_vector_file(qiv::test::vector_path(name));
  std::size_t checked = 0;
  for (const auto& r : records) {
    if (!r.has("Msg")) continue;
    ASSERT_EQ(to_hex(sha1(message_of(r))), r.text("MD")) << name << " Len " << r.text("Len");
    ++checked;
  }
  EXPECT_EQ(checked, expected_count);
}

TEST_P(Sha1Vectors, EveryShortMessage) { check_message_file("hashes/SHA1/SHA1ShortMsg.rsp", 65); }

TEST_P(Sha1Vectors, EveryLongMessage) { check_message_file("hashes/SHA1/SHA1LongMsg.rsp", 64); }

// Each checkpoint is the digest after 1000 chained hashes of the three previous digests.
TEST_P(Sha1Vectors, MonteCarloChain) {
  const auto records =
      qiv::test::read_vector_file(qiv::test::vector_path("hashes/SHA1/SHA1Monte.rsp"));
  Bytes seed;
  std::size_t checked = 0;
  for (const auto& r : records) {
    if (r.has("Seed")) {
      seed = r.hex("Seed");
      continue;
    }
    Bytes md[3] = {seed, seed, seed};
    for (int i = 0; i < 1000; ++i) {
      Bytes m = md[0];
      m.insert(m.end(), md[1].begin(), md[1].end());
      m.insert(m.end(), md[2].begin(), md[2].end());
      md[0] = md[1];
      md[1] = md[2];
      md[2] = sha1(m);
    }
    seed = md[2];
    ASSERT_EQ(to_hex(seed), r.text("MD")) << "COUNT " << r.text("COUNT");
    ++checked;
  }
  EXPECT_EQ(checked, 100u);
}

TEST_P(Sha1Vectors, Fips180Examples) {
  EXPECT_EQ(to_hex(sha1(ascii(""))), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
  EXPECT_EQ(to_hex(sha1(ascii("abc"))), "a9993e364706816aba3e25717850c26c9cd0d89d");
  EXPECT_EQ(to_hex(sha1(ascii("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"))),
            "84983e441c3bd26ebaae4aa1f95129e5e54670f1");
  const Bytes million(1000000, 'a');
  EXPECT_EQ(to_hex(sha1(million)), "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
}

// 55 bytes leave room for the 0x80 and the length in one block; 56 push the length into a
// second block; 64 fill a block that the update compresses before padding starts. Every
// length around three block boundaries is checked against OpenSSL.
TEST_P(Sha1Padding, EveryLengthAroundBlockBoundariesMatchesOpenSsl) {
  Bytes msg(200);
  for (std::size_t i = 0; i < msg.size(); ++i) msg[i] = static_cast<std::uint8_t>(i * 7 + 3);
  for (std::size_t n = 0; n <= msg.size(); ++n) {
    ASSERT_EQ(sha1(msg.data(), n), openssl_sha1(msg.data(), n)) << "length " << n;
  }
}

TEST_P(Sha1Padding, UpdateCompressesOnlyFullBlocks) {
  const Bytes msg(64, 0x61);
  QIV_SHA1_CTX fresh, ctx;
  QIV_SHA1_Init(&fresh);
  QIV_SHA1_Init(&ctx);
  QIV_SHA1_Update(&ctx, msg.data(), 55);
  EXPECT_EQ(ctx.state, fresh.state);
  QIV_SHA1_Update(&ctx, msg.data(), 9);
  EXPECT_NE(ctx.state, fresh.state);
  EXPECT_EQ(ctx.count_low, 64u);
  EXPECT_EQ(ctx.count_high, 0u);
}

TEST_P(Sha1Streaming, PiecesOfAnySizeFromAnyAlignmentGiveTheOneCallDigest) {
  alignas(8) std::array<std::uint8_t, 1000 + 8> storage;
  std::mt19937 rng(1);
  for (auto& b : storage) b = static_cast<std::uint8_t>(rng());
  const Bytes want = openssl_sha1(storage.data(), 1000);
  for (std::size_t offset = 0; offset < 4; ++offset) {
    std::memmove(storage.data() + offset, storage.data(), 1000);  // same message, new address
    for (const std::size_t piece : {1u, 63u, 64u, 65u, 1000u}) {
      ASSERT_EQ(sha1_in_pieces(storage.data() + offset, 1000, piece), want)
          << "offset " << offset << " piece " << piece;
    }
    std::memmove(storage.data(), storage.data() + offset, 1000);
  }
}

TEST_P(Sha1Streaming, RandomSplitsMatchOneCall) {
  std::mt19937 rng(2);
  Bytes msg(700);
  for (auto& b : msg) b = static_cast<std::uint8_t>(rng());
  const Bytes want = sha1(msg);
  for (int round = 0; round < 50; ++round) {
    QIV_SHA1_CTX ctx;
    QIV_SHA1_Init(&ctx);
    for (std::size_t at = 0; at < msg.size();) {
      const std::size_t len = std::min<std::size_t>(rng() % 150, msg.size() - at);
      QIV_SHA1_Update(&ctx, msg.data() + at, static_cast<std::uint32_t>(len));
      at += len;
    }
    Bytes got(20);
    QIV_SHA1_Final(&ctx, got.data());
    ASSERT_EQ(got, want);
  }
}

TEST_P(Sha1Streaming, ByteCountCarriesIntoHighWord) {
  QIV_SHA1_CTX ctx;
  QIV_SHA1_Init(&ctx);
  ctx.count_low = 0xFFFFFFF0u;  // as if 2^32 - 16 bytes had gone by
  const std::array<std::uint8_t, 32> data{};
  QIV_SHA1_Update(&ctx, data.data(), 32);
  EXPECT_EQ(ctx.count_low, 16u);
  EXPECT_EQ(ctx.count_high, 1u);
}

TEST(Sha1Arguments, NullPointersAreRejectedWithoutTouchingTheContext) {
  QIV_SHA1_CTX ctx;
  QIV_SHA1_Init(&ctx);
  const std::uint8_t byte = 1;
  QIV_SHA1_Update(&ctx, &byte, 1);
  QIV_SHA1_CTX before;
  std::memcpy(&before, &ctx, sizeof ctx);
  std::uint8_t digest[20];

  EXPECT_EQ(QIV_SHA1_Init(nullptr), QIV_ERR_NULL_PTR);
  EXPECT_EQ(QIV_SHA1_Update(nullptr, &byte, 1), QIV_ERR_NULL_PTR);
  EXPECT_EQ(QIV_SHA1_Update(&ctx, nullptr, 1), QIV_ERR_NULL_PTR);
  EXPECT_EQ(QIV_SHA1_Update(&ctx, nullptr, 0), QIV_ERR_NULL_PTR);
  EXPECT_EQ(QIV_SHA1_Final(nullptr, digest), QIV_ERR_NULL_PTR);
  EXPECT_EQ(QIV_SHA1_Final(&ctx, nullptr), QIV_ERR_NULL_PTR);
  EXPECT_EQ(std::memcmp(&before, &ctx, sizeof ctx), 0);

  EXPECT_EQ(QIV_SHA1_Update(&ctx, &byte, 0), QIV_SUCCESS);
  EXPECT_EQ(std::memcmp(&before, &ctx, sizeof ctx), 0);
}

}  // namespace
