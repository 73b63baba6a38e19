// The independent side of the RSA tests: OpenSSL's BIGNUM and RSASSA-PSS, the PKCS #1 PSS
// vector file, and a view of how many bytes an operation drew from the generator.
#pragma once

#include <openssl/bn.h>
#include <openssl/evp.h>

#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "rsa/rsa.h"

namespace qiv::test {

using Bytes = std::vector<std::uint8_t>;
using Digits = std::vector<std::uint32_t>;

struct BnFree {
  void operator()(BIGNUM* b) const { BN_clear_free(b); }
};
using Bn = std::unique_ptr<BIGNUM, BnFree>;
struct PkeyFree {
  void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;

// Conversions between our digit arrays and OpenSSL, written without our bignum code.
Bn to_bn(const std::uint32_t* digits, std::uint32_t n);
Digits to_digits(const BIGNUM* bn, std::uint32_t n);  // n digits, zero above the value
Digits digits_from_be(const Bytes& be);               // big-endian octets, length 4k
Bytes be_from_digits(const std::uint32_t* digits, std::uint32_t n);
Digits digits_from_hex(std::string_view be_hex);  // most significant digit first in text

// A key record from its primes and e, with the CRT values and d computed by OpenSSL.
// p and q are swapped when needed so that p > q.
QIV_RSA_PRIVATE_KEY record_from_primes(const BIGNUM* p, const BIGNUM* q, std::uint32_t e);
// A fresh OpenSSL key of `bits` bits and exponent e, as our record.
QIV_RSA_PRIVATE_KEY openssl_generated_key(int bits, std::uint32_t e);
// The same key as an OpenSSL key pair (private when `with_private`).
Pkey to_pkey(const QIV_RSA_PRIVATE_KEY& key, bool with_private);

// RSASSA-PSS with SHA-1 and MGF1-SHA-1 over a 20-byte digest; signatures big-endian.
bool openssl_pss_verify(EVP_PKEY* key, const Bytes& digest, const Bytes& signature, int salt_len);
Bytes openssl_pss_sign(EVP_PKEY* key, const Bytes& digest, int salt_len);

// Example set `number` of pss-vect.txt: the key and its six signed messages.
struct PssVectorSet {
  QIV_RSA_PRIVATE_KEY key{};
  struct Example {
    Bytes message, salt, signature;
  };
  std::vector<Example> examples;
};
PssVectorSet read_pss_vectors(int number);

Bytes sha1(const Bytes& data);
// M' = 00 x 8 || mHash || salt, the string PSS hashes into H.
Bytes m_prime(const Bytes& mhash, const Bytes& salt);

// Loop counts shrink when the suite runs under the sanitizers (QIV_SANITIZED=1).
bool sanitized();
int scaled(int normal, int under_sanitizers);

// The generator observed from outside: after qiv_test_reset_random(), an operation that drew
// `requests` requests of `size` bytes each leaves the generator exactly where
// generator_after(requests, size) leaves it, which the next 40 bytes reveal.
Bytes next_generator_bytes();
Bytes generator_after(std::uint32_t requests, std::uint32_t size);

}  // namespace qiv::test
