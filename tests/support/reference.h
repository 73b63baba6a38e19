// The independent side of every differential check: values computed by OpenSSL's libcrypto, or
// written out from the scheme on OpenSSL's big numbers, never by our own primitives. The test
// suites, the fuzz harnesses and the benchmarks share it (library qiv_test_reference).
//
// Three forms of a number cross this boundary: our digit arrays (32-bit digits, least
// significant first); their stored form, the same digits as bytes in memory (least significant
// byte first); and PKCS #1 octet strings (big-endian).
#pragma once

#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "rsa/rsa.h"

namespace ref {

using Bytes = std::vector<std::uint8_t>;
using Digits = std::vector<std::uint32_t>;
using Sha1 = std::array<std::uint8_t, 20>;
using ByteView = std::span<const std::uint8_t>;

// Owning handles. Numbers are cleared on release: some of them are private key values.
struct OpenSslFree {
  void operator()(BIGNUM* p) const { BN_clear_free(p); }
  void operator()(BN_CTX* p) const { BN_CTX_free(p); }
  void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
  void operator()(EVP_PKEY_CTX* p) const { EVP_PKEY_CTX_free(p); }
  void operator()(EVP_MD* p) const { EVP_MD_free(p); }
  void operator()(EVP_MD_CTX* p) const { EVP_MD_CTX_free(p); }
  void operator()(EVP_CIPHER* p) const { EVP_CIPHER_free(p); }
  void operator()(EVP_CIPHER_CTX* p) const { EVP_CIPHER_CTX_free(p); }
  void operator()(OSSL_PARAM_BLD* p) const { OSSL_PARAM_BLD_free(p); }
  void operator()(OSSL_PARAM* p) const { OSSL_PARAM_free(p); }
};
template <typename T>
using Owned = std::unique_ptr<T, OpenSslFree>;
using Bn = Owned<BIGNUM>;
using BnCtx = Owned<BN_CTX>;
using Pkey = Owned<EVP_PKEY>;
using PkeyCtx = Owned<EVP_PKEY_CTX>;

// A reference that cannot compute is a broken set-up, never a verdict: it throws, which fails
// the test, and ends a harness or a benchmark run.
void require(bool ok, const char* what);
Bn new_bn();
BnCtx new_bn_ctx();

// Conversions, written without our bignum code.
Bn to_bn(const std::uint32_t* digits, std::size_t n);
Bn to_bn(const Digits& digits);
Digits to_digits(const BIGNUM* bn, std::size_t n);  // exactly n digits; throws if bn needs more
Bn bn_from_le(ByteView stored);
Bytes le_from_bn(const BIGNUM* bn);  // stored form in whole digits; empty for 0
Bytes to_octets(const std::uint32_t* digits, std::size_t n);  // 4n bytes
Digits from_octets(ByteView octets, std::size_t n);  // n digits; throws if the value needs more
Digits from_octets(ByteView octets);                 // as many digits as the bytes need
Digits digits_from_hex(std::string_view hex);        // most significant digit first in the text

Sha1 sha1(ByteView first, ByteView second = {});
Sha1 hmac_sha1(ByteView key, ByteView data);
// AES-CBC without padding: whole blocks, a 16-, 24- or 32-byte key and a 16-byte IV.
Bytes aes_cbc_encrypt(ByteView key, ByteView iv, ByteView data);
Bytes aes_cbc_decrypt(ByteView key, ByteView iv, ByteView blocks);

// RSA keys as our record lays them out: k = bits/32 digits for n and d, (k+1)/2 for p > q, dP,
// dQ and qInv, one digit for e, and d = e^-1 mod (p-1)(q-1) (not OpenSSL's lcm).
QIV_RSA_PRIVATE_KEY record_from_primes(const BIGNUM* p, const BIGNUM* q, std::uint32_t e);
QIV_RSA_PRIVATE_KEY openssl_generated_key(int bits, std::uint32_t e);
// The record as an OpenSSL key: (n, e); (n, e, d); or (n, e, d) with the CRT values.
enum class KeyParts { kPublic, kPrivate, kPrivateCrt };
Pkey to_pkey(const QIV_RSA_PRIVATE_KEY& key, KeyParts parts);

// Key consistency in stored-form components. crt_key_consistent: p and q distinct probable
// primes, n = p*q, e*dP = 1 mod (p-1), e*dQ = 1 mod (q-1) and qInv*q = 1 mod p, so that the
// key's signatures must verify under (n, e).
struct CrtParts {
  ByteView n, e, p, q, dP, dQ, qInv;
};
bool crt_key_consistent(const CrtParts& key);
// For a plain-form key (n, d) with its primes: when p and q are distinct probable primes,
// n = p*q and d is invertible modulo (p-1)(q-1), the public exponent in stored form; otherwise
// empty.
Bytes plain_key_public_exponent(ByteView n, ByteView d, ByteView p, ByteView q);

// RSASSA-PSS with SHA-1 and MGF1-SHA-1 by OpenSSL, over a precomputed digest. The context is
// ready for EVP_PKEY_sign or EVP_PKEY_verify; signatures are octet strings.
PkeyCtx pss_context(EVP_PKEY* key, int salt_len, bool sign);
Bytes openssl_pss_sign(EVP_PKEY* key, ByteView digest, int salt_len);
bool openssl_pss_verify(EVP_PKEY* key, ByteView digest, ByteView signature, int salt_len);
// The same under (n, e) with a 20-byte salt; modulus and signature in stored form.
bool openssl_pss_verify(ByteView modulus, std::uint32_t e, ByteView mHash, ByteView signature);

// The verifier's rule written from the scheme, not OpenSSL's verifier: EM = s^e mod n as
// exactly 4k bytes; the last byte 0xBC; DB = maskedDB XOR MGF1-SHA1(H) with its first bit
// cleared (whatever it was); DB = zeros || 0x01 || salt with a salt of any length;
// H == SHA-1(0^8 || mHash || salt). Moduli outside 6..64 digits, or whose top bit is clear, are
// refused as the library refuses them. All in stored form: modulus and signature 4k bytes,
// exponent whole digits (none: exponent 0).
bool pss_verify(ByteView modulus, ByteView signature, ByteView exponent, ByteView mHash);

// True under the sanitizers (`make asan` sets QIV_SANITIZED=1), where heavy loops shrink.
bool sanitized();

}  // namespace ref
