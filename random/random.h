// Random numbers: the SHA-1 pseudo-random generator and the system noise it is stirred with.
//
// The generator's state is process-wide and unlocked: single-threaded use only.
#pragma once

#include <cstdint>

// XORs system noise into target (length a non-zero multiple of 4). The generator is its only
// caller. The program links the system implementation (target qiv_noise_system); tests may link
// a deterministic one instead (target qiv_noise_fixed), which makes every random byte, and so
// every key, salt and integrity key, reproducible.
void qiv_GetNoise(std::uint8_t* target, std::uint32_t length);

// Fills n bytes of out. 0, or QIV_ERR_NULL_PTR (-65520) for a null out, whatever n.
// Note the argument order: length first.
std::int32_t QIV_SHA1_PRNG_Rand(std::uint32_t n, void* out);
// XORs the seed into the secret state (wrapping after 40 bytes) and reseeds.
// 0, or QIV_ERR_NULL_PTR when n > 0 and seed is null.
std::int32_t QIV_SHA1_PRNG_AddSeed(const void* seed, std::uint32_t n);
