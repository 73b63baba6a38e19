// The SHA-1 generator on the fixed noise, against a model written from the generator's
// description with OpenSSL's SHA-1 as the hash.
#include <gtest/gtest.h>
#include <openssl/sha.h>

#include <cstdint>
#include <cstdlib>
#include <random>
#include <vector>

#include "crypto/crypto.h"
#include "random/prng_state.h"
#include "random/random.h"
#include "tests/support/fixed_noise.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
namespace st = qiv::prng;

// The generator as described, independent of its code: S and P of 40 bytes, a refill counter
// starting at 32 and a pool index starting at 40.
struct Model {
  std::array<std::uint8_t, 40> s{}, p{};
  std::uint32_t count = 32, index = 40, noise_calls = 0;

  static void sha1(const std::uint8_t* a, const std::uint8_t* b, std::uint8_t* out) {
    std::uint8_t joined[80];
    std::copy_n(a, 40, joined);
    if (b != nullptr) std::copy_n(b, 40, joined + 40);
    std::uint8_t digest[20];
    SHA1(joined, b != nullptr ? 80 : 40, digest);
    std::copy_n(digest, 20, out);
  }
  void reseed() {
    qiv_test_noise_pattern(noise_calls++, s.data(), 40);
    sha1(s.data(), nullptr, s.data());
    sha1(s.data(), nullptr, s.data() + 20);
    count = 0;
  }
  void refill() {
    sha1(s.data(), p.data(), p.data());
    sha1(s.data(), p.data(), p.data() + 20);
    sha1(s.data(), p.data(), s.data() + (count % 2 == 0 ? 0 : 20));
    ++count;
  }
  Bytes rand(std::uint32_t n) {
    if (count >= 32) reseed();
    Bytes out;
    while (out.size() < n) {
      if (index == 40) refill(), index = 0;
      out.push_back(p[index++]);
    }
    if (n == 0 && index == 40) refill(), index = 0;
    return out;
  }
  void add_seed(const Bytes& seed) {
    for (std::size_t i = 0; i < seed.size(); ++i) s[i % 40] ^= seed[i];
    reseed();
  }
};

// Requests n bytes into a real buffer (an empty vector's data() may be null even for n = 0).
Bytes rand_bytes(std::uint32_t n) {
  Bytes out(n + 1);
  EXPECT_EQ(QIV_SHA1_PRNG_Rand(n, out.data()), QIV_SUCCESS);
  out.pop_back();
  return out;
}

void expect_state_matches(const Model& m) {
  EXPECT_EQ(st::sabSecretState, m.s);
  EXPECT_EQ(st::sabRandPool, m.p);
  EXPECT_EQ(st::suCount, m.count);
  EXPECT_EQ(st::uIndexRandPool, m.index);
  EXPECT_EQ(qiv_test_noise_calls(), m.noise_calls);
}

class Prng : public ::testing::Test {
 protected:
  void SetUp() override { qiv_test_reset_random(); }
};

TEST_F(Prng, MatchesModelOverRandomRequestsSeedsAndReseeds) {
  const int ops = std::getenv("QIV_SANITIZED") != nullptr ? 400 : 3000;
  std::mt19937 rng(20240607);
  Model m;
  for (int op = 0; op < ops; ++op) {
    const auto kind = rng() % 16;
    if (kind == 0) {
      Bytes seed(rng() % 100);
      for (auto& b : seed) b = static_cast<std::uint8_t>(rng());
      ASSERT_EQ(QIV_SHA1_PRNG_AddSeed(seed.data(), static_cast<std::uint32_t>(seed.size())), 0);
      m.add_seed(seed);
    } else {
      // Mostly short requests around the pool size, sometimes long ones that pass a reseed.
      const auto n = static_cast<std::uint32_t>(kind == 1 ? rng() % 3000 : rng() % 90);
      ASSERT_EQ(rand_bytes(n), m.rand(n)) << "op " << op;
    }
    expect_state_matches(m);
  }
  EXPECT_GT(m.noise_calls, 10u);
}

TEST_F(Prng, ResetReplaysOneStreamForOneLongAndManyShortRequests) {
  const Bytes whole = rand_bytes(1000);  // 25 refills: no reseed after the first request's
  for (const std::uint32_t step : {1u, 7u, 40u, 41u}) {
    qiv_test_reset_random();
    Bytes pieces;
    while (pieces.size() < whole.size()) {
      const auto n = static_cast<std::uint32_t>(std::min<std::size_t>(step, 1000 - pieces.size()));
      const Bytes part = rand_bytes(n);
      pieces.insert(pieces.end(), part.begin(), part.end());
    }
    EXPECT_EQ(pieces, whole) << "step " << step;
    EXPECT_EQ(qiv_test_noise_calls(), 1u);
  }
}

TEST_F(Prng, ReseedsAtTheStartOfThe33rdRefillsRequestOnly) {
  for (int i = 0; i < 32; ++i) rand_bytes(40);  // one refill each, pool used up each time
  EXPECT_EQ(qiv_test_noise_calls(), 1u);
  EXPECT_EQ(st::suCount, 32u);
  rand_bytes(1);
  EXPECT_EQ(qiv_test_noise_calls(), 2u);
  EXPECT_EQ(st::suCount, 1u);

  // One long request never reseeds inside itself; the next request does.
  qiv_test_reset_random();
  rand_bytes(50 * 40);
  EXPECT_EQ(st::suCount, 50u);
  EXPECT_EQ(qiv_test_noise_calls(), 1u);
  rand_bytes(0);
  EXPECT_EQ(qiv_test_noise_calls(), 2u);
}

TEST_F(Prng, FirstRequestGathersNoiseOnceBeforeItsFirstRefill) {
  EXPECT_EQ(qiv_test_noise_calls(), 0u);
  Model m;
  EXPECT_EQ(rand_bytes(1), m.rand(1));
  EXPECT_EQ(qiv_test_noise_calls(), 1u);
  expect_state_matches(m);

  // A seed added first gathers the noise then; the first request does not gather again.
  qiv_test_reset_random();
  ASSERT_EQ(QIV_SHA1_PRNG_AddSeed("x", 1), 0);
  rand_bytes(5);
  EXPECT_EQ(qiv_test_noise_calls(), 1u);
}

TEST_F(Prng, PoolIndexAndRefillsFollowTheRequestLengths) {
  struct Case {
    std::vector<std::uint32_t> before;  // requests made first (the first one reseeds)
    std::uint32_t n;                    // the request under test
    std::uint32_t refills, index;       // refills it makes, index it leaves
  };
  const Case cases[] = {
      {{0}, 40, 0, 40},    // full pool, none served: all 40 taken, no refill
      {{0, 40}, 1, 1, 1},  // ...and the next request refills first
      {{39}, 41, 1, 40},   // 1 old byte, refill, 40 new bytes
      {{40}, 100, 3, 20},  // used-up pool: 40 + 40 + 20
      {{40}, 0, 1, 0},     // length 0 on a used-up pool still refills once
      {{10}, 0, 0, 10},    // length 0 with bytes left changes nothing
  };
  for (const Case& c : cases) {
    qiv_test_reset_random();
    for (const std::uint32_t n : c.before) rand_bytes(n);
    const std::uint32_t count = st::suCount;
    rand_bytes(c.n);
    EXPECT_EQ(st::suCount - count, c.refills) << "n " << c.n;
    EXPECT_EQ(st::uIndexRandPool, c.index) << "n " << c.n;
  }
}

TEST_F(Prng, NullPointersAreRejectedWithoutChangingState) {
  rand_bytes(13);
  const auto s = st::sabSecretState;
  const auto p = st::sabRandPool;
  for (const std::uint32_t n : {0u, 1u, 100u})
    EXPECT_EQ(QIV_SHA1_PRNG_Rand(n, nullptr), QIV_ERR_NULL_PTR);
  EXPECT_EQ(QIV_SHA1_PRNG_AddSeed(nullptr, 1), QIV_ERR_NULL_PTR);
  EXPECT_EQ(st::sabSecretState, s);
  EXPECT_EQ(st::sabRandPool, p);
  EXPECT_EQ(st::suCount, 1u);
  EXPECT_EQ(st::uIndexRandPool, 13u);
  EXPECT_EQ(qiv_test_noise_calls(), 1u);

  // A fresh process rejects them too, without the first request's noise gathering.
  qiv_test_reset_random();
  EXPECT_EQ(QIV_SHA1_PRNG_Rand(8, nullptr), QIV_ERR_NULL_PTR);
  EXPECT_EQ(st::suCount, st::kInitialCount);
  EXPECT_EQ(qiv_test_noise_calls(), 0u);

  // An empty seed needs no pointer: it only reseeds.
  EXPECT_EQ(QIV_SHA1_PRNG_AddSeed(nullptr, 0), QIV_SUCCESS);
  EXPECT_EQ(qiv_test_noise_calls(), 1u);
  EXPECT_EQ(st::suCount, 0u);
}

TEST_F(Prng, SeedsLongerThanTheStateWrapAround) {
  Bytes seed50(50);
  for (std::size_t i = 0; i < seed50.size(); ++i) seed50[i] = static_cast<std::uint8_t>(3 * i + 1);
  Bytes folded(seed50.begin(), seed50.begin() + 40);
  for (std::size_t i = 40; i < 50; ++i) folded[i - 40] ^= seed50[i];

  ASSERT_EQ(QIV_SHA1_PRNG_AddSeed(seed50.data(), 50), 0);
  const auto with_wrap = st::sabSecretState;
  qiv_test_reset_random();
  ASSERT_EQ(QIV_SHA1_PRNG_AddSeed(folded.data(), 40), 0);
  EXPECT_EQ(st::sabSecretState, with_wrap);
  qiv_test_reset_random();
  ASSERT_EQ(QIV_SHA1_PRNG_AddSeed(seed50.data(), 40), 0);
  EXPECT_NE(st::sabSecretState, with_wrap);
}

TEST_F(Prng, AddSeedKeepsUnservedPoolBytesFirstInLine) {
  rand_bytes(10);
  const Bytes old_pool(st::sabRandPool.begin() + 10, st::sabRandPool.end());
  ASSERT_EQ(QIV_SHA1_PRNG_AddSeed("seed", 4), 0);
  EXPECT_EQ(rand_bytes(30), old_pool);
  EXPECT_EQ(st::uIndexRandPool, 40u);
}

}  // namespace
