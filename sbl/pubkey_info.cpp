// Public key information records: the bond between a stage-1 public key and the eFuse value a
// device carries.
//
//   tag   = HMAC-SHA1(integrity key, key part)
//   eFuse = first |eFuse| bytes of tag XOR integrity key
//
// so whoever holds a record and its eFuse value recovers the integrity key as eFuse XOR tag and
// can recompute the tag; nobody holding the record alone can make a new tag for changed key
// bytes. The integrity key is never stored.
#include <array>

#include "crypto/crypto.h"
#include "crypto/endian.h"
#include "crypto/wipe.h"
#include "random/random.h"
#include "sbl/layout.h"
#include "sbl/sbl.h"
#include "sbl/secret.h"

namespace {

using Tag = std::array<std::uint8_t, QIV_SHA1_DIGEST_LEN>;
using IntegrityKey = std::array<std::uint8_t, sbl::EFuseV21::kSize>;  // room for either size

// One generation of the record: its layout (sbl/layout.h) and its integrity key's size, which
// is the eFuse value's.
struct RecordFormat : sbl::RecordShape {
  std::uint32_t keySize;
};
constexpr RecordFormat kV21{sbl::kKeySetV21.record, sbl::kKeySetV21.eFuseSize};
constexpr RecordFormat kV11{sbl::kKeySetV11.record, sbl::kKeySetV11.eFuseSize};

struct HmacCodes {
  std::int32_t setInfo, init, update, final;
};
constexpr HmacCodes kGenerateCodes{QIV_SBL_PKI_GEN_HMAC_SETINFO, QIV_SBL_PKI_GEN_HMAC_INIT,
                                   QIV_SBL_PKI_GEN_HMAC_UPDATE, QIV_SBL_PKI_GEN_HMAC_FINAL};
constexpr HmacCodes kValidateCodes{QIV_SBL_PKI_VAL_HMAC_SETINFO, QIV_SBL_PKI_VAL_HMAC_INIT,
                                   QIV_SBL_PKI_VAL_HMAC_UPDATE, QIV_SBL_PKI_VAL_HMAC_FINAL};

// tag = HMAC-SHA1(key, record's key part). The HMAC state is key-equivalent and is wiped.
std::int32_t tag_key_part(const HmacCodes& codes, const RecordFormat& f, const std::uint8_t* key,
                          const std::uint8_t* record, Tag& tag) {
  qiv::Wiped<QIV_SHA1_HMAC_CTX> ctx;
  if (QIV_SHA1_HMAC_SetInfo(ctx.get(), key, f.keySize) != 0) return codes.setInfo;
  if (QIV_SHA1_HMAC_Init(ctx.get()) != 0) return codes.init;
  if (QIV_SHA1_HMAC_Update(ctx.get(), record, f.keyPartSize) != 0) return codes.update;
  if (QIV_SHA1_HMAC_Final(ctx.get(), tag.data()) != 0) return codes.final;
  return 0;
}

// Every argument fault is found before the record or the eFuse buffer is touched.
bool generation_arguments_ok(const RecordFormat& f, const std::uint8_t* givenKey,
                             std::uint32_t givenKeyLen, const std::uint32_t* modulus,
                             std::uint32_t modulusDigits, const std::uint32_t* exponent,
                             std::uint32_t exponentDigits, const std::uint8_t* eFuse,
                             const std::uint32_t* eFuseLen, const std::uint8_t* record) {
  if (modulus == nullptr || exponent == nullptr || eFuse == nullptr || eFuseLen == nullptr ||
      record == nullptr) {
    return false;
  }
  if (*eFuseLen < f.keySize) return false;
  if (modulusDigits == 0 || modulusDigits > f.maxModulusDigits || exponentDigits != 1) {
    return false;
  }
  // A given key has exactly the generation's length; (nullptr, 0) asks for a random one.
  if (givenKeyLen == 0) return givenKey == nullptr;
  return givenKeyLen == f.keySize && givenKey != nullptr;
}

void write_key_part(const RecordFormat& f, const std::uint32_t* modulus,
                    std::uint32_t modulusDigits, const std::uint32_t* exponent,
                    std::uint8_t* record) {
  mem_set(record, 0, f.size);
  qiv::store_digits(record + f.modulus, modulus, modulusDigits);
  qiv::store_digits(record + f.exponent, exponent, 1);
  if (f.hasLengthFields) {
    qiv::store_le32(record + sbl::PublicKeyInfoV21::kModulusLength,
                    modulusDigits * sbl::kDigitSize);
    qiv::store_le32(record + sbl::PublicKeyInfoV21::kExponentLength, sbl::kDigitSize);
  }
}

std::int32_t generate(const RecordFormat& f, const std::uint8_t* givenKey,
                      std::uint32_t givenKeyLen, const std::uint32_t* modulus,
                      std::uint32_t modulusDigits, const std::uint32_t* exponent,
                      std::uint32_t exponentDigits, std::uint8_t* eFuse, std::uint32_t* eFuseLen,
                      std::uint8_t* record) {
  if (!generation_arguments_ok(f, givenKey, givenKeyLen, modulus, modulusDigits, exponent,
                               exponentDigits, eFuse, eFuseLen, record)) {
    return QIV_SBL_PKI_BAD_PARAM;
  }
  write_key_part(f, modulus, modulusDigits, exponent, record);

  qiv::Wiped<IntegrityKey> key;
  if (givenKey != nullptr) {
    mem_copy(key->data(), givenKey, f.keySize);
  } else if (QIV_SHA1_PRNG_Rand(f.keySize, key->data()) != 0) {
    return QIV_SBL_PKI_BAD_PARAM;
  }
  Tag tag{};
  if (const std::int32_t rc = tag_key_part(kGenerateCodes, f, key->data(), record, tag); rc != 0) {
    return rc;
  }
  mem_copy(record + f.tag, tag.data(), QIV_SHA1_DIGEST_LEN);
  mem_xor(eFuse, tag.data(), key->data(), f.keySize);
  *eFuseLen = f.keySize;
  return 0;
}

std::int32_t validate(const RecordFormat& f, const std::uint8_t* eFuse, std::uint32_t eFuseLen,
                      std::uint8_t* record) {
  if (eFuse == nullptr || record == nullptr || eFuseLen != f.keySize) return QIV_SBL_PKI_BAD_PARAM;
  qiv::Wiped<IntegrityKey> key;
  mem_xor(key->data(), record + f.tag, eFuse, f.keySize);
  Tag tag{};
  if (const std::int32_t rc = tag_key_part(kValidateCodes, f, key->data(), record, tag); rc != 0) {
    return rc;
  }
  if (sbl::equal_in_constant_time(tag.data(), record + f.tag, QIV_SHA1_DIGEST_LEN)) return 0;
  // A record that does not belong to this eFuse value is destroyed: the caller holds nothing
  // it could trust by mistake.
  mem_set(record, 0, f.size);
  return QIV_SBL_PKI_TAG_MISMATCH;
}

}  // namespace

std::int32_t Generate_SB20_PublicKeyInfo(const std::uint8_t* givenKey, std::uint32_t givenKeyLen,
                                         const std::uint32_t* modulus, std::uint32_t modulusDigits,
                                         const std::uint32_t* exponent,
                                         std::uint32_t exponentDigits, std::uint8_t* eFuse,
                                         std::uint32_t* eFuseLen, std::uint8_t* record) {
  return generate(kV21, givenKey, givenKeyLen, modulus, modulusDigits, exponent, exponentDigits,
                  eFuse, eFuseLen, record);
}

std::int32_t Generate_SB10_PublicKeyInfo(const std::uint8_t* givenKey, std::uint32_t givenKeyLen,
                                         const std::uint32_t* modulus, std::uint32_t modulusDigits,
                                         const std::uint32_t* exponent,
                                         std::uint32_t exponentDigits, std::uint8_t* eFuse,
                                         std::uint32_t* eFuseLen, std::uint8_t* record) {
  return generate(kV11, givenKey, givenKeyLen, modulus, modulusDigits, exponent, exponentDigits,
                  eFuse, eFuseLen, record);
}

std::int32_t Validate_SB20_PublicKeyInfo(const std::uint8_t* eFuse, std::uint32_t eFuseLen,
                                         std::uint8_t* record) {
  return validate(kV21, eFuse, eFuseLen, record);
}

std::int32_t Validate_SB10_PublicKeyInfo(const std::uint8_t* eFuse, std::uint32_t eFuseLen,
                                         std::uint8_t* record) {
  return validate(kV11, eFuse, eFuseLen, record);
}
