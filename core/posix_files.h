// Descriptor helpers shared by the whole-file helpers (files.cpp, output_set.cpp,
// temporary_files.cpp); not part of the front end's interface.
#pragma once

#include <fcntl.h>
#include <sys/types.h>

#include <cerrno>
#include <string>

#include "crypto/descriptor.h"

namespace posix_files {

inline qiv::Descriptor open_retrying(const char* path, int flags, mode_t mode = 0) {
  int fd = -1;
  do {
    fd = ::open(path, flags, mode);
  } while (fd < 0 && errno == EINTR);
  return qiv::Descriptor(fd);
}

// Drops O_NONBLOCK once a descriptor is open: the open must not wait (a named pipe without a
// peer), but the reads and writes that follow should, as for any file.
inline bool make_blocking(const qiv::Descriptor& fd) {
  const int flags = ::fcntl(fd.get(), F_GETFL);
  return flags >= 0 && ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) == 0;
}

// The folder part of a path: empty, or ending with '/'.
inline std::string folder_of(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

}  // namespace posix_files
