// What the benchmarks share: reproducible inputs, conversions between our digit arrays and
// OpenSSL's BIGNUMs, RSA keys that exist in both worlds, and OpenSSL contexts prepared once so
// that the timed loops measure the operation and not the set-up.
#pragma once

#include <openssl/bn.h>
#include <openssl/evp.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "rsa/rsa.h"

namespace qiv::bench {

using Bytes = std::vector<std::uint8_t>;
using Digits = std::vector<std::uint32_t>;

struct OpenSslFree {
  void operator()(BIGNUM* p) const { BN_clear_free(p); }
  void operator()(BN_CTX* p) const { BN_CTX_free(p); }
  void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
  void operator()(EVP_PKEY_CTX* p) const { EVP_PKEY_CTX_free(p); }
  void operator()(EVP_MD* p) const { EVP_MD_free(p); }
  void operator()(EVP_MD_CTX* p) const { EVP_MD_CTX_free(p); }
  void operator()(EVP_CIPHER* p) const { EVP_CIPHER_free(p); }
  void operator()(EVP_CIPHER_CTX* p) const { EVP_CIPHER_CTX_free(p); }
};
template <typename T>
using Owned = std::unique_ptr<T, OpenSslFree>;

// Set-up faults (an OpenSSL call refusing, a key that will not convert) end the run with a
// message: a benchmark that cannot prepare its inputs has nothing honest to report.
void require(bool ok, const char* what);

// Deterministic filler bytes: every run times the same inputs. Never used for keys.
Bytes pattern(std::size_t n, std::uint32_t seed);

// n digits, top bit and bottom bit set: normalised for our classical reduction and odd for
// OpenSSL's Montgomery arithmetic, as every RSA modulus and prime is.
Digits random_modulus(std::uint32_t n, std::uint32_t seed);
// n digits below m (its top digit strictly smaller than m's).
Digits random_below(const Digits& m, std::uint32_t seed);

Owned<BIGNUM> to_bn(const std::uint32_t* digits, std::uint32_t n);
Digits to_digits(const BIGNUM* bn, std::uint32_t n);
// The PKCS #1 octet string (big-endian) of a little-endian digit array.
Bytes to_octets(const std::uint32_t* digits, std::uint32_t n);
// And back: n digits from a big-endian octet string of at most 4n bytes.
Digits from_octets(const Bytes& be, std::uint32_t n);

// One RSA key in both forms. OpenSSL generates it (quickly, and independently of the code under
// test); our record receives the same primes with d = e^-1 mod (p-1)(q-1), p > q and
// qInv = q^-1 mod p, as our key generation lays them out. The OpenSSL key carries the CRT values
// only when `crt` is set, so that plain signing is compared with plain signing.
struct KeyPair {
  QIV_RSA_PRIVATE_KEY ours{};
  Owned<EVP_PKEY> openssl;
};
KeyPair make_key(int bits, std::uint32_t e, bool crt);
// The OpenSSL key holding the values of our record (n, e, d, and the CRT values when `crt`).
Owned<EVP_PKEY> to_pkey(const QIV_RSA_PRIVATE_KEY& key, bool crt);

// RSASSA-PSS with SHA-1, MGF1-SHA-1 and a 20-byte salt over a precomputed digest.
Owned<EVP_PKEY_CTX> pss_context(EVP_PKEY* key, bool sign);

}  // namespace qiv::bench
