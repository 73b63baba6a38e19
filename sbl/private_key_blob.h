// Loading a private key blob (sbl::PrivateKeyBlob) into an RSA private key record, with every
// length the blob carries bounded before it is used.
#pragma once

#include <cstdint>
#include <span>

#include "rsa/rsa.h"

namespace sbl {

enum class KeyForm {
  kPlain,  // n, d (further components are not read)
  kCrt,    // n, e, d, p, q, dP, dQ, qInv
};

// Fills `key` (which the caller has cleared) from the blob and checks that the key is one the
// signing operations can use safely. Returns false, having copied nothing, when a component
// length is not a multiple of 4, exceeds its field in QIV_RSA_PRIVATE_KEY or runs past the
// blob; returns false after copying when the loaded key is unusable:
// - modulus outside 11..64 digits or without the top bit of its top digit (the 256-byte PSS
//   encoding and the 20-byte salt bound k; a representative below n needs a normalised n);
// - d longer than the modulus (the signing operation reads exactly k digits of it);
// - CRT form: odd k, p or q not of exactly k/2 digits with the top bit set, p not above q,
//   qInv longer than k/2 digits, or dP, dQ without digits or longer than k/2.
// On false the caller's wipe of `key` disposes of whatever was copied.
[[nodiscard]] bool load_private_key_blob(std::span<const std::uint8_t> blob, KeyForm form,
                                         QIV_RSA_PRIVATE_KEY& key);

}  // namespace sbl
