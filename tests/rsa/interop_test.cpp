// Interoperability with OpenSSL's RSASSA-PSS (SHA-1, MGF1-SHA-1) in both directions, on keys
// OpenSSL generated: the system's two key shapes, 1024 bits with e = 65537 and 2048 with e = 3.
#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <random>

#include "crypto/crypto.h"
#include "rsa/rsa.h"
#include "tests/rsa/support.h"

namespace {

using qiv::test::Bytes;
using ref::Digits;

struct KeyShape {
  int bits;
  std::uint32_t e;
  int pairs;  // per direction; the plain signer does a third of them
  int pairs_sanitized;
};
void PrintTo(const KeyShape& s, std::ostream* os) {
  *os << "RSA-" << s.bits << ", e = " << s.e;
}

class Interop : public ::testing::TestWithParam<KeyShape> {
 protected:
  void SetUp() override {
    key_ = ref::openssl_generated_key(GetParam().bits, GetParam().e);
    pub_ = ref::to_pkey(key_, ref::KeyParts::kPublic);
    priv_ = ref::to_pkey(key_, ref::KeyParts::kPrivateCrt);
    pairs_ = qiv::test::scaled(GetParam().pairs, GetParam().pairs_sanitized);
  }
  Bytes random_digest() {
    Bytes d(20);
    for (auto& b : d) b = static_cast<std::uint8_t>(rng_());
    return d;
  }

  QIV_RSA_PRIVATE_KEY key_{};
  ref::Pkey pub_, priv_;
  int pairs_ = 0;
  std::mt19937 rng_{static_cast<std::mt19937::result_type>(GetParam().bits)};
};

TEST_P(Interop, OurCrtSignaturesVerifyWithOpenSsl) {
  const std::uint32_t k = key_.n_count;
  for (int i = 0; i < pairs_; ++i) {
    const Bytes digest = random_digest();
    Digits sig(k);
    std::uint32_t digits = 0;
    ASSERT_EQ(QIV_RSA_PSS_SignCRT(&digits, sig.data(), &key_, 20, digest.data(), 20), 0);
    ASSERT_TRUE(ref::openssl_pss_verify(pub_.get(), digest, ref::to_octets(sig.data(), k), 20))
        << "pair " << i;
  }
}

TEST_P(Interop, OurPlainSignaturesVerifyWithOpenSsl) {
  // The plain operation costs a full-length exponent: a third of the pairs keeps it quick.
  const std::uint32_t k = key_.n_count;
  for (int i = 0; i < (pairs_ + 2) / 3; ++i) {
    const Bytes digest = random_digest();
    Digits sig(k);
    std::uint32_t digits = 0;
    ASSERT_EQ(QIV_RSA_PSS_Sign(&digits, sig.data(), k, key_.n, key_.d, 20, digest.data(), 20), 0);
    ASSERT_TRUE(ref::openssl_pss_verify(pub_.get(), digest, ref::to_octets(sig.data(), k), 20))
        << "pair " << i;
  }
}

TEST_P(Interop, OpenSslSignaturesWithSaltLengths0And20And32VerifyWithOurs) {
  for (int i = 0; i < pairs_; ++i) {
    const Bytes digest = random_digest();
    for (const int salt_len : {0, 20, 32}) {
      const Digits sig = ref::from_octets(ref::openssl_pss_sign(priv_.get(), digest, salt_len));
      ASSERT_EQ(QIV_RSA_PSS_Verify(key_.n_count, key_.n, sig.data(), 1, key_.e, 20, digest.data()),
                QIV_SUCCESS)
          << "salt " << salt_len << ", pair " << i;
      Bytes other = digest;
      other[static_cast<std::size_t>(i) % 20] ^= 0x01;
      ASSERT_EQ(QIV_RSA_PSS_Verify(key_.n_count, key_.n, sig.data(), 1, key_.e, 20, other.data()),
                QIV_ERR_FAIL);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(SystemKeyShapes, Interop,
                         ::testing::Values(KeyShape{1024, 65537, 300, 15},
                                           KeyShape{2048, 3, 300, 6}),
                         [](const auto& shape) {
                           return "Rsa" + std::to_string(shape.param.bits);
                         });

}  // namespace
