// Internal to the crypto layer: which of the CPU's SHA and AES instructions the primitives may
// use, and the primitives written with them. The table-driven code in sha1.cpp and aes.cpp is
// the reference and the fallback; the instruction paths must give the same bytes.
//
// The choice is made at run time from CPUID, once per process. The build switch
// QIV_PORTABLE_CRYPTO (CMake option of the same name), or a host that is not x86, compiles the
// instruction paths out; the rest of the program is always built for baseline x86-64, and only
// the functions below carry the instruction-set attributes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "crypto/crypto.h"

#if (defined(__x86_64__) || defined(__i386__)) && !defined(QIV_PORTABLE_CRYPTO)
#define QIV_CRYPTO_X86 1
#else
#define QIV_CRYPTO_X86 0
#endif

namespace qiv::crypto_detail {

// What this build and this CPU can do, whatever force_portable says: SHA-1 needs the SHA
// extensions with SSSE3 and SSE4.1, AES needs AES-NI with SSE4.1. Always false when the
// instruction paths are compiled out.
bool cpu_has_sha1_instructions();
bool cpu_has_aes_instructions();

// For tests: true runs every public SHA-1 and AES function on the portable code, false returns
// to the instructions where the CPU has them. The programs never call it.
void force_portable(bool portable);

// What the public functions use now: the CPU has it and the portable code is not forced.
bool use_sha1_instructions();
bool use_aes_instructions();

#if QIV_CRYPTO_X86
// `count` 64-byte blocks at `data` (any alignment) into the five chaining words.
void sha1_blocks_x86(std::uint32_t* state, const std::uint8_t* data, std::size_t count);

// One block in place, with a record from _AES_KeySchedule (any key length). The decryption
// record holds the equivalent inverse cipher's schedule, which is what AESDEC expects.
void aes_encrypt_x86(const QIV_AES_KEY& enc, std::uint8_t* block);
void aes_decrypt_x86(const QIV_AES_KEY& dec, std::uint8_t* block);

// CBC over `count` whole blocks. `chain` (16 bytes) holds the previous ciphertext block on entry
// and the last one on return. Encryption needs `in` and `out` disjoint, or equal: each output
// block is written after its input block is read. Decryption allows them equal or disjoint.
void cbc_encrypt_x86(const QIV_AES_KEY& enc, std::uint8_t* chain, const std::uint8_t* in,
                     std::uint8_t* out, std::size_t count);
void cbc_decrypt_x86(const QIV_AES_KEY& dec, std::uint8_t* chain, const std::uint8_t* in,
                     std::uint8_t* out, std::size_t count);
#endif

}  // namespace qiv::crypto_detail
