// Private-key protection: AES-CBC over the whole file, no padding, a fixed key and IV per mode.
#include "core/key_protection.h"

#include <algorithm>
#include <array>
#include <memory>
#include <new>
#include <span>

#include "crypto/crypto.h"
#include "crypto/wipe.h"

namespace {

// The program's protection constants. They are part of the key-file format: a change makes
// every protected key file written before it unreadable.
constexpr std::array<std::uint8_t, 16> kKeyV11 = {0x24, 0x7b, 0x7a, 0xdf, 0xc5, 0x46, 0x51, 0xac,
                                                  0x00, 0xbd, 0x10, 0xae, 0xdf, 0x51, 0x91, 0x97};
constexpr std::array<std::uint8_t, 16> kIvV11 = {0xe0, 0x20, 0x7b, 0xa0, 0x99, 0xaf, 0xda, 0x85,
                                                 0xa0, 0xe3, 0xdc, 0x2f, 0x44, 0x0c, 0x48, 0x27};
constexpr std::array<std::uint8_t, 32> kKeyV21 = {
    0x9d, 0x2e, 0x50, 0xf5, 0xe1, 0x54, 0x82, 0xdf, 0x46, 0x64, 0x90, 0x04, 0x7d, 0xc8, 0xbd, 0x52,
    0x27, 0xcd, 0x51, 0x8f, 0x81, 0x47, 0x11, 0x45, 0x58, 0x23, 0x93, 0x9d, 0x12, 0x3e, 0xd5, 0xc7};
constexpr std::array<std::uint8_t, 16> kIvV21 = {0xd5, 0x0b, 0xcf, 0xaf, 0x46, 0xf5, 0x93, 0xd6,
                                                 0x95, 0xcc, 0x01, 0xe7, 0x9b, 0xc2, 0xb8, 0x79};

// One call's cipher state. Key, IV and round keys are secrets: the holder is a Wiped<>.
struct ProtectionCipher {
  std::array<std::uint8_t, 32> key;
  std::array<std::uint8_t, 16> iv;
  QIV_AES_CTX aes;
};

enum class Direction { kEncrypt, kDecrypt };

// Builds the mode's key and IV in the cipher record and starts one CBC message from the IV.
std::int32_t start(ProtectionCipher& cipher, std::int32_t mode, Direction direction) {
  const std::span<const std::uint8_t> key =
      mode == kProtectionV11 ? std::span<const std::uint8_t>(kKeyV11) : kKeyV21;
  const std::span<const std::uint8_t> iv =
      mode == kProtectionV11 ? std::span<const std::uint8_t>(kIvV11) : kIvV21;
  std::copy(key.begin(), key.end(), cipher.key.begin());
  std::copy(iv.begin(), iv.end(), cipher.iv.begin());

  const std::int32_t setUp =
      QIV_AES_SetInfo(&cipher.aes, QIV_AES_ENCRYPT | QIV_AES_ENC_DEC, cipher.key.data(),
                      static_cast<std::uint32_t>(key.size()), cipher.iv.data(),
                      static_cast<std::uint32_t>(cipher.iv.size()), QIV_PAD_NONE, 0);
  if (setUp != 0) return QIV_KEYPROT_SETUP_FAILED;
  const std::int32_t started = direction == Direction::kEncrypt ? QIV_AES_CBC_EncInit(&cipher.aes)
                                                                : QIV_AES_CBC_DecInit(&cipher.aes);
  return started == 0 ? 0 : QIV_KEYPROT_SETUP_FAILED;
}

// Without padding the message must be whole blocks; an empty one is no key file either.
bool protectable(const std::uint8_t* buffer, std::uint32_t length) {
  return buffer != nullptr && length != 0 && length % QIV_AES_BLOCK_LEN == 0;
}

}  // namespace

std::int32_t do_PrivateKey_Encrypt(std::int32_t mode, std::uint8_t* buffer, std::uint32_t length) {
  if (!protectable(buffer, length)) return QIV_KEYPROT_CIPHER_FAILED;
  qiv::Wiped<ProtectionCipher> cipher;
  if (const std::int32_t rc = start(*cipher, mode, Direction::kEncrypt); rc != 0) return rc;

  // The ciphertext goes aside first so that a failure leaves the plaintext intact. The final
  // call may write one more block (it does not, for whole blocks without padding): room for it.
  qiv::SecretBuffer out(std::size_t{length} + QIV_AES_BLOCK_LEN);
  if (!out.ok()) return QIV_KEYPROT_CIPHER_FAILED;
  std::uint32_t updated = length;
  std::uint32_t finished = 0;
  if (QIV_AES_CBC_EncUpdate(&cipher->aes, buffer, length, out.data(), &updated) != 0 ||
      QIV_AES_CBC_EncFinal(&cipher->aes, out.data() + updated, &finished) != 0 ||
      updated + finished != length) {
    return QIV_KEYPROT_CIPHER_FAILED;
  }
  std::copy_n(out.data(), length, buffer);
  return 0;
}

std::int32_t do_PrivateKey_Decrypt(std::int32_t mode, std::uint8_t* buffer, std::uint32_t length) {
  if (!protectable(buffer, length)) return QIV_KEYPROT_CIPHER_FAILED;
  qiv::Wiped<ProtectionCipher> cipher;
  if (const std::int32_t rc = start(*cipher, mode, Direction::kDecrypt); rc != 0) return rc;

  // Decryption works in place: the update decrypts all but the last block and holds that one
  // back; the final call writes it right after the update's output.
  std::uint32_t updated = length;
  std::uint32_t finished = 0;
  if (QIV_AES_CBC_DecUpdate(&cipher->aes, buffer, length, buffer, &updated) != 0 ||
      QIV_AES_CBC_DecFinal(&cipher->aes, buffer + updated, &finished) != 0 ||
      updated + finished != length) {
    return QIV_KEYPROT_CIPHER_FAILED;
  }
  return 0;
}
