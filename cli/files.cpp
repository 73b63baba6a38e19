// Whole-file reading and writing on POSIX descriptors, each owned by an RAII holder so that no
// path out of a routine leaks one.
#include "cli/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <utility>

namespace {

constexpr const char* kOpenError = "file open error\n";
constexpr const char* kReadError = "file read error\n";
constexpr const char* kWriteError = "file write error\n";

// Reading failures end the process: the command has written nothing yet and cannot go on.
[[noreturn]] void end_on_read_failure(const char* message) {
  std::fputs(message, stdout);
  std::exit(-1);
}

// Writing failures are reported to the caller, which finishes its work and then fails.
std::int32_t report_write_failure(const char* message) {
  std::fputs(message, stdout);
  return -1;
}

class Descriptor {
 public:
  Descriptor() = default;
  explicit Descriptor(int fd) : fd_(fd) {}
  Descriptor(Descriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Descriptor& operator=(Descriptor&& other) noexcept {
    std::swap(fd_, other.fd_);
    return *this;
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }

  [[nodiscard]] int get() const { return fd_; }
  [[nodiscard]] bool valid() const { return fd_ >= 0; }
  // Closes now and tells whether the kernel accepted it: on some file systems a deferred write
  // error surfaces only here.
  [[nodiscard]] bool close() { return ::close(std::exchange(fd_, -1)) == 0; }

 private:
  int fd_ = -1;
};

Descriptor open_retrying(const char* path, int flags, mode_t mode = 0) {
  int fd = -1;
  do {
    fd = ::open(path, flags, mode);
  } while (fd < 0 && errno == EINTR);
  return Descriptor(fd);
}

// A folder opens for reading, but it is not a file a command can read.
// A named pipe opened for reading would wait for a writer forever, so the open does not wait
// (O_NONBLOCK); the reads that follow do wait again, as for any pipe: one without a writer then
// reads as empty, which a command refuses as a short file instead of hanging.
Descriptor open_for_reading(const char* path) {
  Descriptor fd = open_retrying(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  struct stat st {};
  if (!fd.valid() || ::fstat(fd.get(), &st) != 0 || S_ISDIR(st.st_mode)) {
    end_on_read_failure(kOpenError);
  }
  const int flags = ::fcntl(fd.get(), F_GETFL);
  if (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) {
    end_on_read_failure(kOpenError);
  }
  return fd;
}

bool write_all(int fd, std::span<const std::uint8_t> bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes = bytes.subspan(static_cast<std::size_t>(n));
  }
  return true;
}

// A new file in `folder` (empty, or ending with '/') under a name no other process uses; it is
// removed again unless keep() is called after it has been renamed into place.
class TemporaryFile {
 public:
  TemporaryFile() = default;
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;
  ~TemporaryFile() {
    if (!path_.empty() && !kept_) ::unlink(path_.c_str());
  }

  // O_EXCL guarantees the file is ours; a name taken by a leftover of an earlier run is skipped.
  [[nodiscard]] bool create(const std::string& folder, mode_t mode) {
    static unsigned serial = 0;
    for (int attempt = 0; attempt < 100; ++attempt) {
      std::string candidate = folder + ".Tarnwick_V21-" + std::to_string(::getpid()) + "-" +
                              std::to_string(serial++) + ".tmp";
      fd_ = open_retrying(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
      if (fd_.valid()) {
        path_ = std::move(candidate);
        return true;
      }
      if (errno != EEXIST) return false;
    }
    return false;
  }

  [[nodiscard]] Descriptor& descriptor() { return fd_; }
  [[nodiscard]] const std::string& path() const { return path_; }
  void keep() { kept_ = true; }

 private:
  Descriptor fd_;
  std::string path_;
  bool kept_ = false;
};

std::string folder_of(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// The target changes from its old content to the new one in a single rename, and only after
// the new bytes have reached the disk; until then the old file is untouched.
std::int32_t replace_file(const std::string& target, std::span<const std::uint8_t> bytes,
                          mode_t mode, bool forceMode) {
  TemporaryFile temp;
  if (!temp.create(folder_of(target), mode)) return report_write_failure(kOpenError);
  Descriptor& fd = temp.descriptor();
  if (forceMode && ::fchmod(fd.get(), mode) != 0) return report_write_failure(kWriteError);
  if (!write_all(fd.get(), bytes) || ::fsync(fd.get()) != 0 || !fd.close()) {
    return report_write_failure(kWriteError);
  }
  if (::rename(temp.path().c_str(), target.c_str()) != 0) {
    return report_write_failure(kWriteError);
  }
  temp.keep();
  return 0;
}

// Devices and pipes cannot be replaced by a rename (and must not be: /dev/null stays a
// device), so they receive the bytes directly.
std::int32_t write_in_place(const char* path, std::span<const std::uint8_t> bytes) {
  Descriptor fd = open_retrying(path, O_WRONLY | O_TRUNC | O_CLOEXEC);
  if (!fd.valid()) return report_write_failure(kOpenError);
  if (!write_all(fd.get(), bytes) || !fd.close()) return report_write_failure(kWriteError);
  return 0;
}

}  // namespace

std::int32_t get_file_length(const char* path) {
  const Descriptor fd = open_for_reading(path);
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > kMaxFileLength) {
    end_on_read_failure(kReadError);
  }
  return static_cast<std::int32_t>(st.st_size);
}

void read_file(const char* path, std::uint8_t* buffer, std::int32_t count) {
  const Descriptor fd = open_for_reading(path);
  if (count < 0) end_on_read_failure(kReadError);
  // read() returns 0 at the end of the file: a file shorter than count ends here instead of
  // being asked for the missing bytes again and again.
  const auto wanted = static_cast<std::size_t>(count);
  std::size_t done = 0;
  while (done < wanted) {
    const ssize_t n = ::read(fd.get(), buffer + done, wanted - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) end_on_read_failure(kReadError);
    done += static_cast<std::size_t>(n);
  }
}

std::int32_t read_whole_file(const char* path, std::span<std::uint8_t> room) {
  std::fill(room.begin(), room.end(), std::uint8_t{0});
  const std::int32_t length = get_file_length(path);
  if (static_cast<std::size_t>(length) > room.size()) return -1;
  read_file(path, room.data(), length);
  return length;
}

std::int32_t write_file(const char* path, const std::uint8_t* buffer, std::int32_t count,
                        FileAccess access) {
  if (path == nullptr || *path == '\0') return report_write_failure(kOpenError);
  if (count < 0 || (count > 0 && buffer == nullptr)) return report_write_failure(kWriteError);
  const std::span<const std::uint8_t> bytes(buffer, static_cast<std::size_t>(count));
  const bool ownerOnly = access == FileAccess::kOwnerOnly;

  struct stat st {};
  if (::stat(path, &st) != 0) {
    if (errno != ENOENT) return report_write_failure(kOpenError);
    // A new file gets its permissions from open(), so the umask applies as usual.
    return replace_file(path, bytes, ownerOnly ? 0600 : 0666, false);
  }
  if (!S_ISREG(st.st_mode)) return write_in_place(path, bytes);

  // Replace the file a symbolic link names, not the link.
  const std::unique_ptr<char, decltype(&std::free)> real(::realpath(path, nullptr), &std::free);
  if (!real) return report_write_failure(kOpenError);
  const mode_t mode = ownerOnly ? 0600 : (st.st_mode & 0777);
  return replace_file(real.get(), bytes, mode, true);
}
