// Signature wrappers: RSASSA-PSS (SHA-1, MGF1-SHA-1, 20-byte salt) for the system's two key
// sizes, on private key blobs and public key information records.
#include <array>
#include <span>

#include "crypto/crypto.h"
#include "crypto/endian.h"
#include "crypto/wipe.h"
#include "rsa/rsa.h"
#include "sbl/layout.h"
#include "sbl/private_key_blob.h"
#include "sbl/sbl.h"

namespace {

using sbl::kDigitSize;
using Digest = std::array<std::uint8_t, QIV_SHA1_DIGEST_LEN>;

constexpr std::uint32_t kSaltLength = 20;
constexpr std::uint32_t kMaxDigits = QIV_RSA_MAX_VERIFY_DIGITS;
static_assert(sbl::PrivateKeyBlob::kMaxModulusDigits == kMaxDigits &&
              sbl::PublicKeyInfoV21::kMaxModulusDigits == kMaxDigits);
// The plain-form blob carries n and d only; its keys are the v1.1 set's, whose exponent is fixed.
constexpr std::uint32_t kPlainFormExponent = sbl::kKeySetV11.publicExponent;
static_assert(!sbl::kKeySetV11.crtSigning);

struct Sha1Codes {
  std::int32_t init, update, final;
};
constexpr Sha1Codes kSignSha1{QIV_SBL_SIGN_SHA1_INIT, QIV_SBL_SIGN_SHA1_UPDATE,
                              QIV_SBL_SIGN_SHA1_FINAL};
constexpr Sha1Codes kVerifySha1{QIV_SBL_VERIFY_SHA1_INIT, QIV_SBL_VERIFY_SHA1_UPDATE,
                                QIV_SBL_VERIFY_SHA1_FINAL};

std::int32_t sha1(const Sha1Codes& codes, const std::uint8_t* message, std::uint32_t length,
                  Digest& digest) {
  QIV_SHA1_CTX ctx{};
  if (QIV_SHA1_Init(&ctx) != 0) return codes.init;
  if (QIV_SHA1_Update(&ctx, message, length) != 0) return codes.update;
  if (QIV_SHA1_Final(&ctx, digest.data()) != 0) return codes.final;
  return 0;
}

// Where the verifier finds the key, by signature length. The v1.1 layout doubles as the bare
// 132-byte modulus-then-exponent key.
struct PublicKeyLayout {
  std::uint32_t digits;    // k
  std::uint32_t modulus;   // byte offset of the k-digit modulus
  std::uint32_t exponent;  // byte offset of the one-digit exponent
};
constexpr PublicKeyLayout layout_of(const sbl::RecordShape& r) {
  return {r.maxModulusDigits, r.modulus, r.exponent};
}
constexpr PublicKeyLayout kKeyV11 = layout_of(sbl::kKeySetV11.record);
constexpr PublicKeyLayout kKeyV21 = layout_of(sbl::kKeySetV21.record);
constexpr std::uint32_t kSignatureSizeV11 = kKeyV11.digits * kDigitSize;  // 128
constexpr std::uint32_t kSignatureSizeV21 = kKeyV21.digits * kDigitSize;  // 256

bool known_signature_length(std::uint32_t length) {
  return length == kSignatureSizeV11 || length == kSignatureSizeV21;
}

// The RSA layer works on digit arrays; the stored forms are loaded into aligned locals first.
// 0, QIV_SBL_VERIFY_BAD_KEY for an exponent that proves nothing (the RSA layer refuses it too;
// asking first only names the reason), or QIV_SBL_VERIFY_FAILED.
std::int32_t pss_verify(const std::uint8_t* publicKey, const PublicKeyLayout& layout,
                        const std::uint8_t* digest, std::uint32_t digestLen,
                        const std::uint8_t* signature) {
  std::uint32_t exponent = 0;
  qiv::load_digits(&exponent, publicKey + layout.exponent, 1);
  if (!QIV_RSA_PublicExponentOk(1, &exponent)) return QIV_SBL_VERIFY_BAD_KEY;
  std::array<std::uint32_t, kMaxDigits> modulus{};
  std::array<std::uint32_t, kMaxDigits> sig{};
  qiv::load_digits(modulus.data(), publicKey + layout.modulus, layout.digits);
  qiv::load_digits(sig.data(), signature, layout.digits);
  return QIV_RSA_PSS_Verify(layout.digits, modulus.data(), sig.data(), 1, &exponent, digestLen,
                            digest) == 0
             ? 0
             : QIV_SBL_VERIFY_FAILED;
}

// A v2.1 key part as Verify_PSS_RSASignature2 reads it: k and the exponent size come from the
// length fields, so both are bounded to the 268-byte key part before use.
bool layout_from_record(const std::uint8_t* publicKey, PublicKeyLayout& layout) {
  using R = sbl::PublicKeyInfoV21;
  const std::uint32_t modulusLength = qiv::load_le32(publicKey + R::kModulusLength);
  const std::uint32_t exponentLength = qiv::load_le32(publicKey + R::kExponentLength);
  const std::uint32_t k = modulusLength / kDigitSize;
  if (modulusLength % kDigitSize != 0 || k < QIV_RSA_MIN_VERIFY_DIGITS ||
      k > R::kMaxModulusDigits || exponentLength != R::kExponentSize) {
    return false;
  }
  layout = PublicKeyLayout{k, R::kModulus, R::kExponent};
  return true;
}

// Sign, then check: a fault in d or in a CRT value, or a token signing with another key, still
// yields 4k bytes, and only the public operation tells them from a signature. Stores the
// signature only when it verifies under (n, e).
std::int32_t hand_out_checked(std::uint32_t k, const std::uint32_t* n, std::uint32_t eDigits,
                              const std::uint32_t* e, const std::uint8_t* digest,
                              std::uint32_t digestLen, std::array<std::uint32_t, kMaxDigits>& result,
                              std::uint8_t* signature, std::uint32_t* signatureLen) {
  if (QIV_RSA_PSS_Verify(k, n, result.data(), eDigits, e, digestLen, digest) != 0) {
    qiv::wipe(result.data(), sizeof result);
    return QIV_SBL_SIGN_FAILED;
  }
  qiv::store_digits(signature, result.data(), k);
  *signatureLen = k * kDigitSize;
  return 0;
}

}  // namespace

std::int32_t Generate_PSS_RSASignature(std::int32_t form, const std::uint8_t* blob,
                                       std::uint32_t blobLen, const std::uint8_t* digest,
                                       std::uint32_t digestLen, std::uint8_t* signature,
                                       std::uint32_t* signatureLen) {
  if (blob == nullptr || digest == nullptr || signature == nullptr || signatureLen == nullptr) {
    return QIV_SBL_SIGN_FAILED;
  }
  const sbl::KeyForm keyForm = form == QIV_SBL_FORM_CRT ? sbl::KeyForm::kCrt : sbl::KeyForm::kPlain;
  qiv::Wiped<QIV_RSA_PRIVATE_KEY> key;
  if (!sbl::load_private_key_blob(std::span(blob, blobLen), keyForm, *key)) {
    return QIV_SBL_SIGN_FAILED;
  }
  const std::uint32_t k = key->n_count;
  std::array<std::uint32_t, kMaxDigits> result{};
  std::uint32_t resultDigits = 0;
  const std::int32_t rc = keyForm == sbl::KeyForm::kCrt
                              ? QIV_RSA_PSS_SignCRT(&resultDigits, result.data(), key.get(),
                                                    digestLen, digest, kSaltLength)
                              : QIV_RSA_PSS_Sign(&resultDigits, result.data(), k, key->n, key->d,
                                                 digestLen, digest, kSaltLength);
  if (rc != 0 || resultDigits != k) return QIV_SBL_SIGN_FAILED;
  const std::uint32_t* exponent = key->e_count != 0 ? key->e : &kPlainFormExponent;
  const std::uint32_t exponentDigits = key->e_count != 0 ? key->e_count : 1;
  return hand_out_checked(k, key->n, exponentDigits, exponent, digest, digestLen, result,
                          signature, signatureLen);
}

std::int32_t Generate_PSS_RSASignature_By(const QIV_SBL_SIGNER* signer, const std::uint8_t* digest,
                                          std::uint32_t digestLen, std::uint8_t* signature,
                                          std::uint32_t* signatureLen) {
  if (signer == nullptr || signer->sign == nullptr || signer->modulus == nullptr ||
      digest == nullptr || signature == nullptr || signatureLen == nullptr) {
    return QIV_SBL_SIGN_FAILED;
  }
  const std::uint32_t k = signer->modulusDigits;
  if (k < QIV_RSA_MIN_VERIFY_DIGITS || k > kMaxDigits || (signer->modulus[k - 1] >> 31) == 0 ||
      !QIV_RSA_PublicExponentOk(1, &signer->exponent)) {
    return QIV_SBL_SIGN_FAILED;
  }
  std::array<std::uint8_t, kMaxDigits * kDigitSize> stored{};
  std::array<std::uint32_t, kMaxDigits> result{};
  if (signer->sign(signer->context, digest, digestLen, stored.data(), k * kDigitSize) != 0) {
    return QIV_SBL_SIGN_FAILED;
  }
  qiv::load_digits(result.data(), stored.data(), k);
  return hand_out_checked(k, signer->modulus, 1, &signer->exponent, digest, digestLen, result,
                          signature, signatureLen);
}

std::int32_t Generate_PSS_RSASignature2(std::int32_t form, const std::uint8_t* blob,
                                        std::uint32_t blobLen, const std::uint8_t* message,
                                        std::uint32_t messageLen, std::uint8_t* signature,
                                        std::uint32_t* signatureLen) {
  Digest digest{};
  if (const std::int32_t rc = sha1(kSignSha1, message, messageLen, digest); rc != 0) return rc;
  return Generate_PSS_RSASignature(form, blob, blobLen, digest.data(), QIV_SHA1_DIGEST_LEN,
                                   signature, signatureLen);
}

std::int32_t Verify_PSS_RSASignature(const std::uint8_t* publicKey, std::uint32_t /*publicKeyLen*/,
                                     std::uint8_t* digest, std::uint32_t digestLen,
                                     std::uint8_t* signature, std::uint32_t signatureLen) {
  if (!known_signature_length(signatureLen)) return QIV_SBL_VERIFY_BAD_LENGTH;
  const PublicKeyLayout& layout = signatureLen == kSignatureSizeV11 ? kKeyV11 : kKeyV21;
  const std::int32_t rc = publicKey != nullptr && digest != nullptr && signature != nullptr
                              ? pss_verify(publicKey, layout, digest, digestLen, signature)
                              : QIV_SBL_VERIFY_FAILED;
  if (rc == 0) return 0;
  // A rejected signature, and the digest it was checked against, are destroyed so that no
  // caller can pass them on by mistake.
  if (signature != nullptr) mem_set(signature, 0, signatureLen);
  if (digest != nullptr) mem_set(digest, 0, digestLen);
  return rc;
}

std::int32_t Verify_PSS_RSASignature2(const std::uint8_t* publicKey, std::uint32_t /*publicKeyLen*/,
                                      const std::uint8_t* message, std::uint32_t messageLen,
                                      std::uint8_t* signature, std::uint32_t signatureLen) {
  Digest digest{};
  if (const std::int32_t rc = sha1(kVerifySha1, message, messageLen, digest); rc != 0) return rc;
  if (!known_signature_length(signatureLen)) return QIV_SBL_VERIFY_BAD_LENGTH;

  PublicKeyLayout layout = kKeyV11;
  std::int32_t rc = publicKey != nullptr && signature != nullptr ? 0 : QIV_SBL_VERIFY_FAILED;
  if (rc == 0 && signatureLen == kSignatureSizeV21 && !layout_from_record(publicKey, layout)) {
    rc = QIV_SBL_VERIFY_FAILED;
  }
  if (rc == 0) rc = pss_verify(publicKey, layout, digest.data(), QIV_SHA1_DIGEST_LEN, signature);
  if (rc == 0) return 0;
  if (signature != nullptr) mem_set(signature, 0, signatureLen);
  return rc;
}

std::int32_t Generate_PSS_RSASignature2_By(const QIV_SBL_SIGNER* signer,
                                           const std::uint8_t* message, std::uint32_t messageLen,
                                           std::uint8_t* signature, std::uint32_t* signatureLen) {
  Digest digest{};
  if (const std::int32_t rc = sha1(kSignSha1, message, messageLen, digest); rc != 0) return rc;
  return Generate_PSS_RSASignature_By(signer, digest.data(), QIV_SHA1_DIGEST_LEN, signature,
                                      signatureLen);
}
