// Key generation checked with OpenSSL's BIGNUM: primes, sizes, the exponents and CRT values,
// reproducibility on the fixed noise, and requests that must be refused untouched.
#include <gtest/gtest.h>
#include <openssl/bn.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <ostream>
#include <vector>

#include "crypto/crypto.h"
#include "crypto/endian.h"
#include "random/prng_state.h"
#include "random/random.h"
#include "rsa/rsa.h"
#include "tests/rsa/support.h"
#include "tests/support/fixed_noise.h"
#include "tests/support/stack_residue.h"

namespace {

using qiv::test::Bytes;
using ref::Bn;

struct KeyShape {
  std::uint32_t bits;
  std::uint32_t e;  // 0: random exponent
  int keys;
  int keys_sanitized;
};
void PrintTo(const KeyShape& s, std::ostream* os) {
  *os << "RSA-" << s.bits << ", e = " << s.e;
}

QIV_RSA_PRIVATE_KEY generate(std::uint32_t bits, std::uint32_t e) {
  QIV_RSA_PRIVATE_KEY key{};
  key.e[0] = e;
  key.e_count = e == 0 ? 0 : 1;
  EXPECT_EQ(QIV_RSA_KeyGen(&key, bits), QIV_SUCCESS);
  return key;
}

// Every property a key of this shape must have, each computed independently by OpenSSL.
void expect_consistent(const QIV_RSA_PRIVATE_KEY& key, std::uint32_t bits, std::uint32_t e) {
  const std::uint32_t k = bits / 32, h = k / 2;
  EXPECT_EQ(key.n_count, k);
  EXPECT_EQ(key.d_count, k);
  EXPECT_EQ(key.e_count, e == 0 ? k : 1u);
  for (const std::uint32_t count :
       {key.p_count, key.q_count, key.dP_count, key.dQ_count, key.qInv_count}) {
    EXPECT_EQ(count, h);
  }
  EXPECT_GE(key.p[h - 1], key.q[h - 1]) << "p's top digit below q's";
  EXPECT_NE(key.q[h - 1] & 0x80000000u, 0u);

  BN_CTX* ctx = BN_CTX_new();
  const Bn n = ref::to_bn(key.n, k), p = ref::to_bn(key.p, h), q = ref::to_bn(key.q, h),
           d = ref::to_bn(key.d, k), bn_e = ref::to_bn(key.e, key.e_count);
  EXPECT_EQ(BN_check_prime(p.get(), ctx, nullptr), 1);
  EXPECT_EQ(BN_check_prime(q.get(), ctx, nullptr), 1);
  EXPECT_GT(BN_cmp(p.get(), q.get()), 0);

  Bn t(BN_new()), u(BN_new()), p1(BN_dup(p.get())), q1(BN_dup(q.get())), phi(BN_new());
  BN_mul(t.get(), p.get(), q.get(), ctx);
  EXPECT_EQ(BN_cmp(t.get(), n.get()), 0) << "n = p q";
  EXPECT_EQ(BN_num_bits(n.get()), static_cast<int>(bits));
  if (e != 0) {
    EXPECT_NE(BN_mod_word(p.get(), e), 1u);
    EXPECT_NE(BN_mod_word(q.get(), e), 1u);
  }
  BN_sub_word(p1.get(), 1);
  BN_sub_word(q1.get(), 1);
  BN_mul(phi.get(), p1.get(), q1.get(), ctx);
  BN_mod_mul(t.get(), bn_e.get(), d.get(), phi.get(), ctx);
  EXPECT_TRUE(BN_is_one(t.get())) << "e d = 1 mod (p-1)(q-1)";
  EXPECT_LT(BN_cmp(d.get(), phi.get()), 0);
  BN_mod(t.get(), d.get(), p1.get(), ctx);
  EXPECT_EQ(BN_cmp(t.get(), ref::to_bn(key.dP, h).get()), 0) << "dP";
  BN_mod(t.get(), d.get(), q1.get(), ctx);
  EXPECT_EQ(BN_cmp(t.get(), ref::to_bn(key.dQ, h).get()), 0) << "dQ";
  BN_mod_mul(u.get(), q.get(), ref::to_bn(key.qInv, h).get(), p.get(), ctx);
  EXPECT_TRUE(BN_is_one(u.get())) << "q qInv = 1 mod p";
  EXPECT_LT(BN_cmp(ref::to_bn(key.qInv, h).get(), p.get()), 0);
  BN_CTX_free(ctx);
}

class KeyGen : public ::testing::TestWithParam<KeyShape> {};

TEST_P(KeyGen, KeysAreConsistentAndSignForOpenSsl) {
  const KeyShape shape = GetParam();
  for (int i = 0; i < qiv::test::scaled(shape.keys, shape.keys_sanitized); ++i) {
    SCOPED_TRACE("key " + std::to_string(i));
    const QIV_RSA_PRIVATE_KEY key = generate(shape.bits, shape.e);
    expect_consistent(key, shape.bits, shape.e);
    if (shape.bits < 512) continue;  // below OpenSSL's smallest RSA key
    const Bytes digest = qiv::test::sha1({static_cast<std::uint8_t>(i)});
    std::uint32_t sig[64], digits = 0;
    QIV_RSA_PSS_SignCRT(&digits, sig, &key, 20, digest.data(), 20);
    EXPECT_TRUE(ref::openssl_pss_verify(ref::to_pkey(key, ref::KeyParts::kPublic).get(), digest,
                                        ref::to_octets(sig, digits), 20));
  }
}

INSTANTIATE_TEST_SUITE_P(Shapes, KeyGen,
                         ::testing::Values(KeyShape{1024, 65537, 10, 2}, KeyShape{2048, 3, 10, 1},
                                           KeyShape{128, 3, 4, 2}, KeyShape{192, 65537, 4, 2},
                                           KeyShape{512, 0, 3, 1}),
                         [](const auto& shape) {
                           return "Rsa" + std::to_string(shape.param.bits) + "E" +
                                  std::to_string(shape.param.e);
                         });

// Both primes may draw the same top digit; then only their lower digits order them, and the
// generator must still hand out p > q. The two top-digit draws are planted as the last eight
// bytes of the generator's pool; everything after them comes from the fixed noise, so about
// half of these keys draw q above p before the ordering step.
TEST(KeyGenDraws, PrimesWithTheSameTopDigitAreStillOrderedPAboveQ) {
  namespace prng = qiv::prng;
  for (std::uint32_t i = 0; i < 12; ++i) {
    qiv_test_reset_random();
    std::uint8_t first = 0;
    ASSERT_EQ(QIV_SHA1_PRNG_Rand(1, &first), QIV_SUCCESS);  // reseeds and fills the pool
    const std::uint32_t top = 0xFFFFFF00u | i;
    qiv::store_le32(prng::sabRandPool.data() + prng::kPoolUsedUp - 8, top);
    qiv::store_le32(prng::sabRandPool.data() + prng::kPoolUsedUp - 4, top);
    prng::uIndexRandPool = prng::kPoolUsedUp - 8;
    const QIV_RSA_PRIVATE_KEY key = generate(128, 3);
    ASSERT_EQ(key.p[1], top);
    ASSERT_EQ(key.q[1], top);
    expect_consistent(key, 128, 3);
  }
}

TEST(KeyGenDraws, FixedNoiseGivesTheSameKeyTwice) {
  qiv_test_reset_random();
  const QIV_RSA_PRIVATE_KEY first = generate(1024, 65537);
  qiv_test_reset_random();
  const QIV_RSA_PRIVATE_KEY second = generate(1024, 65537);
  const QIV_RSA_PRIVATE_KEY third = generate(1024, 65537);
  EXPECT_EQ(0, std::memcmp(&first, &second, sizeof first));
  EXPECT_NE(0, std::memcmp(&second, &third, sizeof first));
}

// The primes exist only in the key record the caller owns: the candidates, p - 1, q - 1 and
// every intermediate the generator kept in its frames are wiped before it returns. The same v2.1
// key is made twice on the fixed noise; the second run must leave no top digits of p or q behind
// (full-size primes: a wipe that stops half way leaves exactly those digits).
TEST(KeyGenDraws, PrimesLeaveNoTraceOnTheStack) {
  if (!stack_residue::can_see()) GTEST_SKIP() << "locals are not on the probed stack";
  auto key = std::make_unique<QIV_RSA_PRIVATE_KEY>();
  key->e[0] = 3;
  key->e_count = 1;
  qiv_test_reset_random();
  ASSERT_EQ(QIV_RSA_KeyGen(key.get(), 2048), QIV_SUCCESS);
  const auto top = [&](const std::uint32_t* prime) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(prime + key->p_count - 4);
    return std::vector<std::uint8_t>(bytes, bytes + 16);
  };
  const auto p = top(key->p);
  const auto q = top(key->q);
  *key = QIV_RSA_PRIVATE_KEY{};
  key->e[0] = 3;
  key->e_count = 1;
  stack_residue::clear();
  qiv_test_reset_random();
  const std::int32_t rc = QIV_RSA_KeyGen(key.get(), 2048);
  // Probed at once: an assertion's own calls would overwrite the region first.
  const bool pLeft = stack_residue::holds(p);
  const bool qLeft = stack_residue::holds(q);
  ASSERT_EQ(rc, QIV_SUCCESS);
  EXPECT_FALSE(pLeft);
  EXPECT_FALSE(qLeft);
}

TEST(KeyGenRefusal, BadSizesAndUnusableExponentsLeaveRecordAndGeneratorUntouched) {
  struct Case {
    std::uint32_t bits, e0, e_count;
  };
  const Case cases[] = {
      {1000, 3, 1},                 // not a multiple of 32
      {96, 3, 1},                   // a multiple of 32 but not of 64: n would lack its top digit
      {0, 3, 1},     {64, 3, 1},    // primes of one digit or less
      {2112, 3, 1},  {4096, 3, 1},  // beyond the 64-digit inverse and signature buffers
      {1024, 4, 1},                 // even e
      {1024, 1, 1},                 // e = 1
      {1024, 0, 1},                 // e = 0
      {1024, 3, 33},                // e wider than the modulus
  };
  for (const Case& c : cases) {
    QIV_RSA_PRIVATE_KEY key;
    std::memset(&key, 0xA5, sizeof key);
    key.e[0] = c.e0;
    for (std::uint32_t i = 1; i < 66; ++i) key.e[i] = 0;
    key.e_count = c.e_count;
    QIV_RSA_PRIVATE_KEY before;
    std::memcpy(&before, &key, sizeof key);
    qiv_test_reset_random();
    EXPECT_EQ(QIV_RSA_KeyGen(&key, c.bits), QIV_ERR_BAD_PARAM) << c.bits << " e " << c.e0;
    EXPECT_EQ(0, std::memcmp(&key, &before, sizeof key)) << c.bits << " e " << c.e0;
    const Bytes after = qiv::test::next_generator_bytes();
    EXPECT_EQ(after, qiv::test::generator_after(0, 0));
  }
  EXPECT_EQ(QIV_RSA_KeyGen(nullptr, 1024), QIV_ERR_BAD_PARAM);
}

TEST(KeyGenRefusal, PresetExponentAbovePhiFailsAndLeavesTheRecordUntouched) {
  QIV_RSA_PRIVATE_KEY key{};
  std::memset(key.e, 0xFF, 8 * sizeof key.e[0]);  // 2^256 - 1 > (p-1)(q-1) for any 256-bit n
  key.e_count = 8;
  QIV_RSA_PRIVATE_KEY before;
  std::memcpy(&before, &key, sizeof key);
  EXPECT_EQ(QIV_RSA_KeyGen(&key, 256), QIV_ERR_FAIL);
  EXPECT_EQ(0, std::memcmp(&key, &before, sizeof key));
}

}  // namespace
