#include "core/temporary_files.h"

#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <utility>

#include "core/files.h"
#include "core/posix_files.h"
#include "core/process_guard.h"

namespace {

// The handlers may call unlink(2) and nothing that allocates or locks, so the names of the
// temporaries alive now live in fixed storage. A slot is claimed and released only while the
// cleanup signals are held (SignalsHeld), so a handler never sees half a name.
constexpr std::size_t kMaxTemporaries = 16;
std::array<std::array<char, PATH_MAX>, kMaxTemporaries> sTemporaryNames{};
std::array<volatile sig_atomic_t, kMaxTemporaries> sTemporaryInUse{};

int claim_slot(const std::string& path) {
  if (path.size() >= PATH_MAX) return -1;
  for (std::size_t i = 0; i < kMaxTemporaries; ++i) {
    if (sTemporaryInUse[i] != 0) continue;
    std::memcpy(sTemporaryNames[i].data(), path.c_str(), path.size() + 1);
    sTemporaryInUse[i] = 1;
    return static_cast<int>(i);
  }
  return -1;
}

void release_slot(int slot) {
  if (slot >= 0) sTemporaryInUse[static_cast<std::size_t>(slot)] = 0;
}

}  // namespace

bool TemporaryFile::create(const std::string& folder, mode_t mode) {
  static unsigned serial = 0;
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string candidate = folder + ".Tarnwick_V21-" + std::to_string(::getpid()) + "-" +
                            std::to_string(serial++) + ".tmp";
    const SignalsHeld held;
    fd_ =
        posix_files::open_retrying(candidate.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd_.valid()) {
      slot_ = claim_slot(candidate);
      path_ = std::move(candidate);
      if (slot_ >= 0) return true;
      remove();
      errno = EMFILE;
      return false;
    }
    if (errno != EEXIST) return false;
  }
  return false;
}

void TemporaryFile::release() {
  const SignalsHeld held;
  release_slot(std::exchange(slot_, -1));
  path_.clear();
}

void TemporaryFile::remove() {
  if (path_.empty()) return;
  const SignalsHeld held;
  ::unlink(path_.c_str());
  release();
}

void remove_temporary_files_now() noexcept {
  for (std::size_t i = 0; i < kMaxTemporaries; ++i) {
    if (sTemporaryInUse[i] != 0) ::unlink(sTemporaryNames[i].data());
  }
}
