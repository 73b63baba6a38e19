// What the RSA suites share beyond the references (tests/support/reference.h): the PKCS #1 PSS
// vector file, SHA-1 as the byte vector the suites work in, loop counts, and a view of how many
// bytes an operation drew from the generator.
#pragma once

#include <cstdint>
#include <vector>

#include "rsa/rsa.h"
#include "tests/support/reference.h"

namespace qiv::test {

using ref::Bytes;

Bytes sha1(const Bytes& data);
// M' = 00 x 8 || mHash || salt, the string PSS hashes into H.
Bytes m_prime(const Bytes& mhash, const Bytes& salt);

// Example set `number` of pss-vect.txt: the key and its six signed messages.
struct PssVectorSet {
  QIV_RSA_PRIVATE_KEY key{};
  struct Example {
    Bytes message, salt, signature;
  };
  std::vector<Example> examples;
};
PssVectorSet read_pss_vectors(int number);

// Loop counts shrink when the suite runs under the sanitizers.
int scaled(int normal, int under_sanitizers);

// The generator observed from outside: after qiv_test_reset_random(), an operation that drew
// `requests` requests of `size` bytes each leaves the generator exactly where
// generator_after(requests, size) leaves it, which the next 40 bytes reveal.
Bytes next_generator_bytes();
Bytes generator_after(std::uint32_t requests, std::uint32_t size);

}  // namespace qiv::test
