// A seam inside the code encryption, for tests only.
//
// Encrypt_Code proves its ciphertext by decrypting a copy and comparing it with the code before
// the ciphertext replaces the code. Only a faulty cipher could make that proof fail, so no
// input reaches the refusal; a test points this hook at a function that damages the fresh
// ciphertext, which is what such a fault would do. Nothing in the program assigns it.
#pragma once

#include <cstdint>

namespace sbl::seam {

inline void (*after_code_encryption)(std::uint8_t* cipher, std::uint32_t length) = nullptr;

}  // namespace sbl::seam
