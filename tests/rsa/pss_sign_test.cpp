// PSS signing: the encoding against the vector file, the layout of what the signers produce
// (recovered with OpenSSL's public-key operation), the draws, and CRT against the plain
// private-key operation.
#define OPENSSL_SUPPRESS_DEPRECATED  // PKCS1_MGF1 unmasks recovered encodings
#include <gtest/gtest.h>
#include <openssl/rsa.h>

#include <cstdint>
#include <random>

#include "bignum/bignum.h"
#include "crypto/crypto.h"
#include "random/random.h"
#include "rsa/pss_encode.h"
#include "rsa/rsa.h"
#include "tests/rsa/support.h"
#include "tests/support/fixed_noise.h"

namespace {

using qiv::test::Bytes;
using ref::Bn;
using ref::Digits;

struct BnCtx {
  BN_CTX* ctx = BN_CTX_new();
  ~BnCtx() { BN_CTX_free(ctx); }
};

// OpenSSL's x^y mod n over k-digit values.
Digits openssl_mod_exp(const Digits& x, const std::uint32_t* y, std::uint32_t ny,
                       const QIV_RSA_PRIVATE_KEY& key) {
  BnCtx c;
  Bn r(BN_new());
  BN_mod_exp(r.get(), ref::to_bn(x.data(), key.n_count).get(), ref::to_bn(y, ny).get(),
             ref::to_bn(key.n, key.n_count).get(), c.ctx);
  return ref::to_digits(r.get(), key.n_count);
}

// The encoded message inside a signature, and its DB unmasked.
struct Recovered {
  Bytes em, db;
};
Recovered recover(const QIV_RSA_PRIVATE_KEY& key, const Digits& sig) {
  const Digits m = openssl_mod_exp(sig, key.e, key.e_count, key);
  Recovered r{ref::to_octets(m.data(), key.n_count), {}};
  const std::size_t db_len = r.em.size() - 21;
  Bytes mask(db_len);
  PKCS1_MGF1(mask.data(), static_cast<long>(db_len), r.em.data() + db_len, 20, EVP_sha1());
  r.db.assign(r.em.begin(), r.em.begin() + static_cast<long>(db_len));
  for (std::size_t i = 0; i < db_len; ++i) r.db[i] ^= mask[i];
  r.db[0] &= 0x7F;
  return r;
}

Digits sign_crt(const QIV_RSA_PRIVATE_KEY& key, const Bytes& digest, std::uint32_t salt_len) {
  Digits sig(key.n_count);
  std::uint32_t digits = 0;
  EXPECT_EQ(QIV_RSA_PSS_SignCRT(&digits, sig.data(), &key, 20, digest.data(), salt_len), 0);
  EXPECT_EQ(digits, key.n_count);
  return sig;
}

Digits sign_plain(const QIV_RSA_PRIVATE_KEY& key, const Bytes& digest, std::uint32_t salt_len) {
  Digits sig(key.n_count);
  std::uint32_t digits = 0;
  EXPECT_EQ(
      QIV_RSA_PSS_Sign(&digits, sig.data(), key.n_count, key.n, key.d, 20, digest.data(), salt_len),
      0);
  EXPECT_EQ(digits, key.n_count);
  return sig;
}

std::int32_t verify(const QIV_RSA_PRIVATE_KEY& key, const Digits& sig, const Bytes& digest) {
  return QIV_RSA_PSS_Verify(key.n_count, key.n, sig.data(), key.e_count, key.e, 20, digest.data());
}

class PssSignVectors : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override { set_ = qiv::test::read_pss_vectors(GetParam()); }
  qiv::test::PssVectorSet set_;
};

TEST_P(PssSignVectors, EncodingWithTheVectorSaltIsTheVectorEncodingAndCrtSignsIt) {
  const std::uint32_t k = set_.key.n_count;
  for (const auto& ex : set_.examples) {
    const Digits sig = ref::from_octets(ex.signature);
    const Bytes expected_em = recover(set_.key, sig).em;

    Bytes em(4 * k, 0xEE);  // stale bytes the encoding must overwrite
    std::copy(ex.salt.begin(), ex.salt.end(), em.end() - 21 - 20);
    const Bytes mhash = qiv::test::sha1(ex.message);
    qiv_PSS_EncodeAroundSalt(em.data(), 4 * k, mhash.data(), 20, 20);
    ASSERT_EQ(em, expected_em);

    Digits crt(k);
    qiv_RSA_CrtDec(crt.data(), ref::from_octets(em).data(), &set_.key);
    EXPECT_EQ(crt, sig);
  }
}

TEST_P(PssSignVectors, SignaturesHaveTheLayoutAndDrawOnlyTheSalt) {
  const std::uint32_t k = set_.key.n_count;
  const std::size_t ps_len = 4 * k - 20 - 22;  // 86 for 1024 bits, 214 for 2048
  const Bytes digest = qiv::test::sha1({0x42});
  for (const bool crt : {true, false}) {
    qiv_test_reset_random();
    const Bytes expected_salt = qiv::test::next_generator_bytes();
    qiv_test_reset_random();
    const Digits sig = crt ? sign_crt(set_.key, digest, 20) : sign_plain(set_.key, digest, 20);
    const Bytes after = qiv::test::next_generator_bytes();
    EXPECT_EQ(after, qiv::test::generator_after(1, 20));

    const Recovered r = recover(set_.key, sig);
    EXPECT_EQ(r.em.back(), 0xBC);
    EXPECT_EQ(Bytes(r.db.begin(), r.db.begin() + static_cast<long>(ps_len)), Bytes(ps_len, 0));
    EXPECT_EQ(r.db[ps_len], 0x01);
    const Bytes salt(r.db.begin() + static_cast<long>(ps_len) + 1, r.db.end());
    EXPECT_EQ(salt, Bytes(expected_salt.begin(), expected_salt.begin() + 20));
    EXPECT_EQ(Bytes(r.em.end() - 21, r.em.end() - 1),
              qiv::test::sha1(qiv::test::m_prime(digest, salt)));
  }
}

TEST_P(PssSignVectors, SaltFillingDbLeavesNoPaddingAndStillVerifies) {
  const std::uint32_t salt_len = 4 * set_.key.n_count - 22;
  const Bytes digest = qiv::test::sha1({0x17});
  const Digits sig = sign_crt(set_.key, digest, salt_len);
  EXPECT_EQ(recover(set_.key, sig).db[0], 0x01);
  EXPECT_EQ(verify(set_.key, sig, digest), QIV_SUCCESS);
  const ref::Pkey pub = ref::to_pkey(set_.key, ref::KeyParts::kPublic);
  const Bytes be = ref::to_octets(sig.data(), set_.key.n_count);
  EXPECT_TRUE(ref::openssl_pss_verify(pub.get(), digest, be, static_cast<int>(salt_len)));
}

TEST_P(PssSignVectors, TwoSignaturesOfOneDigestDifferAndBothVerify) {
  const Bytes digest = qiv::test::sha1({0x99});
  for (const bool crt : {true, false}) {
    const Digits a = crt ? sign_crt(set_.key, digest, 20) : sign_plain(set_.key, digest, 20);
    const Digits b = crt ? sign_crt(set_.key, digest, 20) : sign_plain(set_.key, digest, 20);
    EXPECT_NE(a, b);
    EXPECT_EQ(verify(set_.key, a, digest), QIV_SUCCESS);
    EXPECT_EQ(verify(set_.key, b, digest), QIV_SUCCESS);
  }
}

INSTANTIATE_TEST_SUITE_P(Rsa1024And2048, PssSignVectors, ::testing::Values(1, 10));

// Garner's recombination against m^d mod n, both by our exponentiation (the plain signer's
// operation) and by OpenSSL. The edge values exercise both signs of m1 - m2 and the
// representatives that vanish modulo one prime.
TEST(CrtDec, EqualsThePlainOperationForRandomAndEdgeRepresentatives) {
  std::vector<QIV_RSA_PRIVATE_KEY> keys = {qiv::test::read_pss_vectors(1).key,
                                           qiv::test::read_pss_vectors(10).key};
  if (!ref::sanitized()) keys.push_back(ref::openssl_generated_key(2048, 3));
  std::mt19937 rng(2024);
  const int random_count = qiv::test::scaled(12, 2);
  for (const QIV_RSA_PRIVATE_KEY& key : keys) {
    const std::uint32_t k = key.n_count, h = k / 2;
    std::vector<Digits> inputs;
    Digits v(k, 0);
    inputs.push_back(v);                    // 0
    v[0] = 1, inputs.push_back(v);          // 1
    v.assign(key.n, key.n + k), v[0] -= 1;  // n - 1
    inputs.push_back(v);
    v.assign(k, 0), std::copy_n(key.p, h, v.begin());  // p: vanishes modulo p
    inputs.push_back(v);
    v.assign(k, 0), std::copy_n(key.q, h, v.begin());  // q: vanishes modulo q
    inputs.push_back(v);
    for (int i = 0; i < random_count; ++i) {
      for (auto& d : v) d = static_cast<std::uint32_t>(rng());
      v[k - 1] &= 0x7FFFFFFFu;  // below 2^(32k-1) <= n
      inputs.push_back(v);
    }
    for (const Digits& m : inputs) {
      Digits crt(k), plain(k);
      qiv_RSA_CrtDec(crt.data(), m.data(), &key);
      qiv_bn_Binary(plain.data(), m.data(), key.n, k, key.d, k);
      ASSERT_EQ(crt, plain);
      ASSERT_EQ(crt, openssl_mod_exp(m, key.d, key.d_count, key));
    }
  }
}

}  // namespace
