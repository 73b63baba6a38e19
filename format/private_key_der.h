// RSA private keys in the standard encodings other tools write: PKCS#1 RSAPrivateKey, PKCS#8
// PrivateKeyInfo holding one, and PKCS#8 EncryptedPrivateKeyInfo under PBES2 (PBKDF2 with
// HMAC-SHA1 or HMAC-SHA256, AES-128-CBC or AES-256-CBC). Each as DER or PEM armour.
//
// Reading only fills the key record with the numbers as written; whether they make a usable key
// of the right set is the caller's check. Every decrypted or decoded byte lives in wiping
// buffers.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "rsa/rsa.h"

namespace format {

// Longest key file read, PEM or DER.
inline constexpr std::size_t kMaxPrivateKeyFileBytes = 64 * 1024;
// PBKDF2 iteration counts accepted: enough for any sensible file, bounded so that a hostile
// file cannot keep the tool busy for hours.
inline constexpr std::uint32_t kMaxPbkdf2Iterations = 10'000'000;

// True when the file holds an encrypted key in a scheme that is read: the caller then needs a
// passphrase (a refused scheme is refused by read_private_key without one).
[[nodiscard]] bool private_key_is_encrypted(std::span<const std::uint8_t> file);

// Reads the RSA private key in `file` (PEM or DER, any of the encodings above) into `key`
// (which is cleared first; digit counts are minimal). `passphrase` is used only for an
// encrypted key. On failure `key` is wiped and `error` is one line naming what is wrong,
// without a trailing newline; a wrong passphrase reads "wrong passphrase or damaged file".
bool read_private_key(std::span<const std::uint8_t> file,
                      std::span<const std::uint8_t> passphrase, QIV_RSA_PRIVATE_KEY& key,
                      std::string& error);

// The pieces, for tests and fuzzing: DER of each structure.
bool read_rsa_private_key_der(std::span<const std::uint8_t> der, QIV_RSA_PRIVATE_KEY& key,
                              std::string& error);
bool read_private_key_info_der(std::span<const std::uint8_t> der, QIV_RSA_PRIVATE_KEY& key,
                               std::string& error);
bool read_encrypted_private_key_info_der(std::span<const std::uint8_t> der,
                                         std::span<const std::uint8_t> passphrase,
                                         QIV_RSA_PRIVATE_KEY& key, std::string& error);

}  // namespace format
