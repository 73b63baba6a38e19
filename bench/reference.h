// What the benchmarks add to the shared references (tests/support/reference.h): reproducible
// inputs, RSA keys that exist in both worlds, and PSS contexts prepared once so that the timed
// loops measure the operation and not the set-up.
#pragma once

#include <cstdint>

#include "rsa/rsa.h"
#include "tests/support/reference.h"

namespace qiv::bench {

using ref::Bytes;
using ref::Digits;
using ref::from_octets;
using ref::Owned;
using ref::require;  // a benchmark that cannot prepare its inputs has nothing honest to report
using ref::to_bn;
using ref::to_digits;
using ref::to_octets;

// Deterministic filler bytes: every run times the same inputs. Never used for keys.
Bytes pattern(std::size_t n, std::uint32_t seed);

// n digits, top bit and bottom bit set: normalised for our classical reduction and odd for
// OpenSSL's Montgomery arithmetic, as every RSA modulus and prime is.
Digits random_modulus(std::uint32_t n, std::uint32_t seed);
// n digits below m (its top digit strictly smaller than m's).
Digits random_below(const Digits& m, std::uint32_t seed);

// One RSA key in both forms: OpenSSL generates it (quickly, and independently of the code under
// test) and our record receives the same primes, laid out as our key generation lays them out.
// The OpenSSL key carries the CRT values only when `crt` is set, so that plain signing is
// compared with plain signing.
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
