// PEM armour: "-----BEGIN <label>-----", a base64 body broken into lines, "-----END <label>-----".
// Only the reading side; the decoder is strict (no characters outside the alphabet, padding only
// at the end, zero bits after the last byte) so that one body has exactly one meaning.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "crypto/wipe.h"

namespace format {

// Longest armoured file read: far beyond any RSA key of the sizes the system uses.
inline constexpr std::size_t kMaxPemBytes = 64 * 1024;

// True when the text starts, after blank space, with a BEGIN line: the file is meant as PEM.
[[nodiscard]] bool looks_like_pem(std::span<const std::uint8_t> text);

// Decodes the first armoured block. Text before the BEGIN line is ignored (tools put comments
// there); after the END line only blank space may follow. On success `label` holds the label
// and `body` the decoded bytes (it may hold a secret: it is a wiping buffer). On failure
// `error` is one line naming what is wrong, without a trailing newline.
bool pem_decode(std::span<const std::uint8_t> text, std::string& label, qiv::SecretBuffer& body,
                std::string& error);

// Strict base64 (RFC 4648, no line breaks) into `out`, which is resized. False for any
// character outside the alphabet, a length not a multiple of 4, misplaced '=' or non-zero
// trailing bits.
bool base64_decode(std::span<const std::uint8_t> text, qiv::SecretBuffer& out);

}  // namespace format
