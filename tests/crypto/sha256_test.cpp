// SHA-256 against the NIST known-answer files and OpenSSL, on the portable code and on the SHA
// instructions alike; the instructions against the portable code from any chaining value; and
// the context contract (64-bit length, null pointers, the wipe in Final).
#define OPENSSL_SUPPRESS_DEPRECATED  // the low-level context: the only one whose count can be set
#include <gtest/gtest.h>
#include <openssl/sha.h>

#include <algorithm>
#include <cstring>
#include <random>

#include "crypto/crypto.h"
#include "tests/crypto/crypto_path.h"
#include "tests/crypto/vector_file.h"

namespace {

using namespace qiv::test;

// The SHA extensions carry both hashes: one feature check picks the path of SHA-1 and SHA-256.
class Sha256OnPath : public OnPath<&qiv::crypto_detail::cpu_has_sha1_instructions,
                                   &qiv::crypto_detail::use_sha1_instructions> {};
INSTANTIATE_TEST_SUITE_P(, Sha256OnPath, kBothPaths, path_param_name);

Bytes sha256(const std::uint8_t* data, std::size_t n) {
  Bytes digest(QIV_SHA256_DIGEST_LEN);
  EXPECT_EQ(QIV_SHA256(data, n, digest.data()), QIV_SUCCESS);
  return digest;
}

// The digest of data[0, n) fed as updates ending at each cut, then the rest.
Bytes sha256_cut(const std::uint8_t* data, std::size_t n, std::initializer_list<std::size_t> cuts) {
  QIV_SHA256_CTX ctx;
  QIV_SHA256_Init(&ctx);
  std::size_t at = 0;
  for (const std::size_t cut : cuts) {
    EXPECT_EQ(QIV_SHA256_Update(&ctx, data + at, static_cast<std::uint32_t>(cut - at)),
              QIV_SUCCESS);
    at = cut;
  }
  QIV_SHA256_Update(&ctx, data + at, static_cast<std::uint32_t>(n - at));
  Bytes digest(QIV_SHA256_DIGEST_LEN);
  EXPECT_EQ(QIV_SHA256_Final(&ctx, digest.data()), QIV_SUCCESS);
  return digest;
}

Bytes openssl_sha256(const std::uint8_t* data, std::size_t n) {
  Bytes digest(SHA256_DIGEST_LENGTH);
  SHA256(data, n, digest.data());
  return digest;
}

Bytes random_bytes(std::mt19937& rng, std::size_t n) {
  Bytes b(n);
  for (auto& x : b) x = static_cast<std::uint8_t>(rng());
  return b;
}

TEST_P(Sha256OnPath, EveryNistShortAndLongMessage) {
  for (const auto& [name, count] : {std::pair{"hashes/SHA2/SHA256ShortMsg.rsp", 65u},
                                    std::pair{"hashes/SHA2/SHA256LongMsg.rsp", 64u}}) {
    unsigned checked = 0;
    for (const auto& r : read_vector_file(vector_path(name))) {
      if (!r.has("Msg")) continue;
      const Bytes msg = r.hex("Msg");  // a zero-length message is written as "Msg = 00"
      ASSERT_EQ(to_hex(sha256(msg.data(), r.number("Len") / 8)), r.text("MD"))
          << name << " Len " << r.text("Len");
      ++checked;
    }
    EXPECT_EQ(checked, count) << name;
  }
}

// Each checkpoint is the digest after 1000 chained hashes of the three previous digests.
TEST_P(Sha256OnPath, NistMonteCarloChain) {
  Bytes seed;
  unsigned checked = 0;
  for (const auto& r : read_vector_file(vector_path("hashes/SHA2/SHA256Monte.rsp"))) {
    if (r.has("Seed")) {
      seed = r.hex("Seed");
      continue;
    }
    Bytes md[3] = {seed, seed, seed};
    for (int i = 0; i < 1000; ++i) {
      Bytes m;
      for (const Bytes& d : md) m.insert(m.end(), d.begin(), d.end());
      std::rotate(md, md + 1, md + 3);
      md[2] = sha256(m.data(), m.size());
    }
    seed = md[2];
    ASSERT_EQ(to_hex(seed), r.text("MD")) << "COUNT " << r.text("COUNT");
    ++checked;
  }
  EXPECT_EQ(checked, 100u);
}

// Every length up to three blocks and a bit, from an odd address, in one to three updates cut
// at random points (a block filled across updates, whole caller blocks hashed where they lie);
// and long runs, which the instruction path takes in one call.
TEST_P(Sha256OnPath, RandomLengthsAndSplitsMatchOpenSsl) {
  std::mt19937 rng(256);
  for (std::size_t n = 0; n <= 3 * 64 + 8; ++n) {
    const Bytes storage = random_bytes(rng, n + 1);
    const std::uint8_t* msg = storage.data() + 1;
    const Bytes want = openssl_sha256(msg, n);
    const std::size_t a = rng() % (n + 1), b = a + rng() % (n - a + 1);
    ASSERT_EQ(sha256(msg, n), want) << n;
    ASSERT_EQ(sha256_cut(msg, n, {a, b}), want) << n << " cuts " << a << ", " << b;
  }
  for (const std::size_t n : {4096u + 17u, 100000u}) {
    const Bytes storage = random_bytes(rng, n + 1);
    ASSERT_EQ(sha256_cut(storage.data() + 1, n, {63}), openssl_sha256(storage.data() + 1, n)) << n;
  }
}

// The portable code is the reference for the instructions, from random chaining values.
TEST(Sha256Paths, InstructionsGiveThePortableStateFromAnyChainingValue) {
  if (!qiv::crypto_detail::cpu_has_sha1_instructions()) GTEST_SKIP() << "no SHA instructions";
  std::mt19937 rng(257);
  for (std::size_t blocks = 1; blocks <= 9; ++blocks) {
    QIV_SHA256_CTX on[2];  // on the instructions, on the portable code
    QIV_SHA256_Init(&on[0]);
    for (auto& word : on[0].state) word = static_cast<std::uint32_t>(rng());
    on[1] = on[0];
    const Bytes msg = random_bytes(rng, 64 * blocks);
    for (const int portable : {0, 1}) {
      qiv::crypto_detail::force_portable(portable == 1);
      QIV_SHA256_Update(&on[portable], msg.data(), static_cast<std::uint32_t>(msg.size()));
    }
    qiv::crypto_detail::force_portable(false);
    ASSERT_EQ(on[0].state, on[1].state) << blocks << " blocks";
  }
}

// The bit count is 64 bits: the byte counter carries into the high word, whose bits and the
// low word's top three land in the length field's first half. OpenSSL's context is given the
// same count, a whole number of blocks (nothing buffered).
TEST(Sha256Contract, LengthBeyondFourGigabytesIsCountedInSixtyFourBits) {
  std::mt19937 rng(258);
  const Bytes tail = random_bytes(rng, 100);
  for (const auto& [low, high] : {std::pair{0xFFFFFFC0u, 0x05u}, std::pair{0xE0000040u, 0u}}) {
    QIV_SHA256_CTX ctx;
    QIV_SHA256_Init(&ctx);
    ctx.count_low = low;
    ctx.count_high = high;
    SHA256_CTX ref;
    SHA256_Init(&ref);
    ref.Nl = low << 3;
    ref.Nh = high << 3 | low >> 29;

    QIV_SHA256_Update(&ctx, tail.data(), static_cast<std::uint32_t>(tail.size()));
    const std::uint64_t count = (std::uint64_t{high} << 32 | low) + tail.size();
    EXPECT_EQ(ctx.count_low, static_cast<std::uint32_t>(count));
    EXPECT_EQ(ctx.count_high, count >> 32);
    SHA256_Update(&ref, tail.data(), tail.size());
    Bytes got(32), want(32);
    QIV_SHA256_Final(&ctx, got.data());
    SHA256_Final(want.data(), &ref);
    EXPECT_EQ(got, want) << std::hex << low;
  }
}

TEST(Sha256Contract, NullPointersAreRefusedAndFinalWipesTheContext) {
  const std::uint8_t byte = 1;
  std::uint8_t digest[32];
  QIV_SHA256_CTX ctx, before;
  QIV_SHA256_Init(&ctx);
  QIV_SHA256_Update(&ctx, &byte, 1);
  std::memcpy(&before, &ctx, sizeof ctx);

  EXPECT_EQ(QIV_SHA256_Init(nullptr), QIV_ERR_NULL_PTR);
  EXPECT_EQ(QIV_SHA256_Update(nullptr, &byte, 1), QIV_ERR_NULL_PTR);
  EXPECT_EQ(QIV_SHA256_Update(&ctx, nullptr, 0), QIV_ERR_NULL_PTR);
  EXPECT_EQ(QIV_SHA256_Final(nullptr, digest), QIV_ERR_NULL_PTR);
  EXPECT_EQ(QIV_SHA256_Final(&ctx, nullptr), QIV_ERR_NULL_PTR);
  EXPECT_EQ(QIV_SHA256(nullptr, 1, digest), QIV_ERR_NULL_PTR);
  EXPECT_EQ(QIV_SHA256(&byte, 1, nullptr), QIV_ERR_NULL_PTR);
  EXPECT_EQ(std::memcmp(&before, &ctx, sizeof ctx), 0);

  EXPECT_EQ(QIV_SHA256_Final(&ctx, digest), QIV_SUCCESS);
  EXPECT_EQ(to_hex(digest), to_hex(openssl_sha256(&byte, 1)));
  const QIV_SHA256_CTX zero{};
  EXPECT_EQ(std::memcmp(&zero, &ctx, sizeof ctx), 0);

  // An empty buffer may have no storage.
  EXPECT_EQ(QIV_SHA256(nullptr, 0, digest), QIV_SUCCESS);
  EXPECT_EQ(to_hex(digest), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
}

}  // namespace
