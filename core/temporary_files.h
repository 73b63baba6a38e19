// Temporary files of the output writer, and the signal handlers' view of them: every temporary
// alive is listed where remove_temporary_files_now (files.h) can unlink it from a handler.
#pragma once

#include <sys/types.h>

#include <string>

#include "crypto/descriptor.h"

// A new file in `folder` (empty, or ending with '/') under a name no other process uses; it is
// removed again unless release() is called once it has been installed.
class TemporaryFile {
 public:
  TemporaryFile() = default;
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;
  ~TemporaryFile() { remove(); }

  // Created exclusively (O_EXCL) and open for reading and writing; a name taken by a leftover
  // of an earlier run is skipped. False with errno from the last attempt.
  [[nodiscard]] bool create(const std::string& folder, mode_t mode);

  [[nodiscard]] qiv::Descriptor& descriptor() { return fd_; }
  [[nodiscard]] const std::string& path() const { return path_; }
  [[nodiscard]] bool exists() const { return !path_.empty(); }

  // The name is no longer ours to remove (it was renamed into place).
  void release();
  // Unlinks the file now.
  void remove();

 private:
  qiv::Descriptor fd_;
  std::string path_;
  int slot_ = -1;
};
