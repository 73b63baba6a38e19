// Random numbers: the SHA-1 pseudo-random generator and the system noise it is stirred with.
//
// The generator's state is process-wide and unlocked: single-threaded use only.
//
// Which noise a binary gets is decided at link time, at no cost in the program. The library
// qiv_random holds the generator and leaves qiv_GetNoise undefined; the executable links exactly
// one of two OBJECT libraries that define it:
//   qiv_noise_system  (random/)         the real gatherer; every program links this one;
//   qiv_noise_fixed   (tests/support/)  a deterministic one for tests, which also brings
//                                       qiv_random; see tests/support/fixed_noise.h for
//                                       qiv_test_reset_random() and qiv_test_noise_calls().
// Link either directly into the executable (object files do not pass through other libraries),
// never into a library, and never both into one binary.
#pragma once

#include <cstdint>

// XORs system noise into target (length a non-zero multiple of 4). The generator is its only
// caller. The program links the system implementation (target qiv_noise_system); tests may link
// a deterministic one instead (target qiv_noise_fixed), which makes every random byte, and so
// every key, salt and integrity key, reproducible. A null target or a length below 4 is
// ignored; a trailing partial word is left untouched.
void qiv_GetNoise(std::uint8_t* target, std::uint32_t length);

// Fills n bytes of out. 0, or QIV_ERR_NULL_PTR (-65520) for a null out, whatever n.
// Note the argument order: length first. The first request in a process, and the first after
// 32 refills (1280 bytes), stirs in noise; a length of 0 on a used-up pool still refills it.
std::int32_t QIV_SHA1_PRNG_Rand(std::uint32_t n, void* out);
// XORs the seed into the secret state (wrapping after 40 bytes) and reseeds. Pool bytes not yet
// served are still served first. 0, or QIV_ERR_NULL_PTR when n > 0 and seed is null.
std::int32_t QIV_SHA1_PRNG_AddSeed(const void* seed, std::uint32_t n);

// Zeroes the generator's secret state and pool and sets it back to where a process starts
// (reseed due, pool used up). The pool keeps the bytes it served until the next refill, the
// last integrity key and salt among them: the program calls this when it ends.
void qiv_SHA1_PRNG_Forget();

// True when the kernel random device opens as the gatherer opens it (read-only, non-blocking),
// is a character device and gives a byte without waiting. Of the noise sources it is the only
// one that someone who knows the machine and the moment cannot reconstruct: the key-pair
// commands refuse to make keys without it.
[[nodiscard]] bool qiv_RandomDeviceGivesBytes();
