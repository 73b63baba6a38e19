// Protection of private key files: the whole file is one AES-CBC message without padding,
// under a key and IV built into the program. It keeps casual readers out of a key file; it is
// no substitute for keeping the file itself private (files are also created 0600).
//
// The keys and IVs are fixed constants of the program: key files written by one build are
// readable by every build with the same constants. Changing them orphans every key file in use.
#pragma once

#include <cstdint>

#include "sbl/sbl.h"

// Protection modes. Any value other than kProtectionV11 selects the v2.1 protection.
inline constexpr std::int32_t kProtectionV11 = 1;  // AES-128-CBC
inline constexpr std::int32_t kProtectionV21 = 2;  // AES-256-CBC

// Results besides 0. The codes are those of the record library's code encryption, whose
// failures they mirror.
inline constexpr std::int32_t QIV_KEYPROT_SETUP_FAILED = QIV_SBL_AES_SETUP_FAILED;     // -544768
inline constexpr std::int32_t QIV_KEYPROT_CIPHER_FAILED = QIV_SBL_AES_ENCRYPT_FAILED;  // -540672

// Encrypts length bytes of buffer in place. length must be a non-zero multiple of 16 (key
// files are zero-filled to one). The ciphertext is built aside and copied over the buffer only
// when every step succeeded: on failure the buffer still holds its plaintext.
// 0; QIV_KEYPROT_SETUP_FAILED (cipher set-up or start failed); QIV_KEYPROT_CIPHER_FAILED
// (length 0 or not a multiple of 16, a null buffer, no memory, or a failed cipher step).
[[nodiscard]] std::int32_t do_PrivateKey_Encrypt(std::int32_t mode, std::uint8_t* buffer,
                                                 std::uint32_t length);

// Decrypts length bytes of buffer in place; results as for encryption. A length of 0 or one
// that is not a multiple of 16 is refused before the buffer is touched; after a failed cipher
// step the buffer may be partly decrypted, and callers must not use it.
// Decryption under the wrong mode succeeds and yields garbage: callers check the shape of what
// they decrypted (key_files.h) before using it.
[[nodiscard]] std::int32_t do_PrivateKey_Decrypt(std::int32_t mode, std::uint8_t* buffer,
                                                 std::uint32_t length);
