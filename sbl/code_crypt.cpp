// Encryption of first-stage code (v2.1): AES-128-CBC without padding under a key that only the
// eFuse value and the stage-1 record together yield.
//
//   key = record tag[0..15] XOR eFuse[0..15]   (the first half of the integrity key)
//   IV  = SHA-1(record key part)[0..15]
//
// Only the stage-1 record inside the context (bytes 528..815) is read, so the key and IV do not
// depend on anything generation or checking later writes into the context.
#include <algorithm>
#include <array>

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

// The encryption context needs only the encryption schedule; the context of the trial (and
// of Decrypt_Code) both, as the library builds them together.
constexpr std::uint32_t kEncryptFlags = QIV_AES_ENCRYPT;
constexpr std::uint32_t kDecryptFlags = QIV_AES_ENCRYPT | QIV_AES_ENC_DEC;

// Encrypt_Code works through the code in chunks of this many bytes, a whole number of blocks:
// its two scratch buffers (the ciphertext and the trial decryption of one chunk) stay this size
// whatever the length of the code, and small enough to stay in the cache between the two passes.
constexpr std::uint32_t kChunkSize = 64 * 1024;
static_assert(kChunkSize % QIV_AES_BLOCK_LEN == 0);

std::uint32_t chunk_size() {
  const std::uint32_t c = sbl::seam::chunk_size;
  return c != 0 && c % QIV_AES_BLOCK_LEN == 0 ? c : kChunkSize;
}

std::int32_t derive(const std::uint8_t* eFuse, std::uint32_t eFuseLen, const std::uint8_t* context,
                    AesKey& key, Iv& iv) {
  constexpr std::uint32_t keyLen = kAesKeySize;
  constexpr std::uint32_t ivLen = kIvSize;
  return Make_AES_Param(eFuse, eFuseLen, context, key.data(), &keyLen, iv.data(), &ivLen);
}

std::int32_t set_up(QIV_AES_CTX* aes, std::uint32_t flags, const AesKey& key, const Iv& iv) {
  return QIV_AES_SetInfo(aes, flags, key.data(), kAesKeySize, iv.data(), kIvSize, QIV_PAD_NONE, 0);
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

// The same, chained on `chain` instead (the IV, or the last ciphertext block before data): CBC
// decrypts any run of whole blocks on its own given the block in front of it. The context keeps
// its key schedules; only its IV is replaced.
bool decrypt_in_place_from(QIV_AES_CTX* aes, const Iv& chain, std::uint8_t* data,
                           std::uint32_t n) {
  return QIV_AES_SetInfo(aes, QIV_AES_KEEP, nullptr, 0, chain.data(), kIvSize, 0, 0) == 0 &&
         decrypt_in_place(aes, data, n);
}

// The two contexts of an encryption and its scratch buffers, one chunk each.
struct ChunkCipher {
  QIV_AES_CTX* enc;  // one stream over the whole code: it carries the chaining value on
  QIV_AES_CTX* dec;  // restarted for each chunk from the block in front of it
  std::uint8_t* cipher;
  std::uint8_t* trial;
};

// Encrypts plain[0, n) into c.cipher and proves it: the trial decryption of a copy, chained on
// the block in front of the chunk, must give the plain bytes back. n is whole blocks, so the
// stream buffers nothing and the update writes exactly n bytes.
std::int32_t encrypt_and_prove(const ChunkCipher& c, const Iv& chain, const std::uint8_t* plain,
                               std::uint32_t n) {
  std::uint32_t written = n;
  if (QIV_AES_CBC_EncUpdate(c.enc, plain, n, c.cipher, &written) != 0 || written != n) {
    return QIV_SBL_AES_ENCRYPT_FAILED;
  }
  if (sbl::seam::after_code_encryption != nullptr) sbl::seam::after_code_encryption(c.cipher, n);
  mem_copy(c.trial, c.cipher, n);
  if (!decrypt_in_place_from(c.dec, chain, c.trial, n)) return QIV_SBL_AES_DECRYPT_FAILED;
  if (mem_compare(c.trial, plain, n) != 0) return QIV_SBL_AES_ENCRYPT_FAILED;
  return 0;
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

// Chunk by chunk: each chunk's ciphertext is proven before it replaces that chunk of the code,
// and the chaining value carries from one chunk to the next, so the result is byte for byte the
// one-shot CBC encryption. A failure in chunk k leaves chunks [0, k) encrypted and proven; they
// are decrypted back in place, which gives exactly the code they replaced (each has just been
// proven to decrypt to it), so the caller never sees half-encrypted code.
std::int32_t Encrypt_Code(const std::uint8_t* eFuse, std::uint32_t eFuseLen,
                          const std::uint8_t* context, std::uint8_t* code, std::uint32_t codeLen) {
  qiv::Wiped<AesKey> key;
  Iv iv{};
  if (const std::int32_t rc = derive(eFuse, eFuseLen, context, *key, iv); rc != 0) return rc;
  // No padding: a length that is not whole blocks cannot be encrypted.
  if (code == nullptr || codeLen % QIV_AES_BLOCK_LEN != 0) return QIV_SBL_AES_ENCRYPT_FAILED;

  const std::uint32_t chunk = std::min(codeLen, chunk_size());
  qiv::SecretBuffer cipher(chunk);
  qiv::SecretBuffer trial(chunk);
  if (!cipher.ok() || !trial.ok() || sbl::seam::scratch_unavailable) return QIV_SBL_AES_NO_MEMORY;
  qiv::Wiped<QIV_AES_CTX> enc;
  qiv::Wiped<QIV_AES_CTX> dec;
  if (set_up(enc.get(), kEncryptFlags, *key, iv) != 0 ||
      set_up(dec.get(), kDecryptFlags, *key, iv) != 0 || QIV_AES_CBC_EncInit(enc.get()) != 0) {
    return QIV_SBL_AES_SETUP_FAILED;
  }

  const ChunkCipher c{enc.get(), dec.get(), cipher.data(), trial.data()};
  Iv chain = iv;  // the block in front of the next chunk: the IV, then the last ciphertext block
  for (std::uint32_t done = 0; done < codeLen;) {
    const std::uint32_t n = std::min(chunk, codeLen - done);
    if (const std::int32_t rc = encrypt_and_prove(c, chain, code + done, n); rc != 0) {
      // Cannot fail: this context has just decrypted each of these chunks the same way.
      static_cast<void>(decrypt_in_place_from(dec.get(), iv, code, done));
      return rc;
    }
    mem_copy(code + done, cipher.data(), n);
    mem_copy(chain.data(), cipher.data() + n - kIvSize, kIvSize);
    done += n;
  }
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
  if (set_up(aes.get(), kDecryptFlags, *key, iv) != 0) return QIV_SBL_AES_SETUP_FAILED;
  if (!decrypt_in_place(aes.get(), code, codeLen)) return QIV_SBL_AES_DECRYPT_FAILED;
  return 0;
}
