// RSA signatures and keys: RSASSA-PSS (PKCS #1 v2.1) over SHA-1 with MGF1-SHA-1, plain and
// CRT signing, Miller-Rabin primes and key generation.
//
// Big numbers are little-endian 32-bit digit arrays with separate digit counts (bignum.h).
// Signatures and the encoded message are exactly as long as the modulus: 4k bytes for a
// k-digit modulus. Every random byte (salts, prime candidates, Miller-Rabin bases) comes from
// the process-wide generator of random.h; nothing here is thread-safe. Nothing allocates, and
// every intermediate that reveals a private key is wiped before its stack frame goes.
#pragma once

#include <cstdint>

#include "bignum/bignum.h"

// Digit capacities of the key record: a modulus of up to 66 digits, primes of up to 34.
inline constexpr std::uint32_t QIV_RSA_MAX_DIGITS = 66;       // n, e, d fields of the record
inline constexpr std::uint32_t QIV_RSA_MAX_HALF_DIGITS = 34;  // p, q and the CRT values
// Moduli that PSS verification accepts: the 2048-bit encoding is the largest the system makes;
// below 6 digits DB cannot hold the 0x01 marker beside the digest (4k > 21).
inline constexpr std::uint32_t QIV_RSA_MIN_VERIFY_DIGITS = 6;
inline constexpr std::uint32_t QIV_RSA_MAX_VERIFY_DIGITS = 64;
static_assert(QIV_RSA_MAX_DIGITS <= QIV_BN_MAX_MODULUS_DIGITS);
static_assert(QIV_RSA_MAX_VERIFY_DIGITS <= QIV_RSA_MAX_DIGITS);
static_assert(2 * QIV_RSA_MAX_HALF_DIGITS >= QIV_RSA_MAX_DIGITS);
static_assert(4 * QIV_RSA_MIN_VERIFY_DIGITS > 21);

// The RSA private key record. Each number is followed by its digit count. After key generation
// for k = bits/32 digits: n and d have k digits; p, q, dP, dQ and qInv have k/2; e keeps the
// count the caller preset. p > q, and the top bits of n, p and q are set.
struct QIV_RSA_PRIVATE_KEY {
  std::uint32_t n[QIV_RSA_MAX_DIGITS];
  std::uint32_t n_count;
  std::uint32_t e[QIV_RSA_MAX_DIGITS];
  std::uint32_t e_count;
  std::uint32_t d[QIV_RSA_MAX_DIGITS];  // e^-1 mod (p-1)(q-1)
  std::uint32_t d_count;
  std::uint32_t p[QIV_RSA_MAX_HALF_DIGITS];
  std::uint32_t p_count;
  std::uint32_t q[QIV_RSA_MAX_HALF_DIGITS];
  std::uint32_t q_count;
  std::uint32_t dP[QIV_RSA_MAX_HALF_DIGITS];  // d mod (p-1)
  std::uint32_t dP_count;
  std::uint32_t dQ[QIV_RSA_MAX_HALF_DIGITS];  // d mod (q-1)
  std::uint32_t dQ_count;
  std::uint32_t qInv[QIV_RSA_MAX_HALF_DIGITS];  // q^-1 mod p
  std::uint32_t qInv_count;
};

// buf[i] ^= MGF1-SHA1(seed)[i] for i < len. The mask is XORed in, never stored on its own.
// ceil(len / 20) SHA-1 blocks; len 0 changes nothing.
void qiv_PKCS1_MGF1_Sha1(std::uint8_t* buf, std::uint32_t len, const std::uint8_t* seed,
                         std::uint32_t seedLen);

// True when a public exponent (eDigits digits, least significant first) can prove possession of
// a private key: odd and at least 3. With e = 1, s^e mod n = s, so any PSS encoding is its own
// "signature" and verifies without a private key; an even e shares the factor 2 with
// lambda(n) = lcm(p-1, q-1), so no private exponent exists for it and whatever "verifies" under
// it was not made with one. eDigits 0 or a null exponent is refused. Every verification in the
// system decides through QIV_RSA_PSS_Verify, which calls this first.
[[nodiscard]] bool QIV_RSA_PublicExponentOk(std::uint32_t eDigits, const std::uint32_t* exponent);

// 0 when `signature` (k digits) is a PSS signature of the digest mHash (mHashLen bytes, hashed
// into M' as given) under (modulus, exponent of eDigits digits), with any salt length;
// QIV_ERR_FAIL (-65536) otherwise, for every reason. Because the modulus may come from an
// untrusted file, it fails at once, before any arithmetic, when k is outside 6..64, when the
// modulus's top digit lacks its top bit, when the exponent is even or below 3
// (QIV_RSA_PublicExponentOk), or for a null pointer. The caller bounds eDigits by
// the exponent array it owns. A signature not below the modulus is reduced, not rejected.
// Nothing passed in is modified.
std::int32_t QIV_RSA_PSS_Verify(std::uint32_t k, const std::uint32_t* modulus,
                                const std::uint32_t* signature, std::uint32_t eDigits,
                                const std::uint32_t* exponent, std::uint32_t mHashLen,
                                const std::uint8_t* mHash);

// signature (k digits) = PSS-encode(digest, salt of sLen fresh random bytes)^d mod n;
// *sigDigits = k. d is read as k digits (zero above its own length). Always 0: the caller
// validates the key first and keeps 2 <= k <= 66, 22 + sLen <= 4k (k >= 11 for the 20-byte
// salt) and the top bit of the modulus set. `signature` must not overlap the inputs.
std::int32_t QIV_RSA_PSS_Sign(std::uint32_t* sigDigits, std::uint32_t* signature, std::uint32_t k,
                              const std::uint32_t* modulus, const std::uint32_t* d,
                              std::uint32_t digestLen, const std::uint8_t* digest,
                              std::uint32_t sLen);
// The same with the CRT values of `key`; k = key->n_count, written to *sigDigits. Always 0.
// Besides the above, the caller keeps p > q, p, q and qInv of k/2 digits with the top bits of p
// and q set, and dP, dQ, qInv reduced (as QIV_RSA_KeyGen makes them).
std::int32_t QIV_RSA_PSS_SignCRT(std::uint32_t* sigDigits, std::uint32_t* signature,
                                 const QIV_RSA_PRIVATE_KEY* key, std::uint32_t digestLen,
                                 const std::uint8_t* digest, std::uint32_t sLen);
// result = input^d mod n by Garner's recombination from the CRT values; input below n, both
// key->n_count digits. No public-key operation confirms the result.
void qiv_RSA_CrtDec(std::uint32_t* result, const std::uint32_t* input,
                    const QIV_RSA_PRIVATE_KEY* key);

// 0 when the n-digit candidate is a probable prime: odd, no factor among the 99 sieve primes
// from 2 to 541 (101 excepted), and t + 1 Miller-Rabin rounds passed with random bases, t by
// bit length 32n (36 rounds for 96 bits, 9 for 512, 6 for 1024, 4 for 2048). QIV_ERR_FAIL
// otherwise. Not acceptable, whatever its primality, and rejected without a draw: n outside
// 2..66 or a top digit without its top bit (the modular arithmetic needs a normalised modulus).
// Each round draws n digits. The candidate is not modified.
std::int32_t QIV_MillerRabin(const std::uint32_t* candidate, std::uint32_t n);

// Fills `key` with a fresh key of `bits` bits: two primes of bits/2 bits each (p > q, top bits
// set, p mod e != 1 and q mod e != 1 for a one-digit e) whose product has exactly `bits` bits,
// d, and the CRT values. Before the call the caller clears the record and presets e and
// e_count (3 for 2048 bits, 65537 for 1024 bits in the system); e_count 0 asks for a random
// k-digit exponent, redrawn until it is invertible modulo (p-1)(q-1).
// Results:
//   0                  success.
//   QIV_ERR_BAD_PARAM  bits not a multiple of 64 or outside 128..2048, e_count above bits/32,
//                      or a preset e that is even or below 3 (it can never be invertible, or
//                      gives d = 1). The record is untouched.
//   QIV_ERR_FAIL       a preset e (multi-digit or composite) is not below (p-1)(q-1) or has
//                      no inverse modulo it, for the primes found. The record is untouched.
// No retry limit otherwise: the prime searches run until they succeed.
std::int32_t QIV_RSA_KeyGen(QIV_RSA_PRIVATE_KEY* key, std::uint32_t bits);
