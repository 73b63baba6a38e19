// Signature wrappers against OpenSSL's RSASSA-PSS: our signatures verify there, OpenSSL's
// verify here, and every rejection destroys what it rejected.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "crypto/crypto.h"
#include "rsa/rsa.h"
#include "sbl/layout.h"
#include "sbl/private_key_blob.h"
#include "sbl/sbl.h"
#include "tests/sbl/guarded.h"
#include "tests/sbl/test_keys.h"
#include "tests/support/fixed_noise.h"
#include "tests/support/reference.h"
#include "tests/support/stack_residue.h"

namespace {

using sbl::PublicKeyInfoV11;
using sbl::PublicKeyInfoV21;

const Bytes kMessage = [] {
  Bytes m(1000);
  for (std::size_t i = 0; i < m.size(); ++i) m[i] = static_cast<std::uint8_t>(i * 7 + 1);
  return m;
}();

std::uint32_t size32(const Bytes& b) {
  return static_cast<std::uint32_t>(b.size());
}

bool all_zero(std::span<const std::uint8_t> s) {
  return std::all_of(s.begin(), s.end(), [](std::uint8_t b) { return b == 0; });
}

// Bytes that end where an inaccessible page begins: a read past them faults in every build,
// not only under the sanitizer.
class AtPageEnd {
 public:
  explicit AtPageEnd(const Bytes& contents)
      : page_(static_cast<std::size_t>(::sysconf(_SC_PAGESIZE))),
        base_(static_cast<std::uint8_t*>(::mmap(nullptr, 2 * page_, PROT_READ | PROT_WRITE,
                                                MAP_PRIVATE | MAP_ANONYMOUS, -1, 0))),
        size_(contents.size()) {
    EXPECT_NE(base_, MAP_FAILED);
    EXPECT_EQ(::mprotect(base_ + page_, page_, PROT_NONE), 0);
    std::copy(contents.begin(), contents.end(), data());
  }
  AtPageEnd(const AtPageEnd&) = delete;
  AtPageEnd& operator=(const AtPageEnd&) = delete;
  ~AtPageEnd() { ::munmap(base_, 2 * page_); }
  std::uint8_t* data() { return base_ + page_ - size_; }
  std::span<const std::uint8_t> span() { return {data(), size_}; }

 private:
  std::size_t page_;
  std::uint8_t* base_;
  std::size_t size_;
};

// Key parts laid out by hand (not by our record generator): v2.1 with length fields, v1.1 as
// modulus then exponent.
Bytes key_part_v21(const TestKey& k) {
  Bytes part(PublicKeyInfoV21::kKeyPartSize, 0);
  const Bytes n = k.modulus_le();
  const Bytes len = le_bytes({4 * k.digits}), four = le_bytes({4}), e = le_bytes({k.exponent});
  std::copy(len.begin(), len.end(), part.begin() + PublicKeyInfoV21::kModulusLength);
  std::copy(n.begin(), n.end(), part.begin() + PublicKeyInfoV21::kModulus);
  std::copy(four.begin(), four.end(), part.begin() + PublicKeyInfoV21::kExponentLength);
  std::copy(e.begin(), e.end(), part.begin() + PublicKeyInfoV21::kExponent);
  return part;
}

Bytes key_part_v11(const TestKey& k) {
  Bytes part = k.modulus_le();
  const Bytes e = le_bytes({k.exponent});
  part.insert(part.end(), e.begin(), e.end());
  return part;
}

Bytes sign2(std::int32_t form, const Bytes& blob, const Bytes& message) {
  Bytes sig(256, 0);
  std::uint32_t sigLen = 0;
  EXPECT_EQ(Generate_PSS_RSASignature2(form, blob.data(), size32(blob), message.data(),
                                       size32(message), sig.data(), &sigLen),
            0);
  sig.resize(sigLen);
  return sig;
}

TEST(SignatureWrappers, SignaturesHaveTheKeySizeAndVerifyInOpenSSL) {
  struct Case {
    std::int32_t form;
    const TestKey& key;
    Bytes blob;
  };
  const Case cases[] = {{QIV_SBL_FORM_CRT, key2048(), key2048().crt_blob()},
                        {QIV_SBL_FORM_PLAIN, key1024(), key1024().plain_blob()}};
  const auto digest = ref::sha1(kMessage);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.form);
    Guarded sig(4 * c.key.digits);
    std::uint32_t sigLen = 0;
    ASSERT_EQ(Generate_PSS_RSASignature(c.form, c.blob.data(), size32(c.blob), digest.data(), 20,
                                        sig.data(), &sigLen),
              0);
    EXPECT_EQ(sigLen, 4 * c.key.digits);
    EXPECT_TRUE(sig.guards_intact());
    EXPECT_TRUE(ref::openssl_pss_verify(c.key.modulus_le(), c.key.exponent, digest, sig.span()));
  }
}

TEST(SignatureWrappers, MessageFormsHashWithSha1AndRoundTrip) {
  const TestKey& k2 = key2048();
  Bytes sig = sign2(QIV_SBL_FORM_CRT, k2.crt_blob(), kMessage);
  EXPECT_TRUE(ref::openssl_pss_verify(k2.modulus_le(), 3, ref::sha1(kMessage), sig));
  const Bytes part2 = key_part_v21(k2);
  EXPECT_EQ(Verify_PSS_RSASignature2(part2.data(), size32(part2), kMessage.data(), size32(kMessage),
                                     sig.data(), 256),
            0);

  const TestKey& k1 = key1024();
  sig = sign2(QIV_SBL_FORM_PLAIN, k1.plain_blob(), kMessage);
  EXPECT_TRUE(ref::openssl_pss_verify(k1.modulus_le(), 65537, ref::sha1(kMessage), sig));
  const Bytes part1 = key_part_v11(k1);
  EXPECT_EQ(Verify_PSS_RSASignature2(part1.data(), size32(part1), kMessage.data(), size32(kMessage),
                                     sig.data(), 128),
            0);
}

TEST(SignatureWrappers, OpenSSLSignaturesVerifyForBothKeySizes) {
  const auto digest = ref::sha1(kMessage);
  {
    const TestKey& k = key2048();
    Bytes sig = openssl_pss_sign(k, digest);
    Bytes d(digest.begin(), digest.end());
    const Bytes part = key_part_v21(k);
    EXPECT_EQ(Verify_PSS_RSASignature(part.data(), 268, d.data(), 20, sig.data(), 256), 0);
    EXPECT_EQ(Verify_PSS_RSASignature2(part.data(), 268, kMessage.data(), size32(kMessage),
                                       sig.data(), 256),
              0);
  }
  {
    const TestKey& k = key1024();
    Bytes sig = openssl_pss_sign(k, digest);
    Bytes d(digest.begin(), digest.end());
    const Bytes part = key_part_v11(k);
    EXPECT_EQ(Verify_PSS_RSASignature(part.data(), 132, d.data(), 20, sig.data(), 128), 0);
  }
}

TEST(SignatureWrappers, ChangedMessageFailsAndClearsTheSignature) {
  const TestKey& k = key2048();
  Bytes sig = sign2(QIV_SBL_FORM_CRT, k.crt_blob(), kMessage);
  Bytes changed = kMessage;
  changed[500] ^= 0x01;
  const Bytes part = key_part_v21(k);
  EXPECT_EQ(
      Verify_PSS_RSASignature2(part.data(), 268, changed.data(), size32(changed), sig.data(), 256),
      QIV_SBL_VERIFY_FAILED);
  EXPECT_TRUE(all_zero(sig));
}

TEST(SignatureWrappers, FlippedSignatureBitFailsAndClearsSignatureAndDigest) {
  const TestKey& k = key1024();
  Bytes sig = sign2(QIV_SBL_FORM_PLAIN, k.plain_blob(), kMessage);
  sig[17] ^= 0x20;
  const auto hash = ref::sha1(kMessage);
  Bytes digest(hash.begin(), hash.end());
  const Bytes part = key_part_v11(k);
  EXPECT_EQ(Verify_PSS_RSASignature(part.data(), 132, digest.data(), 20, sig.data(), 128),
            QIV_SBL_VERIFY_FAILED);
  EXPECT_TRUE(all_zero(sig));
  EXPECT_TRUE(all_zero(digest));

  // A refused exponent (e = 1 makes any encoding its own signature) clears both as well.
  Bytes again = sign2(QIV_SBL_FORM_PLAIN, k.plain_blob(), kMessage);
  digest.assign(hash.begin(), hash.end());
  Bytes e1 = part;
  e1[PublicKeyInfoV11::kExponent] = 1;
  e1[PublicKeyInfoV11::kExponent + 2] = 0;
  EXPECT_EQ(Verify_PSS_RSASignature(e1.data(), 132, digest.data(), 20, again.data(), 128),
            QIV_SBL_VERIFY_BAD_KEY);
  EXPECT_TRUE(all_zero(again));
  EXPECT_TRUE(all_zero(digest));
}

TEST(SignatureWrappers, UnknownSignatureLengthsAreRejectedUntouched) {
  const TestKey& k = key2048();
  const Bytes part = key_part_v21(k);
  const auto hash = ref::sha1(kMessage);
  for (std::uint32_t len : {0u, 64u, 127u, 129u, 255u, 257u, 512u}) {
    SCOPED_TRACE(len);
    Bytes sig(512, 0x77);
    Bytes digest(hash.begin(), hash.end());
    EXPECT_EQ(Verify_PSS_RSASignature(part.data(), 268, digest.data(), 20, sig.data(), len),
              QIV_SBL_VERIFY_BAD_LENGTH);
    EXPECT_EQ(Verify_PSS_RSASignature2(part.data(), 268, kMessage.data(), size32(kMessage),
                                       sig.data(), len),
              QIV_SBL_VERIFY_BAD_LENGTH);
    EXPECT_EQ(sig, Bytes(512, 0x77));
    EXPECT_TRUE(std::equal(digest.begin(), digest.end(), hash.begin()));
  }
}

TEST(SignatureWrappers, ShortSignatureVerifiesAgainstRecordAndBareKey) {
  const TestKey& k = key1024();
  const Bytes sig = sign2(QIV_SBL_FORM_PLAIN, k.plain_blob(), kMessage);
  // A full v1.1 record (with some tag bytes after the key part) and the bare 132-byte key.
  const Bytes record = [&] {
    Bytes r = key_part_v11(k);
    r.resize(PublicKeyInfoV11::kSize, 0xC4);
    return r;
  }();
  const Bytes bare = key_part_v11(k);
  for (const Bytes* key : {&record, &bare}) {
    Bytes s = sig;
    EXPECT_EQ(Verify_PSS_RSASignature2(key->data(), size32(*key), kMessage.data(), size32(kMessage),
                                       s.data(), 128),
              0);
  }
}

TEST(SignatureWrappers, SignaturesOfOneDigestDifferAndBothVerify) {
  const TestKey& k = key2048();
  const Bytes a = sign2(QIV_SBL_FORM_CRT, k.crt_blob(), kMessage);
  const Bytes b = sign2(QIV_SBL_FORM_CRT, k.crt_blob(), kMessage);
  EXPECT_NE(a, b);
  EXPECT_TRUE(ref::openssl_pss_verify(k.modulus_le(), 3, ref::sha1(kMessage), a));
  EXPECT_TRUE(ref::openssl_pss_verify(k.modulus_le(), 3, ref::sha1(kMessage), b));
}

// Verify_PSS_RSASignature2 takes k and the exponent size from a 256-byte signature's record;
// out-of-range values are failed verifications, never reads past the 268-byte key part. So is
// a modulus whose top digit is zero (a zero or non-normalised modulus).
TEST(SignatureWrappers, MalformedRecordsFailVerification) {
  const TestKey& k = key2048();
  const Bytes good = key_part_v21(k);
  const Bytes validSig = sign2(QIV_SBL_FORM_CRT, k.crt_blob(), kMessage);
  struct Case {
    std::uint32_t offset, value;
    std::int32_t rc = QIV_SBL_VERIFY_FAILED;
  };
  for (const Case c :
       {Case{PublicKeyInfoV21::kModulusLength, 0},
        Case{PublicKeyInfoV21::kModulusLength, 20},   // k = 5
        Case{PublicKeyInfoV21::kModulusLength, 257},  // not whole digits
        Case{PublicKeyInfoV21::kModulusLength, 260},  // k = 65
        Case{PublicKeyInfoV21::kModulusLength, 0xFFFFFFFCu},
        Case{PublicKeyInfoV21::kExponentLength, 0}, Case{PublicKeyInfoV21::kExponentLength, 8},
        Case{PublicKeyInfoV21::kExponentLength, 0x80000004u},
        Case{PublicKeyInfoV21::kModulus + 252, 0},
        Case{PublicKeyInfoV21::kExponent, 1, QIV_SBL_VERIFY_BAD_KEY},
        Case{PublicKeyInfoV21::kExponent, 4, QIV_SBL_VERIFY_BAD_KEY}}) {
    SCOPED_TRACE(testing::Message() << c.offset << "=" << c.value);
    Bytes part = good;
    const Bytes v = le_bytes({c.value});
    std::copy(v.begin(), v.end(), part.begin() + c.offset);
    // Key part and signature each end at an inaccessible page: a k read from the record that
    // escaped its bound would read past them.
    AtPageEnd key(part), sig(validSig);
    EXPECT_EQ(Verify_PSS_RSASignature2(key.data(), 268, kMessage.data(), size32(kMessage),
                                       sig.data(), 256),
              c.rc);
    EXPECT_TRUE(all_zero(sig.span()));
  }
}

// The smallest record modulus the verifier reads, 6 digits, verifies through the record's
// length field (the largest, 64, is every 2048-bit key's); one digit less is refused.
TEST(SignatureWrappers, SixDigitRecordModulusIsTheSmallestVerified) {
  const TestKey& k = test_key(192, 3);
  const auto digest = ref::sha1(kMessage);
  std::uint32_t digits = 0;
  Digits s(6);
  ASSERT_EQ(QIV_RSA_PSS_Sign(&digits, s.data(), 6, k.n.data(), k.d.data(), 20, digest.data(), 2),
            0);
  Bytes sig = le_bytes(s);
  sig.resize(256, 0);
  Bytes part = key_part_v21(k);
  EXPECT_EQ(Verify_PSS_RSASignature2(part.data(), 268, kMessage.data(), size32(kMessage),
                                     sig.data(), 256),
            0);
  const Bytes five = le_bytes({20});
  std::copy(five.begin(), five.end(), part.begin() + PublicKeyInfoV21::kModulusLength);
  EXPECT_EQ(Verify_PSS_RSASignature2(part.data(), 268, kMessage.data(), size32(kMessage),
                                     sig.data(), 256),
            QIV_SBL_VERIFY_FAILED);
}

// With the length fields in range, a v2.1-layout record of a 1024-bit key verifies the first
// 128 bytes of a 256-byte signature: k comes from the record.
TEST(SignatureWrappers, RecordModulusLengthSelectsDigitCount) {
  const TestKey& k = key1024();
  Bytes part(PublicKeyInfoV21::kKeyPartSize, 0);
  const Bytes n = k.modulus_le(), len = le_bytes({128}), four = le_bytes({4}),
              e = le_bytes({k.exponent});
  std::copy(len.begin(), len.end(), part.begin() + PublicKeyInfoV21::kModulusLength);
  std::copy(n.begin(), n.end(), part.begin() + PublicKeyInfoV21::kModulus);
  std::copy(four.begin(), four.end(), part.begin() + PublicKeyInfoV21::kExponentLength);
  std::copy(e.begin(), e.end(), part.begin() + PublicKeyInfoV21::kExponent);
  Bytes sig = sign2(QIV_SBL_FORM_PLAIN, k.plain_blob(), kMessage);
  sig.resize(256, 0);
  EXPECT_EQ(Verify_PSS_RSASignature2(part.data(), 268, kMessage.data(), size32(kMessage),
                                     sig.data(), 256),
            0);
}

// Sign, then check: a blob damaged in a value the signature depends on (a CRT value, the plain
// d, an e that is not the key's) still yields 4k bytes, which the wrapper verifies with the
// blob's own n and e before handing them out. d is unused in CRT form, so damage there signs.
TEST(SignatureWrappers, SignatureOfADamagedKeyIsNeverHandedOut) {
  struct Row {
    const char* what;
    std::int32_t form;
    void (*damage)(TestKey&);
    bool signs;
  };
  const Row rows[] = {
      {"CRT dP", QIV_SBL_FORM_CRT, [](TestKey& k) { k.dP[3] ^= 1; }, false},
      {"CRT dQ", QIV_SBL_FORM_CRT, [](TestKey& k) { k.dQ[0] ^= 0x100; }, false},
      {"CRT qInv", QIV_SBL_FORM_CRT, [](TestKey& k) { k.qInv[31] ^= 1; }, false},
      {"CRT e", QIV_SBL_FORM_CRT, [](TestKey& k) { k.exponent = 5; }, false},
      {"CRT d", QIV_SBL_FORM_CRT, [](TestKey& k) { k.d[7] ^= 1; }, true},
      {"plain d", QIV_SBL_FORM_PLAIN, [](TestKey& k) { k.d[0] ^= 2; }, false},
  };
  for (const Row& r : rows) {
    TestKey k = r.form == QIV_SBL_FORM_CRT ? key2048() : key1024();
    r.damage(k);
    const Bytes blob = r.form == QIV_SBL_FORM_CRT ? k.crt_blob() : k.plain_blob();
    Bytes sig(256, 0x42);
    std::uint32_t sigLen = 0;
    const std::int32_t rc = Generate_PSS_RSASignature2(
        r.form, blob.data(), size32(blob), kMessage.data(), size32(kMessage), sig.data(), &sigLen);
    EXPECT_EQ(rc, r.signs ? 0 : QIV_SBL_SIGN_FAILED) << r.what;
    if (!r.signs) {
      EXPECT_EQ(sig, Bytes(256, 0x42)) << r.what << ": nothing handed out";
    }
  }
}

// A signature that fails its check is a faulty private-key operation: with a damaged CRT value
// it is right modulo one prime and wrong modulo the other, so gcd(s^e - m, n) is a factor of n.
// It must be wiped, not merely withheld: after the wrapper returns, nothing of it is left in the
// stack its frames used. The faulty value is learnt from the RSA layer on the same random stream.
TEST(SignatureWrappers, ARefusedSignatureLeavesNoTraceOnTheStack) {
  if (!stack_residue::can_see()) GTEST_SKIP() << "locals are not on the probed stack here";
  TestKey k = key2048();
  k.dP[3] ^= 1;
  const Bytes blob = k.crt_blob();
  const Bytes digest(QIV_SHA1_DIGEST_LEN, 0x3c);
  auto key = std::make_unique<QIV_RSA_PRIVATE_KEY>();
  ASSERT_TRUE(sbl::load_private_key_blob(blob, sbl::KeyForm::kCrt, *key));
  std::vector<std::uint32_t> faulty(key->n_count);
  std::uint32_t digits = 0;
  qiv_test_reset_random();
  ASSERT_EQ(QIV_RSA_PSS_SignCRT(&digits, faulty.data(), key.get(), size32(digest), digest.data(),
                                20),
            QIV_SUCCESS);
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(faulty.data());
  const std::vector<std::uint8_t> needle(bytes, bytes + 32);

  Bytes sig(256, 0);
  std::uint32_t sigLen = 0;
  stack_residue::clear();
  qiv_test_reset_random();
  const std::int32_t rc = Generate_PSS_RSASignature(QIV_SBL_FORM_CRT, blob.data(), size32(blob),
                                                    digest.data(), size32(digest), sig.data(),
                                                    &sigLen);
  const bool left = stack_residue::holds(needle);  // before an assertion's calls overwrite it
  EXPECT_EQ(rc, QIV_SBL_SIGN_FAILED);
  EXPECT_FALSE(left);
}

// A key outside the process (a token) signs through a signer; the wrapper holds it to the same
// rule as a blob: its public part must be usable and every signature must verify under it, so a
// signer using another key, failing, or offering an exponent that proves nothing hands nothing
// out. OpenSSL stands in for the token's signing.
TEST(SignatureWrappers, SignerSignaturesAreCheckedLikeBlobSignatures) {
  struct Behaviour {
    const TestKey* signsWith;  // nullptr: sign() fails
    int calls = 0;
  };
  const auto sign = [](void* context, const std::uint8_t* digest, std::uint32_t digestLen,
                       std::uint8_t* out, std::uint32_t outLen) -> std::int32_t {
    auto& b = *static_cast<Behaviour*>(context);
    ++b.calls;
    if (b.signsWith == nullptr) return -1;
    const Bytes sig = openssl_pss_sign(*b.signsWith, std::span(digest, digestLen));
    if (sig.size() != outLen) return -1;
    std::copy(sig.begin(), sig.end(), out);
    return 0;
  };
  struct Row {
    const char* what;
    const TestKey& claimed;  // the public part the signer presents
    const TestKey* signsWith;
    std::uint32_t exponent, digits;
    bool ok;
    int calls;
  };
  const Row rows[] = {
      {"v2.1 key", key2048(), &key2048(), 3, 64, true, 1},
      {"v1.1 key", key1024(), &key1024(), 65537, 32, true, 1},
      {"signs with another key", key2048(), &key2048(1), 3, 64, false, 1},
      {"sign() fails", key1024(), nullptr, 65537, 32, false, 1},
      {"exponent 1", key2048(), &key2048(), 1, 64, false, 0},
      {"modulus of 65 digits", key2048(), &key2048(), 3, 65, false, 0},
  };
  const auto digest = ref::sha1(kMessage);
  for (const Row& r : rows) {
    Digits n = r.claimed.n;
    n.resize(65, 0);
    n[64] = r.digits == 65 ? 0x80000000u : 0;
    Behaviour behaviour{r.signsWith};
    const QIV_SBL_SIGNER signer{sign, &behaviour, n.data(), r.digits, r.exponent};
    Bytes sig(256, 0x42);
    std::uint32_t sigLen = 0;
    const std::int32_t rc =
        Generate_PSS_RSASignature_By(&signer, digest.data(), 20, sig.data(), &sigLen);
    EXPECT_EQ(rc, r.ok ? 0 : QIV_SBL_SIGN_FAILED) << r.what;
    EXPECT_EQ(behaviour.calls, r.calls) << r.what;
    if (r.ok) {
      EXPECT_EQ(sigLen, 4 * r.claimed.digits);
      sig.resize(sigLen);
      EXPECT_TRUE(ref::openssl_pss_verify(r.claimed.modulus_le(), r.exponent, digest, sig));
    } else {
      EXPECT_EQ(sig, Bytes(256, 0x42)) << r.what << ": nothing handed out";
    }
  }
  EXPECT_EQ(Generate_PSS_RSASignature_By(nullptr, digest.data(), 20, nullptr, nullptr),
            QIV_SBL_SIGN_FAILED);
}

TEST(SignatureWrappers, NullKeyOrSignatureIsAFailedVerification) {
  const Bytes part = key_part_v21(key2048());
  Bytes sig(256, 0x42);
  Bytes digest(20, 0x24);
  EXPECT_EQ(Verify_PSS_RSASignature(nullptr, 268, digest.data(), 20, sig.data(), 256),
            QIV_SBL_VERIFY_FAILED);
  EXPECT_TRUE(all_zero(sig));
  EXPECT_EQ(Verify_PSS_RSASignature(part.data(), 268, digest.data(), 20, nullptr, 256),
            QIV_SBL_VERIFY_FAILED);
  EXPECT_EQ(
      Verify_PSS_RSASignature2(nullptr, 268, kMessage.data(), size32(kMessage), sig.data(), 256),
      QIV_SBL_VERIFY_FAILED);
  EXPECT_EQ(
      Verify_PSS_RSASignature2(part.data(), 268, kMessage.data(), size32(kMessage), nullptr, 128),
      QIV_SBL_VERIFY_FAILED);
}

}  // namespace
