// Private keys in hardware tokens. A private key file may hold, instead of a protected key, a
// key reference: one line of text, a PKCS#11 URI ("pkcs11:..."). The commands then sign inside
// the token that URI names; the rest of each command is unchanged.
//
// Token failures print one line, "Hardware token: <cause>.", and return kTokenFailed, which ends
// the command with status 255 and no other line.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "sbl/layout.h"
#include "sbl/sbl.h"

// Low byte zero: the dispatcher turns it into status 255 (exit_status_for).
inline constexpr std::int32_t kTokenFailed = -0x100;

// The longest key reference file accepted.
inline constexpr std::uint32_t kMaxKeyReferenceSize = 2048;

// The URI a key reference file holds, when the file is one (its first bytes are "pkcs11:").
[[nodiscard]] std::optional<std::string> read_key_reference(const char* path);

// Opens the token a reference names and makes its key the command's signing key, after
// checking that it is the set's kind of key. 0 or kTokenFailed (the line printed).
[[nodiscard]] std::int32_t use_token_key(const std::string& uri, const sbl::KeySetLayout& set);

// The command's token key as a signer, or nullptr when the command signs with a blob.
[[nodiscard]] const QIV_SBL_SIGNER* token_signer();

// Closes the token session (the end of the command's key use).
void drop_token_key();

// Signs with the command's key: the token key when one is in use, else the blob in privateKey.
[[nodiscard]] std::int32_t sign_with_command_key(std::int32_t form, const std::uint8_t* message,
                                                 std::uint32_t messageLen, std::uint8_t* signature,
                                                 std::uint32_t* signatureLen);
[[nodiscard]] std::int32_t generate_sb20_context(const std::uint8_t* nextStageKey,
                                                 const std::uint8_t* image, std::uint32_t imageLen,
                                                 std::uint8_t* context);
[[nodiscard]] std::int32_t generate_sb10_context(const std::uint8_t* nextStageKey,
                                                 const std::uint8_t* image, std::uint32_t imageLen,
                                                 std::uint8_t* context);

// Key pairs and stored keys in a token. Each prints its failures as above.
// Generates the set's key pair in the token the URI names; on success the token key is the
// command's key (token_signer()) and its public part is in `modulus`/`exponent` as digits.
[[nodiscard]] std::int32_t generate_token_key(const std::string& uri, const sbl::KeySetLayout& set);
// Stores a CRT-form private key (big-endian parts) in the token; then as above.
struct QIV_RSA_PRIVATE_KEY;
[[nodiscard]] std::int32_t store_token_key(const std::string& uri, const sbl::KeySetLayout& set,
                                           const QIV_RSA_PRIVATE_KEY& key);
// Removes what generate_token_key or store_token_key made (the command failed after it).
void undo_token_key();
// The token key's modulus as the set's digits (least significant first) and its exponent.
[[nodiscard]] std::span<const std::uint32_t> token_modulus_digits();
[[nodiscard]] std::uint32_t token_exponent();

// The reference written for the key generate_token_key or store_token_key made: the URI without
// its pin-value, naming the token's serial= and the key's id=, then a line feed. Its length was
// checked against kMaxKeyReferenceSize before the key was made.
[[nodiscard]] std::string token_key_reference();
