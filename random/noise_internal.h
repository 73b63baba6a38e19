// Inside the noise gatherer: its walk state and its sources one by one. The program reaches the
// gatherer only through qiv_GetNoise (random/random.h); this header exists so that tests can
// drive a single source against a known target and observe where the walk stands.
#pragma once

#include <array>
#include <cstdint>

namespace qiv::noise {

// Every byte source is read into this much scratch, so no source mixes more than 64 words.
inline constexpr std::uint32_t kScratchLen = 256;
inline constexpr std::uint32_t kScratchWords = kScratchLen / 4;

// The platform generator's contribution: each scratch byte is the low byte of one rand() result,
// followed by this many discarded results.
inline constexpr int kDiscardedRandsPerByte = 2;

// Where the byte sources are found. The program always uses kSystemSources.
struct Sources {
  const char* noise_file;
  const char* random_device;
};
inline constexpr Sources kSystemSources{"noise.dat", "/dev/random"};

// The walk over the current target. pCur always points at a whole word inside
// [pInit, pEnd); pEnd - pInit is a non-zero multiple of 4.
extern std::uint8_t* pInit;
extern std::uint8_t* pEnd;
extern std::uint8_t* pCur;
// Seed of the next platform-generator contribution; counts the calls in this process.
extern std::uint32_t xx;

// Receives one byte source at a time. Zero before each source is read into it and wiped after
// each source is mixed, so no noise byte outlives the call.
using Scratch = std::array<std::uint8_t, kScratchLen>;

// Starts a walk at the beginning of target. Lengths that are not a multiple of 4 are rounded
// down; false (and no walk) for a null target or fewer than 4 bytes.
[[nodiscard]] bool start_walk(std::uint8_t* target, std::uint32_t length);
// XORs w little-endian into the word at pCur and advances pCur, wrapping at pEnd.
void mix_word(std::uint32_t w);

// The five sources, in the order qiv_GetNoise mixes them. Each needs a started walk.
void mix_noise_file(const char* path, Scratch& scratch);
void mix_random_device(const char* path, Scratch& scratch);
void mix_time_of_day();
void mix_resource_usage();
void mix_platform_rand(Scratch& scratch);

// qiv_GetNoise with the byte sources looked up at the given paths.
void gather(std::uint8_t* target, std::uint32_t length, const Sources& sources);

}  // namespace qiv::noise
