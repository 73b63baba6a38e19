// System noise XORed into the generator's secret state.
//
// Five sources are mixed in a fixed order: the optional "noise.dat", the kernel's random device,
// the time of day, the process's resource usage and the platform's srand/rand generator. Each
// contributes 32-bit words along a circular walk over the target, so a source longer than the
// target folds onto it; nothing a source delivers is ever lost or written past the target.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdlib>

#include "crypto/descriptor.h"
#include "crypto/endian.h"
#include "crypto/wipe.h"
#include "random/noise_internal.h"
#include "random/random.h"

namespace qiv::noise {

std::uint8_t* pInit = nullptr;
std::uint8_t* pEnd = nullptr;
std::uint8_t* pCur = nullptr;
std::uint32_t xx = 0;

namespace {

// One descriptor opened read-only and non-blocking, so that a FIFO or a device with nothing to
// give returns at once instead of stalling the caller. Closed on every path out of its scope.
class ReadOnlyFd {
 public:
  explicit ReadOnlyFd(const char* path) : fd_(::open(path, O_RDONLY | O_NONBLOCK)) {}

  [[nodiscard]] bool is_open() const { return fd_.valid(); }
  // At most `limit` bytes (never more than the scratch holds) into scratch; -1 on error.
  [[nodiscard]] ssize_t read_into(Scratch& scratch, std::uint32_t limit) const {
    return ::read(fd_.get(), scratch.data(), limit < kScratchLen ? limit : kScratchLen);
  }
  [[nodiscard]] off_t size() const { return ::lseek(fd_.get(), 0, SEEK_END); }
  [[nodiscard]] bool rewind() const { return ::lseek(fd_.get(), 0, SEEK_SET) == 0; }

 private:
  qiv::Descriptor fd_;
};

// Time and usage fields are wider than a word on some platforms; their low 32 bits are mixed.
template <typename T>
constexpr std::uint32_t low32(T value) {
  return static_cast<std::uint32_t>(value);
}

// Mixes the first `words` words of the scratch buffer, then wipes all of it.
void mix_scratch(Scratch& scratch, std::uint32_t words) {
  for (std::uint32_t i = 0; i < words; ++i) mix_word(load_le32(scratch.data() + 4 * i));
  wipe(scratch.data(), scratch.size());
}

// Reads the noise file into scratch and says how many words of it to mix: all 64 when the file
// fills the scratch, otherwise one per started group of 4 bytes that arrived. A file whose size
// cannot be measured (a pipe, a directory) or that cannot be read gives nothing.
std::uint32_t read_noise_file(const char* path, Scratch& scratch) {
  const ReadOnlyFd file(path);
  if (!file.is_open()) return 0;
  const off_t size = file.size();
  if (size <= 0 || !file.rewind()) return 0;
  const bool fills_scratch = size >= off_t{kScratchLen};
  const ssize_t got = file.read_into(scratch, fills_scratch ? kScratchLen : low32(size));
  if (got <= 0) return 0;
  return fills_scratch ? kScratchWords : (low32(got) + 3) / 4;
}

}  // namespace

bool start_walk(std::uint8_t* target, std::uint32_t length) {
  const std::uint32_t whole_words = length - length % 4;
  if (target == nullptr || whole_words == 0) return false;
  pInit = target;
  pEnd = target + whole_words;
  pCur = target;
  return true;
}

void mix_word(std::uint32_t w) {
  store_le32(pCur, load_le32(pCur) ^ w);
  pCur += 4;
  if (pCur == pEnd) pCur = pInit;
}

void mix_noise_file(const char* path, Scratch& scratch) {
  mix_scratch(scratch, read_noise_file(path, scratch));
}

void mix_random_device(const char* path, Scratch& scratch) {
  const ReadOnlyFd device(path);
  if (!device.is_open()) return;
  // Whatever arrives without waiting. Bytes not delivered stay zero, so their words still
  // advance the walk but leave the target unchanged.
  [[maybe_unused]] const ssize_t got = device.read_into(scratch, kScratchLen);
  mix_scratch(scratch, kScratchWords);
}

void mix_time_of_day() {
  timeval now{};
  ::gettimeofday(&now, nullptr);
  mix_word(low32(now.tv_sec));
  mix_word(low32(now.tv_usec));
}

void mix_resource_usage() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  // The two times, then the fourteen counters in the record's declared order.
  const std::array<std::uint32_t, 18> words{
      low32(usage.ru_utime.tv_sec),  low32(usage.ru_utime.tv_usec), low32(usage.ru_stime.tv_sec),
      low32(usage.ru_stime.tv_usec), low32(usage.ru_maxrss),        low32(usage.ru_ixrss),
      low32(usage.ru_idrss),         low32(usage.ru_isrss),         low32(usage.ru_minflt),
      low32(usage.ru_majflt),        low32(usage.ru_nswap),         low32(usage.ru_inblock),
      low32(usage.ru_oublock),       low32(usage.ru_msgsnd),        low32(usage.ru_msgrcv),
      low32(usage.ru_nsignals),      low32(usage.ru_nvcsw),         low32(usage.ru_nivcsw),
  };
  for (const std::uint32_t w : words) mix_word(w);
}

void mix_platform_rand(Scratch& scratch) {
  // Seeded 0, 1, 2, ... in call order, so the n-th call's contribution is the same in every run.
  std::srand(xx++);
  for (std::uint8_t& byte : scratch) {
    byte = static_cast<std::uint8_t>(std::rand());
    for (int i = 0; i < kDiscardedRandsPerByte; ++i) std::rand();
  }
  mix_scratch(scratch, kScratchWords);
}

void gather(std::uint8_t* target, std::uint32_t length, const Sources& sources) {
  if (!start_walk(target, length)) return;
  Scratch scratch{};
  mix_noise_file(sources.noise_file, scratch);
  mix_random_device(sources.random_device, scratch);
  mix_time_of_day();
  mix_resource_usage();
  mix_platform_rand(scratch);
}

}  // namespace qiv::noise

void qiv_GetNoise(std::uint8_t* target, std::uint32_t length) {
  qiv::noise::gather(target, length,
                     {qiv::noise::kSystemSources.noise_file, qiv::noise::random_device_path});
}
