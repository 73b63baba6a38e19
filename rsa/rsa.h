// RSA signatures and keys: RSASSA-PSS (PKCS #1 v2.1) over SHA-1 with MGF1-SHA-1, plain and
// CRT signing, Miller-Rabin primes and key generation.
//
// Big numbers are little-endian 32-bit digit arrays with separate digit counts (bignum.h).
#pragma once

#include <cstdint>

// The RSA private key record. Each number is followed by its digit count. After key generation
// for k = bits/32 digits: n and d have k digits; p, q, dP, dQ and qInv have k/2; e keeps the
// count the caller preset.
struct QIV_RSA_PRIVATE_KEY {
  std::uint32_t n[66];
  std::uint32_t n_count;
  std::uint32_t e[66];
  std::uint32_t e_count;
  std::uint32_t d[66];
  std::uint32_t d_count;
  std::uint32_t p[34];
  std::uint32_t p_count;
  std::uint32_t q[34];
  std::uint32_t q_count;
  std::uint32_t dP[34];
  std::uint32_t dP_count;
  std::uint32_t dQ[34];
  std::uint32_t dQ_count;
  std::uint32_t qInv[34];
  std::uint32_t qInv_count;
};

// buf[i] ^= MGF1-SHA1(seed)[i] for i < len.
void qiv_PKCS1_MGF1_Sha1(std::uint8_t* buf, std::uint32_t len, const std::uint8_t* seed,
                         std::uint32_t seedLen);

// 0 when `signature` (k digits) is a PSS signature of the digest mHash under (modulus,
// exponent); QIV_ERR_FAIL otherwise, also before any arithmetic when k is outside 6..64 or the
// modulus's top digit lacks its top bit. Nothing passed in is modified.
std::int32_t QIV_RSA_PSS_Verify(std::uint32_t k, const std::uint32_t* modulus,
                                const std::uint32_t* signature, std::uint32_t eDigits,
                                const std::uint32_t* exponent, std::uint32_t mHashLen,
                                const std::uint8_t* mHash);

// Signature = PSS-encode(digest, random salt of sLen bytes)^d mod n, k digits; *sigDigits = k.
// d is read as k digits. Always 0; the caller validates the key (k <= 64, sLen <= 4k - 22,
// top bit of the modulus set).
std::int32_t QIV_RSA_PSS_Sign(std::uint32_t* sigDigits, std::uint32_t* signature,
                              std::uint32_t k, const std::uint32_t* modulus,
                              const std::uint32_t* d, std::uint32_t digestLen,
                              const std::uint8_t* digest, std::uint32_t sLen);
// The same with the CRT values of `key` (p > q, each key->n_count / 2 digits). Always 0.
std::int32_t QIV_RSA_PSS_SignCRT(std::uint32_t* sigDigits, std::uint32_t* signature,
                                 const QIV_RSA_PRIVATE_KEY* key, std::uint32_t digestLen,
                                 const std::uint8_t* digest, std::uint32_t sLen);
// result = input^d mod n by Garner's recombination; input below n, both n_count digits.
void qiv_RSA_CrtDec(std::uint32_t* result, const std::uint32_t* input,
                    const QIV_RSA_PRIVATE_KEY* key);

// 0 when the n-digit candidate passes the sieve and the Miller-Rabin rounds, QIV_ERR_FAIL
// otherwise. The candidate is not modified.
std::int32_t QIV_MillerRabin(const std::uint32_t* candidate, std::uint32_t n);
// Fills `key` (cleared by the caller, e and e_count preset) with a key of `bits` bits.
// 0, or QIV_ERR_BAD_PARAM when bits is not a multiple of 32 (the record is then untouched).
std::int32_t QIV_RSA_KeyGen(QIV_RSA_PRIVATE_KEY* key, std::uint32_t bits);
