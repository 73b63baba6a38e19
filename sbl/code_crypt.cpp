// Encryption of first-stage code (v2.1): AES-128-CBC without padding under a key that only the
// eFuse value and the stage-1 record together yield.
//
//   key = record tag[0..15] XOR eFuse[0..15]   (the first half of the integrity key)
//   IV  = SHA-1(record key part)[0..15]
//
// Only the stage-1 record inside the context (bytes 528..815) is read, so the key and IV do not
// depend on anything generation or checking later writes into the context.
#include <array>
#include <memory>
#include <new>

#include "crypto/crypto.h"
#include "crypto/wipe.h"
#include "sbl/code_crypt_seam.h"
#include "sbl/layout.h"
#include "sbl/sbl.h"

namespace {

constexpr std::uint32_t kAesKeySize = 16;
constexpr std::uint32_t kIvSize = 16;
using AesKey = std::array<std::uint8_t, kAesKeySize>;
using Iv = std::array<std::uint8_t, kIvSize>;

// Both key schedules: encryption, then the trial decryption on the same context.
constexpr std::uint32_t kAesFlags = QIV_AES_ENCRYPT | QIV_AES_ENC_DEC;

std::int32_t derive(const std::uint8_t* eFuse, std::uint32_t eFuseLen, const std::uint8_t* context,
                    AesKey& key, Iv& iv) {
  constexpr std::uint32_t keyLen = kAesKeySize;
  constexpr std::uint32_t ivLen = kIvSize;
  return Make_AES_Param(eFuse, eFuseLen, context, key.data(), &keyLen, iv.data(), &ivLen);
}

std::int32_t set_up(QIV_AES_CTX* aes, const AesKey& key, const Iv& iv) {
  return QIV_AES_SetInfo(aes, kAesFlags, key.data(), kAesKeySize, iv.data(), kIvSize, QIV_PAD_NONE,
                         0);
}

// CBC decryption of n bytes in place, from the stored IV. The update holds back the last block;
// the final call writes it right after the update's output. Each call gets the room left as
// its capacity. True when all n bytes came out.
bool decrypt_in_place(QIV_AES_CTX* aes, std::uint8_t* data, std::uint32_t n) {
  if (QIV_AES_CBC_DecInit(aes) != 0) return false;
  std::uint32_t updated = n;
  if (QIV_AES_CBC_DecUpdate(aes, data, n, data, &updated) != 0 || updated > n) return false;
  std::uint32_t finished = n - updated;
  if (QIV_AES_CBC_DecFinal(aes, data + updated, &finished) != 0) return false;
  return updated + finished == n;
}

}  // namespace

std::int32_t Make_AES_Param(const std::uint8_t* eFuse, std::uint32_t eFuseLen,
                            const std::uint8_t* context, std::uint8_t* key,
                            const std::uint32_t* keyLen, std::uint8_t* iv,
                            const std::uint32_t* ivLen) {
  if (keyLen == nullptr || ivLen == nullptr || *keyLen != kAesKeySize || *ivLen != kIvSize ||
      key == nullptr || iv == nullptr) {
    return QIV_SBL_AES_BAD_PARAM;
  }
  if (eFuse == nullptr || context == nullptr || eFuseLen != sbl::EFuseV21::kSize) {
    return QIV_SBL_AES_BAD_PARAM;
  }
  mem_set(key, 0, kAesKeySize);
  mem_set(iv, 0, kIvSize);
  mem_xor(key, context + sbl::ContextV21::kOwnTag, eFuse, kAesKeySize);

  std::array<std::uint8_t, QIV_SHA1_DIGEST_LEN> digest{};
  QIV_SHA1_CTX sha{};
  if (QIV_SHA1_Init(&sha) != 0 ||
      QIV_SHA1_Update(&sha, context + sbl::ContextV21::kOwnKeyPart,
                      sbl::PublicKeyInfoV21::kKeyPartSize) != 0 ||
      QIV_SHA1_Final(&sha, digest.data()) != 0) {
    return QIV_SBL_AES_BAD_PARAM;
  }
  mem_copy(iv, digest.data(), kIvSize);
  return 0;
}

std::int32_t Encrypt_Code(const std::uint8_t* eFuse, std::uint32_t eFuseLen,
                          const std::uint8_t* context, std::uint8_t* code, std::uint32_t codeLen) {
  qiv::Wiped<AesKey> key;
  Iv iv{};
  if (const std::int32_t rc = derive(eFuse, eFuseLen, context, *key, iv); rc != 0) return rc;
  if (code == nullptr) return QIV_SBL_AES_ENCRYPT_FAILED;

  qiv::SecretBuffer cipher(codeLen);
  if (!cipher.ok()) return QIV_SBL_AES_ENCRYPT_FAILED;
  qiv::Wiped<QIV_AES_CTX> aes;
  if (set_up(aes.get(), *key, iv) != 0 || QIV_AES_CBC_EncInit(aes.get()) != 0) {
    return QIV_SBL_AES_SETUP_FAILED;
  }
  // With no padding a length that is not whole blocks fails in the final call, which finds
  // the incomplete block still buffered.
  std::uint32_t updated = codeLen;
  if (QIV_AES_CBC_EncUpdate(aes.get(), code, codeLen, cipher.data(), &updated) != 0 ||
      updated > codeLen) {
    return QIV_SBL_AES_ENCRYPT_FAILED;
  }
  std::uint32_t finished = codeLen - updated;
  if (QIV_AES_CBC_EncFinal(aes.get(), cipher.data() + updated, &finished) != 0 ||
      updated + finished != codeLen) {
    return QIV_SBL_AES_ENCRYPT_FAILED;
  }

  if (sbl::seam::after_code_encryption != nullptr) {
    sbl::seam::after_code_encryption(cipher.data(), codeLen);
  }
  // Prove the ciphertext before it replaces the code: decrypt a copy and compare.
  qiv::SecretBuffer trial(codeLen);
  if (!trial.ok()) return QIV_SBL_AES_ENCRYPT_FAILED;
  mem_copy(trial.data(), cipher.data(), codeLen);
  if (!decrypt_in_place(aes.get(), trial.data(), codeLen)) return QIV_SBL_AES_DECRYPT_FAILED;
  if (mem_compare(trial.data(), code, codeLen) != 0) return QIV_SBL_AES_ENCRYPT_FAILED;

  mem_copy(code, cipher.data(), codeLen);
  return 0;
}

std::int32_t Decrypt_Code(const std::uint8_t* eFuse, std::uint32_t eFuseLen,
                          const std::uint8_t* context, std::uint8_t* code, std::uint32_t codeLen) {
  qiv::Wiped<AesKey> key;
  Iv iv{};
  if (const std::int32_t rc = derive(eFuse, eFuseLen, context, *key, iv); rc != 0) return rc;
  // Decryption works in place: refuse what cannot succeed before a byte is changed.
  if (code == nullptr || codeLen % QIV_AES_BLOCK_LEN != 0) return QIV_SBL_AES_DECRYPT_FAILED;

  qiv::Wiped<QIV_AES_CTX> aes;
  if (set_up(aes.get(), *key, iv) != 0) return QIV_SBL_AES_SETUP_FAILED;
  if (!decrypt_in_place(aes.get(), code, codeLen)) return QIV_SBL_AES_DECRYPT_FAILED;
  return 0;
}
