// Byte layouts of the secure-boot records: the public key information record, the eFuse value,
// the stage-1 contexts with their service table, and the private key blob handed to the signing
// wrappers. Every offset and size is named here once; code and tests say
// `ctx + ContextV21::kSignature`, never a bare number.
//
// Encoding shared by every record: integers are 32-bit little-endian; a big number (modulus,
// exponent, signature) is its digit array as it lies in memory, least significant digit first,
// each digit little-endian, so the whole field is the number least significant byte first.
// Bytes of a field above the number's digits are zero.
#pragma once

#include <array>
#include <cstdint>

namespace sbl {

// Digits are 32 bits; a field of n bytes holds n / 4 digits.
inline constexpr std::uint32_t kDigitSize = 4;

// ---------------------------------------------------------------------------------------------
// Public key information record, v2.1: 288 bytes. Bytes [0, kKeyPartSize) are the key part that
// the integrity tag covers, that a context embeds as a next-stage key and that the code IV is
// derived from.
struct PublicKeyInfoV21 {
  static constexpr std::uint32_t kModulusLength = 0;  // u32: 4 x modulus digit count
  static constexpr std::uint32_t kModulus = 4;        // 64 digits
  static constexpr std::uint32_t kModulusSize = 256;
  static constexpr std::uint32_t kExponentLength = 260;  // u32: 4 x exponent digit count (4)
  static constexpr std::uint32_t kExponent = 264;        // one digit
  static constexpr std::uint32_t kExponentSize = 4;
  static constexpr std::uint32_t kTag = 268;  // HMAC-SHA1 over the key part
  static constexpr std::uint32_t kTagSize = 20;
  static constexpr std::uint32_t kKeyPartSize = 268;
  static constexpr std::uint32_t kSize = 288;
  static constexpr std::uint32_t kMaxModulusDigits = kModulusSize / kDigitSize;  // 64
};

// Public key information record, v1.1: 152 bytes, no length fields (32-digit modulus, one-digit
// exponent implied). Bytes [0, kKeyPartSize) are its key part.
struct PublicKeyInfoV11 {
  static constexpr std::uint32_t kModulus = 0;  // 32 digits
  static constexpr std::uint32_t kModulusSize = 128;
  static constexpr std::uint32_t kExponent = 128;  // one digit
  static constexpr std::uint32_t kExponentSize = 4;
  static constexpr std::uint32_t kTag = 132;
  static constexpr std::uint32_t kTagSize = 20;
  static constexpr std::uint32_t kKeyPartSize = 132;
  static constexpr std::uint32_t kSize = 152;
  static constexpr std::uint32_t kMaxModulusDigits = kModulusSize / kDigitSize;  // 32
};

// eFuse value = integrity tag (first kSize bytes) XOR integrity key. The integrity key has the
// same length; the first 16 bytes of the v2.1 integrity key are the code-encryption AES key.
struct EFuseV21 {
  static constexpr std::uint32_t kSize = 20;
};
struct EFuseV11 {
  static constexpr std::uint32_t kSize = 16;
};

// ---------------------------------------------------------------------------------------------
// Service table: one 32-bit slot per routine a later boot stage uses, in this fixed order. The
// value stored in each slot is the slot number itself (ServiceSlot value), little-endian.
enum class ServiceSlot : std::uint32_t {
  kMemCompare = 0,
  kMemCopy = 1,
  kMemSet = 2,
  kMemXor = 3,
  kSha1Init = 4,
  kSha1Update = 5,
  kSha1Final = 6,
  kHmacSetInfo = 7,
  kHmacInit = 8,
  kHmacUpdate = 9,
  kHmacFinal = 10,
  kVerifyPssSignature = 11,
  kVerifyPssSignature2 = 12,
  kMakeAesParam = 13,
  kAesEncryptBlock = 14,
  kAesDecryptBlock = 15,
  kAesSetInfo = 16,
  kAesCbcEncInit = 17,
  kAesCbcEncUpdate = 18,
  kAesCbcEncFinal = 19,
  kAesCbcDecInit = 20,
  kAesCbcDecUpdate = 21,
  kAesCbcDecFinal = 22,
  kDecryptCode = 23,
};
inline constexpr std::uint32_t kServiceSlotSize = 4;
inline constexpr std::uint32_t kServiceSlotsV21 = 24;  // slots 0..23
inline constexpr std::uint32_t kServiceSlotsV11 = 12;  // slots 0..11

// Context tag texts: exactly 12 ASCII bytes, stored without a terminator.
inline constexpr std::uint32_t kContextTagSize = 12;
inline constexpr std::array<std::uint8_t, kContextTagSize> kContextTagV21 = {
    'S', 'B', '2', '0', '_', 'C', 'O', 'N', 'T', 'E', 'X', 'T'};
inline constexpr std::array<std::uint8_t, kContextTagSize> kContextTagV11 = {
    'S', 'B', '1', '0', '_', 'C', 'O', 'N', 'T', 'E', 'X', 'T'};
inline constexpr std::uint8_t kContextFillerByte = 0xAA;

// ---------------------------------------------------------------------------------------------
// Stage-1 context, v2.1: 1024 bytes. The signature covers SHA-1(image || next-stage key) only.
struct ContextV21 {
  static constexpr std::uint32_t kNextStageKey = 0;  // a v2.1 key part
  static constexpr std::uint32_t kNextStageKeySize = PublicKeyInfoV21::kKeyPartSize;  // 268
  static constexpr std::uint32_t kSignatureLength = 268;  // u32, must be 256
  static constexpr std::uint32_t kSignature = 272;        // 64 digits
  static constexpr std::uint32_t kSignatureSize = 256;
  static constexpr std::uint32_t kPublicKeyInfo = 528;  // stage-1 record, v2.1 layout
  static constexpr std::uint32_t kPublicKeyInfoSize = PublicKeyInfoV21::kSize;  // 288
  static constexpr std::uint32_t kServiceTable = 816;
  static constexpr std::uint32_t kServiceTableSize = kServiceSlotsV21 * kServiceSlotSize;  // 96
  static constexpr std::uint32_t kReserved = 912;
  static constexpr std::uint32_t kReservedSize = 32;
  static constexpr std::uint32_t kTag = 944;
  static constexpr std::uint32_t kZero = 956;  // u32 0
  static constexpr std::uint32_t kZeroSize = 4;
  static constexpr std::uint32_t kFiller = 960;  // 0xAA bytes up to the end
  static constexpr std::uint32_t kFillerSize = 64;
  static constexpr std::uint32_t kSize = 1024;
  // Generation fills the trailer [kTag, kSize) with 0xAA, then writes tag and zero word over it.
  static constexpr std::uint32_t kTrailer = kTag;
  // Where the stage-1 record's fields land inside the context.
  static constexpr std::uint32_t kOwnKeyPart = kPublicKeyInfo;
  static constexpr std::uint32_t kOwnTag = kPublicKeyInfo + PublicKeyInfoV21::kTag;  // 796
};

// Stage-1 context, v1.1: 512 bytes. No signature length field: the signature is always 128
// bytes.
struct ContextV11 {
  static constexpr std::uint32_t kNextStageKey = 0;  // modulus (128) then exponent (4)
  static constexpr std::uint32_t kNextStageKeySize = PublicKeyInfoV11::kKeyPartSize;  // 132
  static constexpr std::uint32_t kSignature = 132;                                    // 32 digits
  static constexpr std::uint32_t kSignatureSize = 128;
  static constexpr std::uint32_t kPublicKeyInfo = 260;  // stage-1 record, v1.1 layout
  static constexpr std::uint32_t kPublicKeyInfoSize = PublicKeyInfoV11::kSize;  // 152
  static constexpr std::uint32_t kServiceTable = 412;
  static constexpr std::uint32_t kServiceTableSize = kServiceSlotsV11 * kServiceSlotSize;  // 48
  static constexpr std::uint32_t kReserved = 460;
  static constexpr std::uint32_t kReservedSize = 16;
  static constexpr std::uint32_t kTag = 476;
  static constexpr std::uint32_t kZero = 488;
  static constexpr std::uint32_t kZeroSize = 4;
  static constexpr std::uint32_t kFiller = 492;
  static constexpr std::uint32_t kFillerSize = 20;
  static constexpr std::uint32_t kSize = 512;
  static constexpr std::uint32_t kTrailer = kTag;
  static constexpr std::uint32_t kOwnKeyPart = kPublicKeyInfo;
};

// ---------------------------------------------------------------------------------------------
// Private key blob: a sequence of components, each a u32 byte length L (a multiple of 4)
// followed by L bytes of the number in digit layout. The components appear in the order below;
// the plain form has no public exponent, and signing in plain form reads only n and d.
struct PrivateKeyBlob {
  static constexpr std::uint32_t kLengthFieldSize = 4;

  enum class CrtComponent : std::uint32_t { kN, kE, kD, kP, kQ, kDP, kDQ, kQInv, kCount };
  enum class PlainComponent : std::uint32_t { kN, kD, kP, kQ, kDP, kDQ, kQInv, kCount };
  // Components the plain-form signature reads; any after them are ignored.
  static constexpr std::uint32_t kPlainComponentsUsed = 2;

  // Byte lengths of the components of a full-size key, as the key generator makes them.
  static constexpr std::array<std::uint32_t, 8> kCrtFullSizes = {256, 4,   256, 128,
                                                                 128, 128, 128, 128};
  static constexpr std::array<std::uint32_t, 7> kPlainFullSizes = {128, 128, 64, 64, 64, 64, 64};
  static constexpr std::uint32_t kCrtFullSize = 1188;   // v2.1 (RSA-2048, e = 3)
  static constexpr std::uint32_t kPlainFullSize = 604;  // v1.1 (RSA-1024, plain form)

  // Modulus sizes a blob may carry (digits). Above 64 the 256-byte PSS encoding overflows;
  // below 11 a 20-byte salt no longer fits beside the digest.
  static constexpr std::uint32_t kMinModulusDigits = 11;
  static constexpr std::uint32_t kMaxModulusDigits = 64;
};

// ---------------------------------------------------------------------------------------------
// The two key sets as data: everything that tells v2.1 from v1.1, from the key's shape to the
// file names. Every layer reads its differences from here instead of writing them out again.

struct RecordShape {  // the public key information record
  std::uint32_t size;
  std::uint32_t keyPartSize;
  std::uint32_t modulus;
  std::uint32_t maxModulusDigits;
  std::uint32_t exponent;
  std::uint32_t tag;
  bool hasLengthFields;  // v2.1 stores the byte lengths of modulus and exponent before them
};

struct ContextShape {  // the stage-1 context
  std::uint32_t size;
  std::uint32_t nextStageKey;
  std::uint32_t keyPartSize;  // next-stage key and the record's own key part
  std::uint32_t ownKeyPart;
  std::uint32_t signature;
  std::uint32_t signatureSize;
  bool hasSignatureLength;  // v2.1 only: u32 at ContextV21::kSignatureLength
  std::uint32_t publicKeyInfo;
  std::uint32_t serviceTable;
  std::uint32_t serviceSlots;
  std::uint32_t trailer;  // [trailer, size) is filler with tag and zero word over it
  std::uint32_t tag;
  const std::array<std::uint8_t, kContextTagSize>* tagText;
  std::uint32_t zero;
};

struct KeyFileNames {  // in the current folder; a customer's are base name + suffix
  const char* makerEFuse;
  const char* makerPublicKey;
  const char* makerPrivateKey;
  const char* stage2PublicKey;  // the customer's public key under the name stage 1 reads
  const char* customerPublicSuffix;
  const char* customerPrivateSuffix;
};

struct KeySetLayout {
  const char* name;  // "v2.1", "v1.1"
  std::uint32_t modulusBits;
  std::uint32_t publicExponent;
  bool crtSigning;  // private key blobs and signatures in CRT form (v2.1) or plain (v1.1)
  std::uint32_t eFuseSize;
  RecordShape record;
  ContextShape context;
  KeyFileNames files;
};

inline constexpr KeySetLayout kKeySetV21{
    .name = "v2.1",
    .modulusBits = 2048,
    .publicExponent = 3,
    .crtSigning = true,
    .eFuseSize = EFuseV21::kSize,
    .record = {PublicKeyInfoV21::kSize, PublicKeyInfoV21::kKeyPartSize, PublicKeyInfoV21::kModulus,
               PublicKeyInfoV21::kMaxModulusDigits, PublicKeyInfoV21::kExponent,
               PublicKeyInfoV21::kTag, true},
    .context = {ContextV21::kSize, ContextV21::kNextStageKey, ContextV21::kNextStageKeySize,
                ContextV21::kOwnKeyPart, ContextV21::kSignature, ContextV21::kSignatureSize, true,
                ContextV21::kPublicKeyInfo, ContextV21::kServiceTable, kServiceSlotsV21,
                ContextV21::kTrailer, ContextV21::kTag, &kContextTagV21, ContextV21::kZero},
    .files = {"eFuseData_V21.dat", "publicKeyInfo_V21.dat", "privateKey_V21.dat",
              "publicKeyInfo_V21_stage2.dat", "_V21.spk", "_V21.prv"},
};

inline constexpr KeySetLayout kKeySetV11{
    .name = "v1.1",
    .modulusBits = 1024,
    .publicExponent = 65537,
    .crtSigning = false,
    .eFuseSize = EFuseV11::kSize,
    .record = {PublicKeyInfoV11::kSize, PublicKeyInfoV11::kKeyPartSize, PublicKeyInfoV11::kModulus,
               PublicKeyInfoV11::kMaxModulusDigits, PublicKeyInfoV11::kExponent,
               PublicKeyInfoV11::kTag, false},
    .context = {ContextV11::kSize, ContextV11::kNextStageKey, ContextV11::kNextStageKeySize,
                ContextV11::kOwnKeyPart, ContextV11::kSignature, ContextV11::kSignatureSize, false,
                ContextV11::kPublicKeyInfo, ContextV11::kServiceTable, kServiceSlotsV11,
                ContextV11::kTrailer, ContextV11::kTag, &kContextTagV11, ContextV11::kZero},
    .files = {"eFuseData.dat", "publicKeyInfo.dat", "privateKey.dat", "stage2_key.spk", ".spk",
              ".prv"},
};

// A set's key is one modulus long in every field that holds it, its signature too.
static_assert(kKeySetV21.modulusBits == 8 * PublicKeyInfoV21::kModulusSize &&
              kKeySetV21.context.signatureSize == PublicKeyInfoV21::kModulusSize);
static_assert(kKeySetV11.modulusBits == 8 * PublicKeyInfoV11::kModulusSize &&
              kKeySetV11.context.signatureSize == PublicKeyInfoV11::kModulusSize);

// ---------------------------------------------------------------------------------------------
// The tables above are contiguous and sum to their record sizes.
namespace layout_checks {
using V21 = PublicKeyInfoV21;
static_assert(V21::kModulus == V21::kModulusLength + 4);
static_assert(V21::kExponentLength == V21::kModulus + V21::kModulusSize);
static_assert(V21::kExponent == V21::kExponentLength + 4);
static_assert(V21::kTag == V21::kExponent + V21::kExponentSize);
static_assert(V21::kKeyPartSize == V21::kTag && V21::kSize == V21::kTag + V21::kTagSize);

using V11 = PublicKeyInfoV11;
static_assert(V11::kExponent == V11::kModulus + V11::kModulusSize);
static_assert(V11::kTag == V11::kExponent + V11::kExponentSize);
static_assert(V11::kKeyPartSize == V11::kTag && V11::kSize == V11::kTag + V11::kTagSize);
static_assert(EFuseV21::kSize == V21::kTagSize && EFuseV11::kSize < V11::kTagSize);

using C21 = ContextV21;
static_assert(C21::kSignatureLength == C21::kNextStageKey + C21::kNextStageKeySize);
static_assert(C21::kSignature == C21::kSignatureLength + 4);
static_assert(C21::kPublicKeyInfo == C21::kSignature + C21::kSignatureSize);
static_assert(C21::kServiceTable == C21::kPublicKeyInfo + C21::kPublicKeyInfoSize);
static_assert(C21::kReserved == C21::kServiceTable + C21::kServiceTableSize);
static_assert(C21::kTag == C21::kReserved + C21::kReservedSize);
static_assert(C21::kZero == C21::kTag + kContextTagSize);
static_assert(C21::kFiller == C21::kZero + C21::kZeroSize);
static_assert(C21::kSize == C21::kFiller + C21::kFillerSize);

using C11 = ContextV11;
static_assert(C11::kSignature == C11::kNextStageKey + C11::kNextStageKeySize);
static_assert(C11::kPublicKeyInfo == C11::kSignature + C11::kSignatureSize);
static_assert(C11::kServiceTable == C11::kPublicKeyInfo + C11::kPublicKeyInfoSize);
static_assert(C11::kReserved == C11::kServiceTable + C11::kServiceTableSize);
static_assert(C11::kTag == C11::kReserved + C11::kReservedSize);
static_assert(C11::kZero == C11::kTag + kContextTagSize);
static_assert(C11::kFiller == C11::kZero + C11::kZeroSize);
static_assert(C11::kSize == C11::kFiller + C11::kFillerSize);

constexpr std::uint32_t blob_size(auto sizes) {
  std::uint32_t total = 0;
  for (std::uint32_t s : sizes) total += PrivateKeyBlob::kLengthFieldSize + s;
  return total;
}
static_assert(blob_size(PrivateKeyBlob::kCrtFullSizes) == PrivateKeyBlob::kCrtFullSize);
static_assert(blob_size(PrivateKeyBlob::kPlainFullSizes) == PrivateKeyBlob::kPlainFullSize);
static_assert(PrivateKeyBlob::kCrtFullSizes.size() ==
              static_cast<std::uint32_t>(PrivateKeyBlob::CrtComponent::kCount));
static_assert(PrivateKeyBlob::kPlainFullSizes.size() ==
              static_cast<std::uint32_t>(PrivateKeyBlob::PlainComponent::kCount));
}  // namespace layout_checks

}  // namespace sbl
