// Inside the noise gatherer: its walk state and its sources one by one. The program reaches the
// gatherer only through qiv_GetNoise (random/random.h) and asks this header one question, whether
// the kernel random device gives bytes; the rest exists so that tests can drive a single source
// against a known target and observe where the walk stands.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>

#include "crypto/wipe.h"

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

// The kernel random device as the program reads it: qiv_GetNoise mixes it on every call, and the
// key-pair commands refuse to make a key when random_device_gives_bytes(random_device_path) is
// false. Of the five sources it is the only one that someone who knows the machine and the
// moment cannot reconstruct (the clock, the usage counters and a rand() seeded 0, 1, 2, ... are
// guessable). Nothing in the program assigns this; it is a variable only so that a test binary
// can point the gatherer and the check at a path of its choosing. Header-only, so that binaries
// linking the fixed test noise instead of the gatherer still link the check.
inline const char* random_device_path = kSystemSources.random_device;

// True when `path` opens as the gatherer opens it (read-only, non-blocking), is a character
// device, and gives at least one byte without waiting. False for a path that is missing or
// unreadable, a folder, a pipe, a device that has nothing yet (a kernel whose pool is not
// initialised answers EAGAIN), and any regular file, even one full of bytes: a file
// bind-mounted over the device is as predictable as whoever wrote it.
[[nodiscard]] inline bool random_device_gives_bytes(const char* path) {
  const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st {};
  std::uint8_t byte = 0;
  ssize_t got = 0;
  if (::fstat(fd, &st) == 0 && S_ISCHR(st.st_mode)) {
    do {
      got = ::read(fd, &byte, 1);
    } while (got < 0 && errno == EINTR);
  }
  ::close(fd);
  qiv::wipe(&byte, sizeof byte);
  return got == 1;
}

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
