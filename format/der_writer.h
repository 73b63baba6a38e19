// The standard encodings of an RSA public key, written: DER (the few types the two key
// structures use), base64 and PEM armour; and the bridge between a set's key part and the
// key's numbers, so that an exported key and a key file show one fingerprint.
//
// RSAPublicKey         ::= SEQUENCE { modulus INTEGER, publicExponent INTEGER }
// SubjectPublicKeyInfo ::= SEQUENCE { SEQUENCE { OID rsaEncryption, NULL },
//                                     BIT STRING (no unused bits) holding an RSAPublicKey }
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "sbl/layout.h"

namespace der {

using Bytes = std::vector<std::uint8_t>;

inline constexpr std::uint8_t kInteger = 0x02;
inline constexpr std::uint8_t kBitString = 0x03;
inline constexpr std::uint8_t kSequence = 0x30;

// AlgorithmIdentifier { rsaEncryption (1.2.840.113549.1.1.1), NULL } in DER.
inline constexpr std::array<std::uint8_t, 15> kRsaEncryption = {
    0x30, 0x0d, 0x06, 0x09, 0x2a, 0x86, 0x48, 0x86, 0xf7, 0x0d, 0x01, 0x01, 0x01, 0x05, 0x00};

inline constexpr std::string_view kSpkiLabel = "PUBLIC KEY";
inline constexpr std::string_view kPkcs1Label = "RSA PUBLIC KEY";

// Tag, the length in its shortest definite form, the contents.
void append_tlv(Bytes& out, std::uint8_t tag, std::span<const std::uint8_t> contents);

// A non-negative INTEGER from its big-endian magnitude: leading zero bytes dropped, one zero
// byte put back where the top bit would otherwise read as a minus sign; zero is 02 01 00.
void append_unsigned_integer(Bytes& out, std::span<const std::uint8_t> bigEndian);

[[nodiscard]] Bytes rsa_public_key(std::span<const std::uint8_t> modulus,
                                   std::span<const std::uint8_t> exponent);
[[nodiscard]] Bytes subject_public_key_info(std::span<const std::uint8_t> rsaPublicKey);

// Base64 with the standard alphabet and '=' padding, no line breaks.
[[nodiscard]] std::string base64(std::span<const std::uint8_t> bytes);

// "-----BEGIN label-----", the base64 in lines of 64 characters, "-----END label-----", each
// line ending in a line feed.
[[nodiscard]] std::string pem(std::string_view label, std::span<const std::uint8_t> der);

}  // namespace der

// A set's key as numbers: the modulus big-endian, without leading zeros, and the exponent.
struct RsaPublicNumbers {
  std::vector<std::uint8_t> modulus;
  std::uint32_t exponent = 0;
};

// The numbers of a key part in the set's layout (v2.1: lengths, modulus, exponent, 268 bytes;
// v1.1: modulus then exponent, 132 bytes). The part must be that long.
[[nodiscard]] RsaPublicNumbers numbers_of_key_part(const sbl::KeySetLayout& set,
                                                   std::span<const std::uint8_t> keyPart);

// The key part, in the set's layout, of the key with these numbers; its size, or 0 (out all
// zero) when the key is not the set's: a modulus of other than the set's bit length, or
// another exponent.
[[nodiscard]] std::uint32_t key_part_of(
    const sbl::KeySetLayout& set, std::span<const std::uint8_t> modulus, std::uint64_t exponent,
    std::span<std::uint8_t, sbl::PublicKeyInfoV21::kKeyPartSize> out);
