// Reading an input file whole, with a bound on what is read.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "crypto/descriptor.h"
#include "inspect/inspect.h"

namespace inspect {

namespace {

using qiv::Descriptor;

Input unreadable(std::string reason) {
  Input input;
  input.status = Input::Status::kUnreadable;
  input.reason = std::move(reason);
  return input;
}

}  // namespace

Input read_input(const std::string& path) {
  // Non-blocking, so that a named pipe without a writer is refused below instead of waiting.
  const Descriptor fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (fd.get() < 0) return unreadable(std::strerror(errno));
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0) return unreadable(std::strerror(errno));
  if (S_ISDIR(info.st_mode)) return unreadable("is a folder");
  if (!S_ISREG(info.st_mode)) return unreadable("not a regular file");

  Input input;
  input.size = static_cast<std::uint64_t>(info.st_size);
  if (input.size > kMaxFileSize) {
    input.status = Input::Status::kTooLarge;
    return input;
  }
  qiv::SecretBuffer& bytes = input.bytes;
  if (!bytes.reserve(static_cast<std::size_t>(input.size))) {
    return unreadable(std::strerror(ENOMEM));
  }
  // Read to the end of the file rather than trusting the size taken before: a file that grows
  // meanwhile is still read only up to the bound (the buffer grows, wiping what it leaves).
  qiv::SecretArray<std::uint8_t, 65536> chunk;  // may hold an eFuse value: wiped on every path
  for (;;) {
    const ssize_t got = ::read(fd.get(), chunk.data(), chunk.size());
    if (got < 0) {
      if (errno == EINTR) continue;
      return unreadable(std::strerror(errno));
    }
    if (got == 0) break;
    const std::size_t had = bytes.size();
    if (had + static_cast<std::size_t>(got) > kMaxFileSize) {
      input.size = had + static_cast<std::size_t>(got);
      input.status = Input::Status::kTooLarge;
      return input;
    }
    if (!bytes.resize(had + static_cast<std::size_t>(got))) {
      return unreadable(std::strerror(ENOMEM));
    }
    std::copy_n(chunk.data(), got, bytes.data() + had);
  }
  input.size = bytes.size();
  input.status = Input::Status::kRead;
  return input;
}

}  // namespace inspect
