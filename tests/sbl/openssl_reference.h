// Independent reference computations for the record tests, all done by OpenSSL's libcrypto:
// SHA-1, HMAC-SHA1, AES-128-CBC and RSASSA-PSS (SHA-1, MGF1-SHA-1). Numbers and signatures
// cross the boundary in the records' stored form (least significant byte first) and are
// converted with BN_lebin2bn / byte reversal here, never with our own primitives.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

namespace ref {

using Bytes = std::vector<std::uint8_t>;
using Sha1 = std::array<std::uint8_t, 20>;

Sha1 sha1(std::span<const std::uint8_t> data);
Sha1 sha1(std::span<const std::uint8_t> first, std::span<const std::uint8_t> second);
Sha1 hmac_sha1(std::span<const std::uint8_t> key, std::span<const std::uint8_t> data);
// AES-128-CBC without padding; data is whole blocks.
Bytes aes128_cbc_encrypt(std::span<const std::uint8_t> key, std::span<const std::uint8_t> iv,
                         std::span<const std::uint8_t> data);

// True when `signature` (stored form, as long as the modulus) is an RSASSA-PSS signature with
// a 20-byte salt of the digest `mHash` under (modulus stored form, exponent).
bool pss_verify(std::span<const std::uint8_t> modulusLe, std::uint32_t exponent,
                std::span<const std::uint8_t> mHash, std::span<const std::uint8_t> signatureLe);

}  // namespace ref
