// Stage-1 contexts: generation (tag, next-stage key, signature) and the check a device
// performs (record against eFuse value, then signature with the record's key).
//
// The signature covers exactly SHA-1(image || next-stage key). Everything else in the context
// (signature length, record, service table, reserved bytes, tag, filler) lies outside it: the
// record is protected by its own integrity tag and the eFuse value instead.
#include <array>

#include "crypto/crypto.h"
#include "crypto/endian.h"
#include "sbl/layout.h"
#include "sbl/sbl.h"

namespace {

using Digest = std::array<std::uint8_t, QIV_SHA1_DIGEST_LEN>;
using Signature = std::array<std::uint8_t, sbl::ContextV21::kSignatureSize>;  // the larger one

using Validator = std::int32_t (*)(const std::uint8_t*, std::uint32_t, std::uint8_t*);

// One generation of the context: its layout (sbl/layout.h) and how it is signed and trusted.
struct ContextFormat : sbl::ContextShape {
  std::uint32_t eFuseSize;
  std::int32_t signatureForm;
  Validator validateRecord;
};

constexpr ContextFormat format_of(const sbl::KeySetLayout& set, Validator validate) {
  return {set.context, set.eFuseSize, set.crtSigning ? QIV_SBL_FORM_CRT : QIV_SBL_FORM_PLAIN,
          validate};
}

constexpr ContextFormat kV21 = format_of(sbl::kKeySetV21, Validate_SB20_PublicKeyInfo);
constexpr ContextFormat kV11 = format_of(sbl::kKeySetV11, Validate_SB10_PublicKeyInfo);

struct DigestCodes {
  std::int32_t init, updateImage, updateKey, final;
};
constexpr DigestCodes kGenerateCodes{QIV_SBL_CTX_GEN_SHA1_INIT, QIV_SBL_CTX_GEN_SHA1_UPDATE_IMAGE,
                                     QIV_SBL_CTX_GEN_SHA1_UPDATE_KEY, QIV_SBL_CTX_GEN_SHA1_FINAL};
constexpr DigestCodes kCheckCodes{QIV_SBL_CTX_CHK_SHA1_INIT, QIV_SBL_CTX_CHK_SHA1_UPDATE_IMAGE,
                                  QIV_SBL_CTX_CHK_SHA1_UPDATE_KEY, QIV_SBL_CTX_CHK_SHA1_FINAL};

// The signed digest: SHA-1(image || next-stage key at context offset 0).
std::int32_t signed_digest(const DigestCodes& codes, const ContextFormat& f,
                           const std::uint8_t* image, std::uint32_t imageLen,
                           const std::uint8_t* context, Digest& digest) {
  QIV_SHA1_CTX ctx{};
  if (QIV_SHA1_Init(&ctx) != 0) return codes.init;
  if (QIV_SHA1_Update(&ctx, image, imageLen) != 0) return codes.updateImage;
  if (QIV_SHA1_Update(&ctx, context + f.nextStageKey, f.keyPartSize) != 0) {
    return codes.updateKey;
  }
  if (QIV_SHA1_Final(&ctx, digest.data()) != 0) return codes.final;
  return 0;
}

void write_trailer(const ContextFormat& f, std::uint8_t* context) {
  mem_set(context + f.trailer, sbl::kContextFillerByte, f.size - f.trailer);
  mem_copy(context + f.tag, f.tagText->data(), sbl::kContextTagSize);
  qiv::store_le32(context + f.zero, 0);
}

void save_slot_numbers(std::uint8_t* table, std::uint32_t slots) {
  if (table == nullptr) return;
  for (std::uint32_t slot = 0; slot < slots; ++slot) {
    qiv::store_le32(table + slot * sbl::kServiceSlotSize, slot);
  }
}

// The private key a context is signed with: a blob, or a signer (a key in a token).
struct SigningKey {
  const std::uint8_t* blob = nullptr;
  std::uint32_t blobLen = 0;
  const QIV_SBL_SIGNER* signer = nullptr;
};

std::int32_t generate(const ContextFormat& f, const SigningKey& key,
                      const std::uint8_t* nextStageKey, const std::uint8_t* image,
                      std::uint32_t imageLen, std::uint8_t* context) {
  if (context == nullptr || (key.blob == nullptr && key.signer == nullptr)) {
    return QIV_SBL_CTX_GEN_SIGN_FAILED;
  }
  write_trailer(f, context);
  // mem_copy tolerates overlap, so a next-stage key taken from this very context is fine.
  mem_copy(context + f.nextStageKey,
           nextStageKey != nullptr ? nextStageKey : context + f.ownKeyPart, f.keyPartSize);

  Digest digest{};
  if (const std::int32_t rc = signed_digest(kGenerateCodes, f, image, imageLen, context, digest);
      rc != 0) {
    return rc;
  }
  if (f.hasSignatureLength) {
    qiv::store_le32(context + sbl::ContextV21::kSignatureLength, f.signatureSize);
  }
  // Sign into a local first: a blob for another key size would give a signature that does not
  // fit (v1.1) or a context no check accepts (v2.1), so only the exact size is taken.
  Signature signature{};
  std::uint32_t signatureLen = 0;
  const std::int32_t rc =
      key.signer != nullptr
          ? Generate_PSS_RSASignature_By(key.signer, digest.data(), QIV_SHA1_DIGEST_LEN,
                                         signature.data(), &signatureLen)
          : Generate_PSS_RSASignature(f.signatureForm, key.blob, key.blobLen, digest.data(),
                                      QIV_SHA1_DIGEST_LEN, signature.data(), &signatureLen);
  if (rc != 0 || signatureLen != f.signatureSize) {
    return QIV_SBL_CTX_GEN_SIGN_FAILED;
  }
  mem_copy(context + f.signature, signature.data(), f.signatureSize);
  return 0;
}

std::int32_t check(const ContextFormat& f, const std::uint8_t* eFuse, std::uint32_t eFuseLen,
                   std::uint8_t* context, const std::uint8_t* image, std::uint32_t imageLen) {
  if (eFuse == nullptr || context == nullptr || eFuseLen != f.eFuseSize) {
    return QIV_SBL_CTX_CHK_BAD_PARAM;
  }
  if (f.hasSignatureLength &&
      qiv::load_le32(context + sbl::ContextV21::kSignatureLength) != f.signatureSize) {
    return QIV_SBL_CTX_CHK_BAD_PARAM;
  }
  save_slot_numbers(context + f.serviceTable, f.serviceSlots);

  // Device order: trust the record through the eFuse value, then the signature through the
  // record's key.
  if (const std::int32_t rc = f.validateRecord(eFuse, eFuseLen, context + f.publicKeyInfo);
      rc != 0) {
    return rc;
  }
  Digest digest{};
  if (const std::int32_t rc = signed_digest(kCheckCodes, f, image, imageLen, context, digest);
      rc != 0) {
    return rc;
  }
  if (Verify_PSS_RSASignature(context + f.publicKeyInfo, f.keyPartSize, digest.data(),
                              QIV_SHA1_DIGEST_LEN, context + f.signature, f.signatureSize) != 0) {
    return QIV_SBL_CTX_CHK_BAD_SIGNATURE;
  }
  return 0;
}

}  // namespace

std::int32_t Generate_SB20_Context(const std::uint8_t* blob, std::uint32_t blobLen,
                                   const std::uint8_t* nextStageKey, const std::uint8_t* image,
                                   std::uint32_t imageLen, std::uint8_t* context) {
  return generate(kV21, {blob, blobLen}, nextStageKey, image, imageLen, context);
}

std::int32_t Generate_SB10_Context(const std::uint8_t* blob, std::uint32_t blobLen,
                                   const std::uint8_t* nextStageKey, const std::uint8_t* image,
                                   std::uint32_t imageLen, std::uint8_t* context) {
  return generate(kV11, {blob, blobLen}, nextStageKey, image, imageLen, context);
}

std::int32_t Check_SB20_Context(const std::uint8_t* eFuse, std::uint32_t eFuseLen,
                                std::uint8_t* context, const std::uint8_t* image,
                                std::uint32_t imageLen) {
  return check(kV21, eFuse, eFuseLen, context, image, imageLen);
}

std::int32_t Check_SB10_Context(const std::uint8_t* eFuse, std::uint32_t eFuseLen,
                                std::uint8_t* context, const std::uint8_t* image,
                                std::uint32_t imageLen) {
  return check(kV11, eFuse, eFuseLen, context, image, imageLen);
}

void save_SB20_FuncPtr(std::uint8_t* table) {
  save_slot_numbers(table, sbl::kServiceSlotsV21);
}

void save_SB10_FuncPtr(std::uint8_t* table) {
  save_slot_numbers(table, sbl::kServiceSlotsV11);
}

std::int32_t Generate_SB20_Context_By(const QIV_SBL_SIGNER* signer,
                                      const std::uint8_t* nextStageKey, const std::uint8_t* image,
                                      std::uint32_t imageLen, std::uint8_t* context) {
  return generate(kV21, {nullptr, 0, signer}, nextStageKey, image, imageLen, context);
}

std::int32_t Generate_SB10_Context_By(const QIV_SBL_SIGNER* signer,
                                      const std::uint8_t* nextStageKey, const std::uint8_t* image,
                                      std::uint32_t imageLen, std::uint8_t* context) {
  return generate(kV11, {nullptr, 0, signer}, nextStageKey, image, imageLen, context);
}
