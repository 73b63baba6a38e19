// For harnesses that also run a command of the core: a private temporary folder for the files
// it reads.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <set>
#include <span>
#include <string>

namespace fuzz {

// Made on first use, removed with the files written into it when the process ends.
class TempFolder {
 public:
  explicit TempFolder(const char* tag) {
    const char* tmp = std::getenv("TMPDIR");
    path_ = std::string(tmp != nullptr ? tmp : "/tmp") + "/qiv-" + tag + "-XXXXXX";
    if (::mkdtemp(path_.data()) == nullptr) std::abort();
  }
  ~TempFolder() {
    for (const std::string& file : files_) ::unlink(file.c_str());
    ::rmdir(path_.c_str());
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  // (Re)writes name with exactly these bytes and returns its path.
  std::string write(const char* name, std::span<const std::uint8_t> bytes) {
    const std::string file = path_ + "/" + name;
    std::FILE* out = std::fopen(file.c_str(), "wb");
    if (out == nullptr ||
        (!bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), out) != bytes.size()) ||
        std::fclose(out) != 0) {
      std::abort();
    }
    files_.insert(file);
    return file;
  }

 private:
  std::string path_;
  std::set<std::string> files_;
};

}  // namespace fuzz
