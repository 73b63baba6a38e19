// PSS verification: the PKCS #1 v2.1 vectors, single-bit faults, crafted encodings signed with
// OpenSSL's raw private-key operation, and moduli from hostile files.
#define OPENSSL_SUPPRESS_DEPRECATED  // PKCS1_MGF1 masks the crafted encodings
#include <gtest/gtest.h>
#include <openssl/rsa.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "crypto/crypto.h"
#include "rsa/rsa.h"
#include "tests/rsa/support.h"

namespace {

using qiv::test::Bytes;
using ref::Digits;

std::int32_t verify(const QIV_RSA_PRIVATE_KEY& key, const Digits& sig, const Bytes& mhash) {
  return QIV_RSA_PSS_Verify(key.n_count, key.n, sig.data(), key.e_count, key.e,
                            static_cast<std::uint32_t>(mhash.size()), mhash.data());
}

class PssVectors : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override { set_ = qiv::test::read_pss_vectors(GetParam()); }
  qiv::test::PssVectorSet set_;
};

TEST_P(PssVectors, EverySignatureOfTheSetVerifies) {
  for (const auto& ex : set_.examples) {
    EXPECT_EQ(verify(set_.key, ref::from_octets(ex.signature), qiv::test::sha1(ex.message)),
              QIV_SUCCESS);
  }
}

TEST_P(PssVectors, AnySingleBitFlipInSignatureModulusOrHashFails) {
  const auto& ex = set_.examples[0];
  const Digits sig = ref::from_octets(ex.signature);
  const Bytes mhash = qiv::test::sha1(ex.message);
  const std::uint32_t bits = 32 * set_.key.n_count;
  const auto stride = static_cast<std::uint32_t>(qiv::test::scaled(1, 7));  // all bits, or a sample
  for (std::uint32_t bit = 0; bit < bits; bit += stride) {
    Digits bad = sig;
    bad[bit / 32] ^= 1u << (bit % 32);
    ASSERT_EQ(verify(set_.key, bad, mhash), QIV_ERR_FAIL) << "signature bit " << bit;
    QIV_RSA_PRIVATE_KEY key = set_.key;
    key.n[bit / 32] ^= 1u << (bit % 32);
    ASSERT_EQ(verify(key, sig, mhash), QIV_ERR_FAIL) << "modulus bit " << bit;
  }
  for (std::uint32_t bit = 0; bit < 160; ++bit) {
    Bytes bad = mhash;
    bad[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
    ASSERT_EQ(verify(set_.key, sig, bad), QIV_ERR_FAIL) << "hash bit " << bit;
  }
}

TEST_P(PssVectors, NothingPassedInIsModified) {
  const auto& ex = set_.examples[1];
  const Digits sig = ref::from_octets(ex.signature);
  const Bytes mhash = qiv::test::sha1(ex.message);
  const QIV_RSA_PRIVATE_KEY key = set_.key;
  Digits bad = sig;
  bad[3] ^= 1;
  Bytes hash_copy = mhash;
  EXPECT_EQ(verify(key, sig, hash_copy), QIV_SUCCESS);
  EXPECT_EQ(verify(key, bad, hash_copy), QIV_ERR_FAIL);
  EXPECT_EQ(hash_copy, mhash);
  EXPECT_EQ(bad[3], sig[3] ^ 1);
  EXPECT_EQ(0, std::memcmp(&key, &set_.key, sizeof key));
}

INSTANTIATE_TEST_SUITE_P(Rsa1024And2048, PssVectors, ::testing::Values(1, 10));

// Encodings built by hand on the 1024-bit vector key and turned into signatures with
// OpenSSL's BIGNUM: the verifier sees exactly the EM each case describes.
class CraftedEncoding : public ::testing::Test {
 protected:
  static constexpr std::size_t kEmLen = 128, kDbLen = kEmLen - 21;

  void SetUp() override { key_ = qiv::test::read_pss_vectors(1).key; }

  static Bytes mask_of(const Bytes& h) {
    Bytes mask(kDbLen);
    PKCS1_MGF1(mask.data(), static_cast<long>(kDbLen), h.data(), 20, EVP_sha1());
    return mask;
  }
  // EM = maskedDB || H || trailer for the unmasked DB and H given, first bit cleared as a
  // signer clears it (so EM is below the modulus).
  static Bytes encode(Bytes db, const Bytes& h, std::uint8_t trailer) {
    const Bytes mask = mask_of(h);
    for (std::size_t i = 0; i < kDbLen; ++i) db[i] ^= mask[i];
    db[0] &= 0x7F;
    db.insert(db.end(), h.begin(), h.end());
    db.push_back(trailer);
    return db;
  }
  static Bytes h_of(const Bytes& mhash, const Bytes& salt) {
    return qiv::test::sha1(qiv::test::m_prime(mhash, salt));
  }
  Digits raw_sign(const Bytes& em) const {
    BN_CTX* ctx = BN_CTX_new();
    const Digits m = ref::from_octets(em);
    ref::Bn s(BN_new());
    BN_mod_exp(s.get(), ref::to_bn(m.data(), 32).get(), ref::to_bn(key_.d, 32).get(),
               ref::to_bn(key_.n, 32).get(), ctx);
    BN_CTX_free(ctx);
    return ref::to_digits(s.get(), 32);
  }
  std::int32_t verify_em(const Bytes& em, const Bytes& mhash) const {
    return verify(key_, raw_sign(em), mhash);
  }
  static Bytes db_with(std::size_t marker_at, std::uint8_t marker, const Bytes& salt) {
    // PS zeros, the marker, the salt, zeros up to the DB length.
    Bytes db(marker_at, 0);
    db.push_back(marker);
    db.insert(db.end(), salt.begin(), salt.end());
    db.resize(kDbLen, 0);
    return db;
  }

  QIV_RSA_PRIVATE_KEY key_{};
  const Bytes mhash_ = qiv::test::sha1({1, 2, 3});
  const Bytes salt_ = Bytes(20, 0x33);
};

TEST_F(CraftedEncoding, WellFormedEncodingVerifiesAndTrailerOtherThanBCFails) {
  const Bytes h = h_of(mhash_, salt_);
  const Bytes db = db_with(kDbLen - 21, 0x01, salt_);
  EXPECT_EQ(verify_em(encode(db, h, 0xBC), mhash_), QIV_SUCCESS);
  EXPECT_EQ(verify_em(encode(db, h, 0xBD), mhash_), QIV_ERR_FAIL);
  EXPECT_EQ(verify_em(encode(db, h, 0x00), mhash_), QIV_ERR_FAIL);
}

TEST_F(CraftedEncoding, MarkerOtherThan01AndAllZeroDbFail) {
  const Bytes h = h_of(mhash_, salt_);
  EXPECT_EQ(verify_em(encode(db_with(kDbLen - 21, 0x02, salt_), h, 0xBC), mhash_), QIV_ERR_FAIL);
  EXPECT_EQ(verify_em(encode(Bytes(kDbLen, 0), h_of(mhash_, {}), 0xBC), mhash_), QIV_ERR_FAIL);
}

// Every byte the verifier compares decides on its own: one changed byte of H (the mask follows
// the changed H, so only the final comparison sees it), of the trailer, of the marker, or of
// the PS byte before the marker is refused.
TEST_F(CraftedEncoding, EachComparedByteAloneRefusesTheSignature) {
  const Bytes h = h_of(mhash_, salt_);
  constexpr std::size_t kMarkerAt = kDbLen - 21;
  const Bytes db = db_with(kMarkerAt, 0x01, salt_);
  for (std::size_t i = 0; i < h.size(); ++i) {
    Bytes changed = h;
    changed[i] ^= 0x01;
    EXPECT_EQ(verify_em(encode(db, changed, 0xBC), mhash_), QIV_ERR_FAIL) << "H byte " << i;
  }
  const std::uint8_t trailers[] = {0x3C, 0xBD, 0xBE, 0xFC, 0x01};
  for (const std::uint8_t trailer : trailers) {
    EXPECT_EQ(verify_em(encode(db, h, trailer), mhash_), QIV_ERR_FAIL) << "trailer " << +trailer;
  }
  const std::uint8_t markers[] = {0x00, 0x03, 0x81};
  for (const std::uint8_t marker : markers) {
    EXPECT_EQ(verify_em(encode(db_with(kMarkerAt, marker, salt_), h, 0xBC), mhash_), QIV_ERR_FAIL)
        << "marker " << +marker;
  }
  const std::uint8_t ps_bytes[] = {0x01, 0x02};
  for (const std::uint8_t ps : ps_bytes) {
    Bytes bad_ps = db;
    bad_ps[kMarkerAt - 1] = ps;
    EXPECT_EQ(verify_em(encode(bad_ps, h, 0xBC), mhash_), QIV_ERR_FAIL) << "PS byte " << +ps;
  }
}

TEST_F(CraftedEncoding, EmptySaltAndAnySaltLengthVerify) {
  EXPECT_EQ(verify_em(encode(db_with(kDbLen - 1, 0x01, {}), h_of(mhash_, {}), 0xBC), mhash_),
            QIV_SUCCESS);
  for (const std::size_t salt_len :
       {std::size_t{1}, std::size_t{32}, std::size_t{64}, kDbLen - 1}) {
    const Bytes salt(salt_len, 0x5C);
    const Bytes db = db_with(kDbLen - 1 - salt_len, 0x01, salt);
    EXPECT_EQ(verify_em(encode(db, h_of(mhash_, salt), 0xBC), mhash_), QIV_SUCCESS)
        << "salt length " << salt_len;
  }
}

TEST_F(CraftedEncoding, TopBitOfFirstDbByteAfterUnmaskingIsIgnored) {
  // The signer cleared the first bit of the masked EM, so the unmasked DB[0] carries the
  // mask's first bit: pick a salt whose mask sets it.
  for (std::uint8_t tweak = 0; tweak < 64; ++tweak) {
    Bytes salt = salt_;
    salt[0] = tweak;
    const Bytes h = h_of(mhash_, salt);
    if (mask_of(h)[0] < 0x80) continue;
    EXPECT_EQ(verify_em(encode(db_with(kDbLen - 21, 0x01, salt), h, 0xBC), mhash_), QIV_SUCCESS);
    return;
  }
  FAIL() << "no salt gave a mask with its first bit set";
}

TEST_F(CraftedEncoding, SignaturePlusModulusVerifiesAsTheSignature) {
  // s + n still fits 32 digits when s < 2^1024 - n; the exponentiation reduces it.
  const ref::Pkey pkey = ref::to_pkey(key_, ref::KeyParts::kPrivateCrt);
  for (int attempt = 0; attempt < 64; ++attempt) {
    Digits sig = ref::from_octets(ref::openssl_pss_sign(pkey.get(), mhash_, 20));
    Digits sum(32);
    std::uint64_t carry = 0;
    for (std::size_t i = 0; i < 32; ++i) {
      carry += std::uint64_t{sig[i]} + key_.n[i];
      sum[i] = static_cast<std::uint32_t>(carry);
      carry >>= 32;
    }
    if (carry != 0) continue;
    EXPECT_EQ(verify(key_, sum, mhash_), QIV_SUCCESS);
    return;
  }
  FAIL() << "no signature small enough";
}

// With e = 1 the encoding is its own "signature" (s^1 = s): whoever sets the exponent of a key
// file to 1 signs anything without a private key. An even e has no private exponent at all.
TEST_F(CraftedEncoding, ExponentEvenOrBelowThreeIsRefusedEvenForItsOwnForgery) {
  const Digits forged =
      ref::from_octets(encode(db_with(kDbLen - 21, 0x01, salt_), h_of(mhash_, salt_), 0xBC));
  struct Row {
    Digits e;
    bool ok;
  };
  const Row rows[] = {{{}, false},     {{1}, false},     {{2}, false},         {{3}, true},
                      {{4}, false},    {{65536}, false}, {{65537}, true},      {{1, 0}, false},
                      {{0, 1}, false}, {{1, 1}, true},   {{0xFFFFFFFFu}, true}};
  for (const Row& r : rows) {
    const auto digits = static_cast<std::uint32_t>(r.e.size());
    const std::uint32_t* e = r.e.empty() ? nullptr : r.e.data();
    EXPECT_EQ(QIV_RSA_PublicExponentOk(digits, e), r.ok) << r.e.size() << " digits";
    if (r.ok) continue;
    const Digits e_or_one = r.e.empty() ? Digits{1} : r.e;
    EXPECT_EQ(
        QIV_RSA_PSS_Verify(32, key_.n, forged.data(), digits, e_or_one.data(), 20, mhash_.data()),
        QIV_ERR_FAIL)
        << "e[0] = " << e_or_one[0];
  }
}

TEST(PssVerifyGuard, HostileModulusOrSizeFailsBeforeAnyArithmetic) {
  const QIV_RSA_PRIVATE_KEY good = qiv::test::read_pss_vectors(1).key;
  const Digits big(66, 0xFFFFFFFFu);
  const Digits zero(66, 0);
  const Bytes mhash(20, 1);
  const std::uint32_t e = 65537;
  // A zero modulus would divide by zero in the reduction; a clear top bit breaks its
  // precondition; sizes outside 6..64 digits overflow the buffers or leave DB empty.
  EXPECT_EQ(QIV_RSA_PSS_Verify(32, zero.data(), big.data(), 1, &e, 20, mhash.data()), QIV_ERR_FAIL);
  Digits low_top(good.n, good.n + 32);
  low_top[31] &= 0x7FFFFFFFu;
  EXPECT_EQ(QIV_RSA_PSS_Verify(32, low_top.data(), big.data(), 1, &e, 20, mhash.data()),
            QIV_ERR_FAIL);
  for (const std::uint32_t k : {0u, 1u, 5u, 65u, 66u, 1000u}) {
    EXPECT_EQ(QIV_RSA_PSS_Verify(k, big.data(), big.data(), 1, &e, 20, mhash.data()), QIV_ERR_FAIL)
        << "k = " << k;
  }
  EXPECT_EQ(QIV_RSA_PSS_Verify(32, nullptr, big.data(), 1, &e, 20, mhash.data()), QIV_ERR_FAIL);
  EXPECT_EQ(QIV_RSA_PSS_Verify(32, good.n, big.data(), 1, &e, 20, nullptr), QIV_ERR_FAIL);

  // At k = 5, DB would be 20 - 21 bytes long. A signature whose EM ends in the trailer passes
  // that check, so only the size bound keeps it from the DB arithmetic.
  BN_CTX* ctx = BN_CTX_new();
  const ref::Bn n5 = ref::to_bn(big.data(), 5), bn_e = ref::to_bn(&e, 1);
  ref::Bn em(BN_new());
  Digits s(5, 0);
  for (s[0] = 2; s[0] < 100000; ++s[0]) {
    BN_mod_exp(em.get(), ref::to_bn(s.data(), 5).get(), bn_e.get(), n5.get(), ctx);
    if (BN_mod_word(em.get(), 256) == 0xBC) break;
  }
  BN_CTX_free(ctx);
  ASSERT_LT(s[0], 100000u);
  EXPECT_EQ(QIV_RSA_PSS_Verify(5, big.data(), s.data(), 1, &e, 20, mhash.data()), QIV_ERR_FAIL);
}

TEST(PssVerifyGuard, SmallestAcceptedSizeSignsAndVerifies) {
  // k = 6 (192 bits): DB of 3 bytes holds the marker and a salt of at most 2 bytes.
  const QIV_RSA_PRIVATE_KEY key = ref::record_from_primes(
      ref::to_bn(ref::digits_from_hex("FFFFFFFFFFFFFFFFFFFFFFEF").data(), 3).get(),
      ref::to_bn(ref::digits_from_hex("FFFFFFFFFFFFFFFFFFFFFFA9").data(), 3).get(), 65537);
  ASSERT_EQ(key.n_count, 6u);
  const Bytes mhash = qiv::test::sha1({9});
  for (const std::uint32_t salt_len : {0u, 2u}) {
    Digits sig(6);
    std::uint32_t digits = 0;
    ASSERT_EQ(QIV_RSA_PSS_SignCRT(&digits, sig.data(), &key, 20, mhash.data(), salt_len), 0);
    EXPECT_EQ(verify(key, sig, mhash), QIV_SUCCESS);
    sig[0] ^= 1;
    EXPECT_EQ(verify(key, sig, mhash), QIV_ERR_FAIL);
  }
}

}  // namespace
