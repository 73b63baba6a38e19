// Whole-file reading on POSIX descriptors, each owned by an RAII holder so that no path out of
// a routine leaks one.
#include "core/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cctype>
#include <cstring>
#include <string>

#include "core/files_seam.h"
#include "core/posix_files.h"
#include "crypto/descriptor.h"
#include "crypto/wipe.h"

namespace {

using core::Class;
using core::Event;
using posix_files::make_blocking;
using posix_files::open_retrying;
using qiv::Descriptor;

// Reading failures are refusals of the input: the command has written nothing yet and cannot go
// on, so every caller returns at once.
bool refuse(core::Report& report, Event event, const char* path, std::string cause) {
  report.refuse(Class::kInput, event, path, std::move(cause));
  return false;
}

std::string errno_text(int error) {
  std::string text = std::strerror(error);
  if (!text.empty()) text.front() = static_cast<char>(std::tolower(text.front()));
  return text;
}

// An input opened once, with its size at the time it was opened. A named pipe opened for
// reading would wait for a writer forever, so the open does not wait; a folder opens but is
// not a file a command can read.
struct Input {
  Descriptor fd;
  struct stat st {};
};

bool open_input(core::Report& report, const char* path, Input& in) {
  in.fd = open_retrying(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (!in.fd.valid()) return refuse(report, Event::kFileOpenError, path, errno_text(errno));
  if (::fstat(in.fd.get(), &in.st) != 0 || !make_blocking(in.fd)) {
    return refuse(report, Event::kFileOpenError, path, errno_text(errno));
  }
  if (S_ISDIR(in.st.st_mode)) return refuse(report, Event::kFileOpenError, path, "is a folder");
  return true;
}

// The size of a regular file, bounded by `limit`.
std::optional<std::size_t> regular_size(core::Report& report, const char* path, const Input& in,
                                        std::int64_t limit) {
  if (!S_ISREG(in.st.st_mode)) {
    refuse(report, Event::kFileReadError, path, "is not a regular file");
    return std::nullopt;
  }
  if (in.st.st_size > limit) {
    refuse(report, Event::kFileReadError, path,
           std::to_string(in.st.st_size) + " bytes; at most " + std::to_string(limit) +
               " are accepted");
    return std::nullopt;
  }
  return static_cast<std::size_t>(in.st.st_size);
}

// Reads exactly `count` bytes from the start; read() returns 0 at the end of the file, so a
// file shorter than count ends here instead of being asked for the missing bytes forever.
bool read_exactly(core::Report& report, const char* path, const Input& in, std::uint8_t* buffer,
                  std::size_t count) {
  std::size_t done = 0;
  while (done < count) {
    const ssize_t n = ::read(in.fd.get(), buffer + done, count - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return refuse(report, Event::kFileOpenError, path, errno_text(errno));
    if (n == 0) {
      return refuse(report, Event::kFileOpenError, path,
                    std::to_string(done) + " bytes; at least " + std::to_string(count) +
                        " are needed");
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// A regular file that grew or shrank while it was read was being written by someone else: its
// bytes are no file that ever existed as a whole. Whole-file reads also make sure that nothing
// follows the bytes they took.
bool require_unchanged(core::Report& report, const char* path, const Input& in, bool wholeFile) {
  if (files_seam::after_read != nullptr) files_seam::after_read(path);
  if (!S_ISREG(in.st.st_mode)) return true;
  struct stat now {};
  const auto changed = [&] {
    return refuse(report, Event::kFileReadError, path, "changed while it was read");
  };
  if (::fstat(in.fd.get(), &now) != 0 || now.st_size != in.st.st_size) return changed();
  if (!wholeFile) return true;
  std::uint8_t extra = 0;
  ssize_t n = 0;
  do {
    n = ::read(in.fd.get(), &extra, 1);
  } while (n < 0 && errno == EINTR);
  return n == 0 || changed();
}

}  // namespace

bool read_file(core::Report& report, const char* path, std::uint8_t* buffer, std::int32_t count) {
  Input in;
  if (!open_input(report, path, in)) return false;
  if (count < 0) return refuse(report, Event::kFileOpenError, path, "a negative count");
  return read_exactly(report, path, in, buffer, static_cast<std::size_t>(count)) &&
         require_unchanged(report, path, in, false);
}

WholeFile read_whole_file(core::Report& report, const char* path, std::span<std::uint8_t> room) {
  std::fill(room.begin(), room.end(), std::uint8_t{0});
  Input in;
  if (!open_input(report, path, in)) return {WholeFile::kFailed, 0};
  const auto length = regular_size(report, path, in, kMaxFileLength);
  if (!length) return {WholeFile::kFailed, 0};
  if (*length > room.size()) return {WholeFile::kTooLong, *length};
  if (!read_exactly(report, path, in, room.data(), *length) ||
      !require_unchanged(report, path, in, true)) {
    return {WholeFile::kFailed, 0};
  }
  return {WholeFile::kRead, *length};
}

std::optional<qiv::SecretBuffer> read_file_with_trailer(core::Report& report, const char* path,
                                                        std::uint32_t trailer) {
  Input in;
  if (!open_input(report, path, in)) return std::nullopt;
  const std::int64_t limit = std::int64_t{kMaxFileLength} - std::int64_t{trailer};
  const auto length = regular_size(report, path, in, limit);
  if (!length) return std::nullopt;
  std::optional<qiv::SecretBuffer> buffer(std::in_place, *length + trailer);
  if (!buffer->ok()) {
    report.refuse(Class::kSystem, Event::kOutOfMemory, path, "no memory for the file");
    return std::nullopt;
  }
  if (!read_exactly(report, path, in, buffer->data(), *length) ||
      !require_unchanged(report, path, in, true)) {
    return std::nullopt;
  }
  return buffer;
}
