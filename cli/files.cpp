// Whole-file reading on POSIX descriptors, each owned by an RAII holder so that no path out of
// a routine leaks one.
#include "cli/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "cli/files_seam.h"
#include "cli/posix_files.h"
#include "crypto/descriptor.h"
#include "crypto/wipe.h"

namespace {

constexpr const char* kOpenError = "file open error\n";
constexpr const char* kReadError = "file read error\n";

// Reading failures end the process: the command has written nothing yet and cannot go on.
[[noreturn]] void end_on_read_failure(const char* message) {
  std::fputs(message, stdout);
  std::exit(-1);
}

using posix_files::make_blocking;
using posix_files::open_retrying;
using qiv::Descriptor;

// An input opened once, with its size at the time it was opened. A named pipe opened for
// reading would wait for a writer forever, so the open does not wait; a folder opens but is
// not a file a command can read.
struct Input {
  Descriptor fd;
  struct stat st {};
};

Input open_input(const char* path) {
  Input in{open_retrying(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY), {}};
  if (!in.fd.valid() || ::fstat(in.fd.get(), &in.st) != 0 || S_ISDIR(in.st.st_mode) ||
      !make_blocking(in.fd)) {
    end_on_read_failure(kOpenError);
  }
  return in;
}

// The size of a regular file, bounded by `limit`.
std::size_t regular_size(const Input& in, std::int64_t limit) {
  if (!S_ISREG(in.st.st_mode) || in.st.st_size > limit) end_on_read_failure(kReadError);
  return static_cast<std::size_t>(in.st.st_size);
}

// Reads exactly `count` bytes from the start; read() returns 0 at the end of the file, so a
// file shorter than count ends here instead of being asked for the missing bytes forever.
void read_exactly(const Input& in, std::uint8_t* buffer, std::size_t count) {
  std::size_t done = 0;
  while (done < count) {
    const ssize_t n = ::read(in.fd.get(), buffer + done, count - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) end_on_read_failure(kOpenError);
    done += static_cast<std::size_t>(n);
  }
}

// A regular file that grew or shrank while it was read was being written by someone else: its
// bytes are no file that ever existed as a whole. Whole-file reads also make sure that nothing
// follows the bytes they took.
void require_unchanged(const char* path, const Input& in, bool wholeFile) {
  if (files_seam::after_read != nullptr) files_seam::after_read(path);
  if (!S_ISREG(in.st.st_mode)) return;
  struct stat now {};
  if (::fstat(in.fd.get(), &now) != 0 || now.st_size != in.st.st_size) {
    end_on_read_failure(kReadError);
  }
  if (!wholeFile) return;
  std::uint8_t extra = 0;
  ssize_t n = 0;
  do {
    n = ::read(in.fd.get(), &extra, 1);
  } while (n < 0 && errno == EINTR);
  if (n != 0) end_on_read_failure(kReadError);
}

}  // namespace

std::int32_t get_file_length(const char* path) {
  const Input in = open_input(path);
  return static_cast<std::int32_t>(regular_size(in, kMaxFileLength));
}

void read_file(const char* path, std::uint8_t* buffer, std::int32_t count) {
  const Input in = open_input(path);
  if (count < 0) end_on_read_failure(kOpenError);
  read_exactly(in, buffer, static_cast<std::size_t>(count));
  require_unchanged(path, in, false);
}

std::int32_t read_whole_file(const char* path, std::span<std::uint8_t> room) {
  std::fill(room.begin(), room.end(), std::uint8_t{0});
  const Input in = open_input(path);
  const std::size_t length = regular_size(in, kMaxFileLength);
  if (length > room.size()) return -1;
  read_exactly(in, room.data(), length);
  require_unchanged(path, in, true);
  return static_cast<std::int32_t>(length);
}

std::optional<qiv::SecretBuffer> read_file_with_trailer(const char* path, std::uint32_t trailer) {
  const Input in = open_input(path);
  const std::int64_t limit = std::int64_t{kMaxFileLength} - std::int64_t{trailer};
  const std::size_t length = regular_size(in, limit);
  std::optional<qiv::SecretBuffer> buffer(std::in_place, length + trailer);
  if (!buffer->ok()) {
    std::fputs(kOutOfMemory, stdout);
    return std::nullopt;
  }
  read_exactly(in, buffer->data(), length);
  require_unchanged(path, in, true);
  return buffer;
}
