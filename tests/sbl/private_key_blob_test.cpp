// The signing wrappers' blob bounds: every malformed blob is rejected with QIV_SBL_SIGN_FAILED
// before anything is copied, and nothing is written to the signature or its length.
#include "sbl/private_key_blob.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>

#include "rsa/rsa.h"
#include "sbl/sbl.h"
#include "tests/sbl/guarded.h"
#include "tests/sbl/test_keys.h"
#include "tests/support/reference.h"

namespace {

const Bytes kDigest(20, 0x5A);
constexpr std::uint32_t kUntouchedLength = 0xDEADBEEF;

// Signs with the blob into a guarded 256-byte destination; returns the result and checks the
// destination is untouched when signing fails.
std::int32_t sign_expecting_untouched(std::int32_t form, const Bytes& blob, std::uint32_t blobLen) {
  Guarded sig(256, 0x33);
  std::uint32_t sigLen = kUntouchedLength;
  // The blob lives in an allocation of exactly blobLen bytes, so a read past it is caught by
  // the sanitizer build.
  const Bytes exact(blob.begin(),
                    blob.begin() + std::min<std::ptrdiff_t>(blobLen, std::ssize(blob)));
  const std::int32_t rc = Generate_PSS_RSASignature(form, exact.data(), blobLen, kDigest.data(), 20,
                                                    sig.data(), &sigLen);
  EXPECT_TRUE(sig.guards_intact());
  if (rc != 0) {
    EXPECT_EQ(sig.contents(), Bytes(256, 0x33));
    EXPECT_EQ(sigLen, kUntouchedLength);
  }
  return rc;
}

struct BlobCase {
  std::string name;
  std::int32_t form;
  std::function<Bytes()> blob;
};

Digits with_top_bit_cleared(Digits d) {
  d.back() &= 0x7FFFFFFFu;
  return d;
}

// CRT blob of key2048 with component i replaced.
Bytes crt_with(std::size_t index, BlobComponent replacement) {
  const TestKey& k = key2048();
  std::vector<BlobComponent> c{component(k.n),  component({k.exponent}), component(k.d),
                               component(k.p),  component(k.q),          component(k.dP),
                               component(k.dQ), component(k.qInv)};
  c.at(index) = std::move(replacement);
  return make_blob(c);
}

std::vector<BlobCase> malformed_blobs() {
  const auto crt = QIV_SBL_FORM_CRT;
  const auto plain = QIV_SBL_FORM_PLAIN;
  return {
      {"ModulusLongerThanItsField", crt,
       [] {
         return crt_with(0, {67 * 4, Bytes(67 * 4, 0xFF)});
       }},
      {"PrimeLongerThanItsField", crt,
       [] {
         return crt_with(3, {35 * 4, Bytes(35 * 4, 0xFF)});
       }},
      {"QInvLongerThanItsField", crt,
       [] {
         return crt_with(7, {35 * 4, Bytes(35 * 4, 0x01)});
       }},
      {"LengthNotWholeDigits", crt,
       [] {
         return crt_with(2, {255, Bytes(255, 0x11)});
       }},
      {"HugeLengthField", crt,
       [] {
         return crt_with(1, {0xFFFFFFFCu, Bytes(4, 3)});
       }},
      {"ModulusOf65Digits", crt,
       [] {
         Digits n(65, 0xFFFFFFFFu);
         return crt_with(0, component(n));
       }},
      {"ModulusOf10Digits", plain,
       [] {
         const TestKey& k = test_key(320, 65537);
         return make_blob({component(k.n), component(k.d)});
       }},
      {"ZeroModulus", plain,
       [] {
         const TestKey& k = key1024();
         return make_blob({component(Digits(32, 0)), component(k.d)});
       }},
      {"NonNormalisedModulus", plain,
       [] {
         const TestKey& k = key1024();
         return make_blob({component(with_top_bit_cleared(k.n)), component(k.d)});
       }},
      {"EmptyModulus", plain,
       [] {
         return make_blob({{0, {}}, component(key1024().d)});
       }},
      {"PrivateExponentLongerThanModulus", plain,
       [] {
         const TestKey& k = key1024();
         Digits d = k.d;
         d.push_back(1);
         return make_blob({component(k.n), component(d)});
       }},
      {"OddDigitCountInCrtForm", crt,
       [] {
         const TestKey& k = test_key(352, 3);
         return make_blob({component(k.n), component({3}), component(k.d), component(k.p),
                           component(k.q), component(k.dP), component(k.dQ), component(k.qInv)});
       }},
      {"CrtPrimeWithoutTopBit", crt,
       [] { return crt_with(3, component(with_top_bit_cleared(key2048().p))); }},
      {"CrtSecondPrimeWithoutTopBit", crt,
       [] { return crt_with(4, component(with_top_bit_cleared(key2048().q))); }},
      {"CrtPrimeShorterThanHalfModulus", crt,
       [] {
         Digits p = key2048().p;
         p.pop_back();
         return crt_with(3, component(p));
       }},
      {"CrtPrimesOutOfOrder", crt,
       [] {
         const TestKey& k = key2048();
         return make_blob({component(k.n), component({3}), component(k.d), component(k.q),
                           component(k.p), component(k.dQ), component(k.dP), component(k.qInv)});
       }},
      {"CrtExponentWithoutDigits", crt,
       [] {
         return crt_with(5, {0, {}});
       }},
      {"CrtExponentLongerThanHalfModulus", crt,
       [] {
         Digits dQ = key2048().dQ;
         dQ.push_back(0);
         return crt_with(6, component(dQ));
       }},
  };
}

TEST(PrivateKeyBlob, MalformedBlobsAreRejectedWithoutWritingTheSignature) {
  for (const BlobCase& c : malformed_blobs()) {
    SCOPED_TRACE(c.name);
    const Bytes blob = c.blob();
    EXPECT_EQ(sign_expecting_untouched(c.form, blob, static_cast<std::uint32_t>(blob.size())),
              QIV_SBL_SIGN_FAILED);
  }
}

TEST(PrivateKeyBlob, BlobsRunningPastTheGivenLengthAreRejected) {
  const Bytes crt = key2048().crt_blob();
  // Cut inside a length field, inside a component, and just short of the end.
  for (std::uint32_t len : {0u, 2u, 4u, 100u, 260u, 262u, 600u, 1187u}) {
    SCOPED_TRACE(len);
    EXPECT_EQ(sign_expecting_untouched(QIV_SBL_FORM_CRT, crt, len), QIV_SBL_SIGN_FAILED);
  }
  const Bytes plain = key1024().plain_blob();
  for (std::uint32_t len : {0u, 3u, 131u, 135u, 263u}) {
    SCOPED_TRACE(len);
    EXPECT_EQ(sign_expecting_untouched(QIV_SBL_FORM_PLAIN, plain, len), QIV_SBL_SIGN_FAILED);
  }
}

TEST(PrivateKeyBlob, StructuralFaultsCopyNothingIntoTheKeyRecord) {
  const Bytes blob = crt_with(7, {35 * 4, Bytes(35 * 4, 0x01)});
  QIV_RSA_PRIVATE_KEY key{};
  EXPECT_FALSE(sbl::load_private_key_blob(blob, sbl::KeyForm::kCrt, key));
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(&key);
  EXPECT_TRUE(std::all_of(bytes, bytes + sizeof key, [](std::uint8_t b) { return b == 0; }));

  const Bytes full = key2048().crt_blob();
  QIV_RSA_PRIVATE_KEY truncated{};
  EXPECT_FALSE(
      sbl::load_private_key_blob(std::span(full).first(1187), sbl::KeyForm::kCrt, truncated));
  const auto* tbytes = reinterpret_cast<const std::uint8_t*>(&truncated);
  EXPECT_TRUE(
      std::all_of(tbytes, tbytes + sizeof truncated, [](std::uint8_t b) { return b == 0; }));
}

// Each component may fill its field in the key record exactly (QIV_RSA_MAX_DIGITS for n, e, d;
// QIV_RSA_MAX_HALF_DIGITS for the others) and is then copied; one digit more and nothing is
// copied. Most such keys are unusable anyway, so the record shows which side the parser took.
TEST(PrivateKeyBlob, EachComponentMayFillItsFieldButNotOneDigitMore) {
  for (std::size_t i = 0; i < 8; ++i) {
    const std::uint32_t capacity = i < 3 ? QIV_RSA_MAX_DIGITS : QIV_RSA_MAX_HALF_DIGITS;
    for (const std::uint32_t digits : {capacity, capacity + 1}) {
      QIV_RSA_PRIVATE_KEY key{};
      const bool ok = sbl::load_private_key_blob(
          crt_with(i, component(Digits(digits, 0x80000001u))), sbl::KeyForm::kCrt, key);
      const std::uint32_t counts[] = {key.n_count, key.e_count,  key.d_count,  key.p_count,
                                      key.q_count, key.dP_count, key.dQ_count, key.qInv_count};
      EXPECT_EQ(counts[i], digits == capacity ? digits : 0u) << "component " << i;
      EXPECT_EQ(ok, i == 1 && digits == capacity) << "component " << i;  // only e may be long
    }
  }
}

// p = q passes every size and top-bit test but has no CRT coefficient. The loader must refuse
// it itself: the signature's own check would fail later, but only after signing with it.
TEST(PrivateKeyBlob, CrtPrimesMustBeStrictlyOrdered) {
  const TestKey& k = key2048();
  QIV_RSA_PRIVATE_KEY key{};
  EXPECT_TRUE(sbl::load_private_key_blob(k.crt_blob(), sbl::KeyForm::kCrt, key));
  QIV_RSA_PRIVATE_KEY same{};
  EXPECT_FALSE(sbl::load_private_key_blob(crt_with(4, component(k.p)), sbl::KeyForm::kCrt, same));
}

TEST(PrivateKeyBlob, NullArgumentsAreRejected) {
  const Bytes blob = key1024().plain_blob();
  const auto len = static_cast<std::uint32_t>(blob.size());
  Bytes sig(256);
  std::uint32_t sigLen = 0;
  EXPECT_EQ(Generate_PSS_RSASignature(0, nullptr, len, kDigest.data(), 20, sig.data(), &sigLen),
            QIV_SBL_SIGN_FAILED);
  EXPECT_EQ(Generate_PSS_RSASignature(0, blob.data(), len, nullptr, 20, sig.data(), &sigLen),
            QIV_SBL_SIGN_FAILED);
  EXPECT_EQ(Generate_PSS_RSASignature(0, blob.data(), len, kDigest.data(), 20, nullptr, &sigLen),
            QIV_SBL_SIGN_FAILED);
  EXPECT_EQ(Generate_PSS_RSASignature(0, blob.data(), len, kDigest.data(), 20, sig.data(), nullptr),
            QIV_SBL_SIGN_FAILED);
}

// The accepted extremes: 11 digits in plain form and 12 in CRT form (the least that still holds
// a 20-byte salt), and the plain form ignoring everything after n and d.
TEST(PrivateKeyBlob, SmallestKeysStillSignVerifiably) {
  const TestKey& k11 = test_key(352, 65537);
  const Bytes plain = make_blob({component(k11.n), component(k11.d)});
  Guarded sig(256, 0x33);
  std::uint32_t sigLen = 0;
  ASSERT_EQ(Generate_PSS_RSASignature(QIV_SBL_FORM_PLAIN, plain.data(),
                                      static_cast<std::uint32_t>(plain.size()), kDigest.data(), 20,
                                      sig.data(), &sigLen),
            0);
  EXPECT_EQ(sigLen, 44u);
  EXPECT_TRUE(ref::openssl_pss_verify(k11.modulus_le(), k11.exponent, kDigest,
                                      std::span(sig.data(), sigLen)));
  EXPECT_TRUE(std::all_of(sig.data() + sigLen, sig.data() + 256, [](auto b) { return b == 0x33; }));

  const TestKey& k12 = test_key(384, 3);
  const Bytes crt = k12.crt_blob();
  ASSERT_EQ(Generate_PSS_RSASignature(QIV_SBL_FORM_CRT, crt.data(),
                                      static_cast<std::uint32_t>(crt.size()), kDigest.data(), 20,
                                      sig.data(), &sigLen),
            0);
  EXPECT_EQ(sigLen, 48u);
  EXPECT_TRUE(ref::openssl_pss_verify(k12.modulus_le(), k12.exponent, kDigest,
                                      std::span(sig.data(), sigLen)));
  EXPECT_TRUE(sig.guards_intact());
}

TEST(PrivateKeyBlob, PlainFormReadsOnlyModulusAndPrivateExponent) {
  const TestKey& k = key1024();
  // p, q and the CRT values zeroed, then a trailing component whose length field lies.
  Bytes blob = make_blob({component(k.n),
                          component(k.d),
                          component(Digits(16, 0)),
                          component(Digits(16, 0)),
                          component(Digits(16, 0)),
                          component(Digits(16, 0)),
                          component(Digits(16, 0)),
                          {0xFFFFFFFFu, {}}});
  Bytes sig(128);
  std::uint32_t sigLen = 0;
  ASSERT_EQ(Generate_PSS_RSASignature(QIV_SBL_FORM_PLAIN, blob.data(),
                                      static_cast<std::uint32_t>(blob.size()), kDigest.data(), 20,
                                      sig.data(), &sigLen),
            0);
  EXPECT_TRUE(ref::openssl_pss_verify(k.modulus_le(), k.exponent, kDigest, sig));

  // Only the first two components need to be present.
  ASSERT_EQ(Generate_PSS_RSASignature(QIV_SBL_FORM_PLAIN, blob.data(), 4 + 128 + 4 + 128,
                                      kDigest.data(), 20, sig.data(), &sigLen),
            0);
  EXPECT_TRUE(ref::openssl_pss_verify(k.modulus_le(), k.exponent, kDigest, sig));
}

// Any form value other than 1 is the plain form.
TEST(PrivateKeyBlob, EveryFormOtherThanOneIsPlain) {
  const TestKey& k = key1024();
  const Bytes blob = k.plain_blob();
  for (std::int32_t form : {0, 2, -1}) {
    Bytes sig(128);
    std::uint32_t sigLen = 0;
    ASSERT_EQ(Generate_PSS_RSASignature(form, blob.data(), static_cast<std::uint32_t>(blob.size()),
                                        kDigest.data(), 20, sig.data(), &sigLen),
              0);
    EXPECT_TRUE(ref::openssl_pss_verify(k.modulus_le(), k.exponent, kDigest, sig)) << form;
  }
}

}  // namespace
