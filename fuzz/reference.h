// Independent reference computations for the harnesses' differential checks, on OpenSSL's big
// numbers, digests, HMAC and ciphers. Nothing here shares code with the library under test.
//
// Big numbers and signatures are taken in the system's stored form: digit arrays as they lie
// in memory, least significant byte first.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

namespace ref {

using Bytes = std::vector<std::uint8_t>;
using Sha1 = std::array<std::uint8_t, 20>;

Sha1 sha1(std::span<const std::uint8_t> first, std::span<const std::uint8_t> second = {});
Sha1 hmac_sha1(std::span<const std::uint8_t> key, std::span<const std::uint8_t> data);

// CBC decryption of whole blocks without padding; key of 16, 24 or 32 bytes, 16-byte IV.
Bytes aes_cbc_decrypt(std::span<const std::uint8_t> key, std::span<const std::uint8_t> iv,
                      std::span<const std::uint8_t> blocks);

// The verifier's rule, written from the scheme rather than from our code: EM = BN2OS(s^e mod n)
// of exactly 4k bytes; the last byte 0xBC; DB = maskedDB XOR MGF1-SHA1(H) with its first bit
// cleared (whatever it was); DB = zeros || 0x01 || salt with any salt length;
// H == SHA-1(0^8 || mHash || salt). Moduli outside 6..64 digits, or whose top bit is clear,
// are refused as the library refuses them. modulus and signature: 4k bytes; exponent: any
// number of whole digits (zero digits: exponent 0).
bool pss_verify(std::span<const std::uint8_t> modulus, std::span<const std::uint8_t> signature,
                std::span<const std::uint8_t> exponent, std::span<const std::uint8_t> mHash);

// An RSA key in stored-form components, checked for mathematical consistency, so that a
// harness can demand that what the signer produced verifies.
struct CrtParts {
  std::span<const std::uint8_t> n, e, p, q, dP, dQ, qInv;
};
// True when p and q are distinct probable primes, n = p*q, e*dP = 1 mod (p-1),
// e*dQ = 1 mod (q-1) and qInv*q = 1 mod p: a CRT private key whose signatures must verify
// under (n, e).
bool crt_key_consistent(const CrtParts& key);
// For a plain-form key (n, d) with its primes: when p and q are distinct probable primes,
// n = p*q and d is invertible modulo (p-1)(q-1), the public exponent in stored form; otherwise
// empty.
Bytes plain_key_public_exponent(std::span<const std::uint8_t> n, std::span<const std::uint8_t> d,
                                std::span<const std::uint8_t> p, std::span<const std::uint8_t> q);

}  // namespace ref
