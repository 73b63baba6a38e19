// One owner for a POSIX file descriptor, shared by every library that opens files (the noise
// gatherer, the front end's file helpers, the inspector). The stand-alone tools keep their own
// copy so that each stays one source file.
#pragma once

#include <unistd.h>

#include <utility>

namespace qiv {

// Closes its descriptor on every path out of its scope; movable, never copied.
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

}  // namespace qiv
