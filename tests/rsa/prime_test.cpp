// The probable-prime test: verdicts on known primes and hard composites, and the number of
// Miller-Rabin rounds seen from the generator (each round draws one n-digit base).
#include <gtest/gtest.h>
#include <openssl/bn.h>

#include <cstdint>
#include <string>

#include "crypto/crypto.h"
#include "rsa/rsa.h"
#include "tests/rsa/support.h"
#include "tests/support/fixed_noise.h"

namespace {

using ref::Digits;

// Resets the generator, runs the test, and reports the verdict with the number of n-digit
// draws it made (-1 when the generator moved by anything else).
struct Outcome {
  std::int32_t verdict;
  int rounds;
};
Outcome run(const Digits& candidate, std::uint32_t n) {
  qiv_test_reset_random();
  const Digits before = candidate;
  const std::int32_t verdict = QIV_MillerRabin(candidate.data(), n);
  EXPECT_EQ(candidate, before) << "the candidate is not modified";
  const auto after = qiv::test::next_generator_bytes();
  for (int rounds = 0; rounds <= 40; ++rounds) {
    if (after == qiv::test::generator_after(static_cast<std::uint32_t>(rounds), 4 * n)) {
      return {verdict, rounds};
    }
  }
  return {verdict, -1};
}
Outcome run(const Digits& candidate) {
  return run(candidate, static_cast<std::uint32_t>(candidate.size()));
}

TEST(MillerRabin, KnownPrimesPassAfterTheTableRoundsPlusOne) {
  struct Case {
    const char* hex;
    int rounds;
  };
  const Case cases[] = {
      {"FFFFFFFFFFFFFFFFFFFFFFEF", 36},  // 2^96 - 17: 3 digits, row 100, t = 35
      {"FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF"
       "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFDC7",
       9},  // 2^512 - 569, which is 3 mod 4 (s = 1): row 600, t = 8
  };
  for (const Case& c : cases) {
    const Outcome o = run(ref::digits_from_hex(c.hex));
    EXPECT_EQ(o.verdict, QIV_SUCCESS) << c.hex;
    EXPECT_EQ(o.rounds, c.rounds) << c.hex;
  }
  Digits p1024(32, 0xFFFFFFFFu);  // 2^1024 - 105: row 1250, t = 5
  p1024[0] = 0xFFFFFFFFu - 104;
  const Outcome o = run(p1024);
  EXPECT_EQ(o.verdict, QIV_SUCCESS);
  EXPECT_EQ(o.rounds, 6);
}

TEST(MillerRabin, RandomPrimesFromOpenSslPass) {
  for (const int bits : {256, 512, 1024}) {
    for (int i = 0; i < qiv::test::scaled(4, 1); ++i) {
      ref::Bn p(BN_new());
      ASSERT_EQ(BN_generate_prime_ex(p.get(), bits, 0, nullptr, nullptr, nullptr), 1);
      const auto n = static_cast<std::uint32_t>(bits / 32);
      EXPECT_EQ(QIV_MillerRabin(ref::to_digits(p.get(), n).data(), n), QIV_SUCCESS);
    }
  }
}

TEST(MillerRabin, CarmichaelNumbersAndStrongPseudoprimesAreRejected) {
  const char* composites[] = {
      "84C1C6ECD4137F81",  // Carmichael (6k+1)(12k+1)(18k+1), k = 194705; spsp to 3, 5, 7, 23
      "8000011E43531603E12C67E65DBA7D29",  // Carmichael, k = 508239211515; spsp to 3, 5, 17, 19
      "800013E980C63EFD",                  // p(2p-1), spsp to 2 and 13
      "8000176181115511",                  // p(2p-1), spsp to 2 and 7
      "8000000040298000080A635D",          // p(2p-1), spsp to 2 and 5
      "900000000000009000000000000023E7",  // two primes, 3 mod 4 (s = 1)
      "FFFFFFFFFFFFFF8A0000000000000D99",  // (2^64 - 59)^2
  };
  for (const char* hex : composites) {
    EXPECT_EQ(run(ref::digits_from_hex(hex)).verdict, QIV_ERR_FAIL) << hex;
  }
  for (int i = 0; i < qiv::test::scaled(8, 2); ++i) {  // products of two 256-bit primes
    ref::Bn p(BN_new()), q(BN_new()), n(BN_new());
    BN_CTX* ctx = BN_CTX_new();
    BN_generate_prime_ex(p.get(), 256, 0, nullptr, nullptr, nullptr);
    BN_generate_prime_ex(q.get(), 256, 0, nullptr, nullptr, nullptr);
    BN_mul(n.get(), p.get(), q.get(), ctx);
    BN_CTX_free(ctx);
    EXPECT_EQ(QIV_MillerRabin(ref::to_digits(n.get(), 16).data(), 16), QIV_ERR_FAIL);
  }
}

TEST(MillerRabin, SieveAndShapeRejectionsDrawNothing) {
  const Digits by3 = ref::digits_from_hex("80000000000000000000000000000001");
  const Digits by541 = ref::digits_from_hex("8000000000000000000000000000936F");
  const Digits even = ref::digits_from_hex("80000000000000000000000000000002");
  const Digits low_top = ref::digits_from_hex("7FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF");
  for (const Digits* c : {&by3, &by541, &even, &low_top}) {
    const Outcome o = run(*c);
    EXPECT_EQ(o.verdict, QIV_ERR_FAIL);
    EXPECT_EQ(o.rounds, 0);
  }
  const Digits prime32 = {0xFFFFFFFBu};  // prime, but one digit is below the arithmetic's minimum
  EXPECT_EQ(run(prime32).verdict, QIV_ERR_FAIL);
  EXPECT_EQ(run(by3, 0).verdict, QIV_ERR_FAIL);
  EXPECT_EQ(run(by3, 0).rounds, 0);
}

TEST(MillerRabin, CandidateWhoseOnlySmallFactorIs101ReachesTheRounds) {
  const Outcome o = run(ref::digits_from_hex("80000000000000000000000000001FCD"));
  EXPECT_EQ(o.verdict, QIV_ERR_FAIL);
  EXPECT_GE(o.rounds, 1);
}

}  // namespace
