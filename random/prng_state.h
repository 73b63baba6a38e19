// Inside the generator: its process-wide state and the values a process starts with. The
// program reaches the generator only through random/random.h; this header exists so that tests
// can observe the state and put it back to the start of a process.
#pragma once

#include <array>
#include <cstdint>

namespace qiv::prng {

// The secret state and the pool are two SHA-1 digests each.
inline constexpr std::uint32_t kHalfLen = 20;
inline constexpr std::uint32_t kStateLen = 2 * kHalfLen;
// Noise is stirred in again after this many refills (32 x 40 = 1280 output bytes).
inline constexpr std::uint32_t kReseedAfterRefills = 32;

// A process starts with a reseed due and the pool used up, so the first request gathers noise
// and refills before it serves a byte.
inline constexpr std::uint32_t kInitialCount = kReseedAfterRefills;
inline constexpr std::uint32_t kPoolUsedUp = kStateLen;

extern std::array<std::uint8_t, kStateLen> sabSecretState;  // S: two halves, initially zero
extern std::array<std::uint8_t, kStateLen> sabRandPool;     // P: two halves, initially zero
extern std::uint32_t suCount;                               // refills since the last reseed
extern std::uint32_t uIndexRandPool;  // next pool byte to serve; kPoolUsedUp when used up

}  // namespace qiv::prng
