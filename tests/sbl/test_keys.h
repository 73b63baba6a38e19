// RSA test keys made with OpenSSL's big numbers (prime generation, inverses), not with our key
// generator, and the private key blobs and records built from them. Keys are made once per
// process and cached: a 2048-bit key costs two 1024-bit prime searches.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "rsa/rsa.h"

using Bytes = std::vector<std::uint8_t>;
using Digits = std::vector<std::uint32_t>;

struct TestKey {
  std::uint32_t digits = 0;  // k; the modulus has exactly 32k bits
  std::uint32_t exponent = 0;
  // Each component at its full size: n and d k digits; p > q, dP, dQ, qInv k/2 digits.
  Digits n, d, p, q, dP, dQ, qInv;
  QIV_RSA_PRIVATE_KEY record{};  // the same values, as OpenSSL receives them

  Bytes modulus_le() const;  // stored form of n, 4k bytes
  Bytes crt_blob() const;    // n, e, d, p, q, dP, dQ, qInv
  Bytes plain_blob() const;  // n, d, p, q, dP, dQ, qInv
};

// A key with a modulus of exactly `bits` bits (bits a multiple of 32) and exponent e. `slot`
// picks one of several independent keys of the same shape.
const TestKey& test_key(std::uint32_t bits, std::uint32_t e, int slot = 0);

// The system's two key shapes.
inline const TestKey& key2048(int slot = 0) {
  return test_key(2048, 3, slot);
}
inline const TestKey& key1024(int slot = 0) {
  return test_key(1024, 65537, slot);
}

// RSASSA-PSS (SHA-1, MGF1-SHA-1, 20-byte salt) made by OpenSSL, returned in stored form.
Bytes openssl_pss_sign(const TestKey& key, std::span<const std::uint8_t> mHash);

// Blob construction, including malformed ones: each component is a length field (which may
// lie) followed by bytes.
struct BlobComponent {
  std::uint32_t lengthField;
  Bytes bytes;
};
BlobComponent component(const Digits& digits);  // honest length 4 * digits
Bytes make_blob(const std::vector<BlobComponent>& components);

Bytes le_bytes(const Digits& digits);
Digits digits_of(std::span<const std::uint8_t> le);
