// Seams inside the code encryption, for tests only. Nothing in the program assigns them.
//
// Encrypt_Code works through the code in chunks and proves each chunk's ciphertext by
// decrypting a copy and comparing it with the code before the ciphertext replaces that chunk.
// Only a faulty cipher could make that proof fail, so no input reaches the refusal; a test
// points after_code_encryption at a function that damages the fresh ciphertext, which is what
// such a fault would do. It is called once per chunk, in order, with that chunk's ciphertext.
//
// chunk_size, when it is a nonzero multiple of 16, replaces the program's chunk size (64 KiB),
// so that a short code spans many chunks; any other value leaves the program's size.
//
// scratch_unavailable makes the scratch allocation fail as it does when memory runs out, which
// a test cannot otherwise bring about for two small blocks without starving the whole process.
#pragma once

#include <cstdint>

namespace sbl::seam {

inline void (*after_code_encryption)(std::uint8_t* cipher, std::uint32_t length) = nullptr;
inline std::uint32_t chunk_size = 0;
inline bool scratch_unavailable = false;

}  // namespace sbl::seam
