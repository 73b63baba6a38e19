// For harnesses that also run a command of the front end: a private temporary folder for the
// files it reads, and a scope that keeps its printed lines out of the fuzzer's output.
#pragma once

#include <fcntl.h>
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

// Standard output goes to /dev/null while this lives (libFuzzer reports on standard error).
class QuietStdout {
 public:
  QuietStdout() : saved_(::dup(STDOUT_FILENO)) {
    std::fflush(stdout);
    const int null = ::open("/dev/null", O_WRONLY);
    if (saved_ < 0 || null < 0 || ::dup2(null, STDOUT_FILENO) < 0) std::abort();
    ::close(null);
  }
  ~QuietStdout() {
    std::fflush(stdout);
    ::dup2(saved_, STDOUT_FILENO);
    ::close(saved_);
  }
  QuietStdout(const QuietStdout&) = delete;
  QuietStdout& operator=(const QuietStdout&) = delete;

 private:
  int saved_;
};

}  // namespace fuzz
