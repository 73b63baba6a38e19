// Test support: runs a built tool in a folder of its own and reports what a build script would
// see of it (standard output, exit status, the files left behind).
#pragma once

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace tool_test {

namespace fs = std::filesystem;
using Bytes = std::vector<unsigned char>;

struct ToolRun {
  int status = -1;  // exit status, or 128 + signal number
  std::string out;  // everything written to standard output
};

struct RunOptions {
  std::optional<rlim_t> file_size_limit;  // RLIMIT_FSIZE of the run
  bool unprivileged = false;              // as root, run as "nobody" so permission bits apply
};

constexpr uid_t kNobody = 65534;

// A fresh folder `work()` inside a private base folder; both are removed on destruction.
class TempFolder {
 public:
  TempFolder() {
    std::string pattern = (fs::temp_directory_path() / "tools-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    base_ = pattern;
    work_ = base_ / "work";
    fs::create_directory(work_);
  }
  ~TempFolder() {
    std::error_code ignored;
    fs::permissions(work_, fs::perms::owner_all, fs::perm_options::add, ignored);
    fs::remove_all(base_, ignored);
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  [[nodiscard]] const fs::path& base() const { return base_; }
  [[nodiscard]] const fs::path& work() const { return work_; }
  [[nodiscard]] fs::path operator/(const char* name) const { return work_ / name; }

  // File names in work(), sorted.
  [[nodiscard]] std::vector<std::string> names() const {
    std::vector<std::string> found;
    for (const auto& entry : fs::directory_iterator(work_))
      found.push_back(entry.path().filename());
    std::ranges::sort(found);
    return found;
  }

 private:
  fs::path base_;
  fs::path work_;
};

inline Bytes read_bytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void write_bytes(const fs::path& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

// A file of `size` bytes that occupies no disk: a hole from start to end.
inline void write_sparse(const fs::path& path, std::uintmax_t size) {
  std::ofstream{path};
  fs::resize_file(path, size);
}

// Bytes that differ from their neighbours and from the stamp, so a misplaced byte shows.
inline Bytes pattern(std::size_t size) {
  Bytes bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<unsigned char>(i * 7 + 0x11);
  return bytes;
}

// Runs `program` with `args` in `folder.work()` and collects its output and exit status.
inline ToolRun run_tool(const char* program, const TempFolder& folder, RunOptions options = {},
                        std::vector<std::string> args = {}) {
  std::string path = program;
  const bool drop_root = options.unprivileged && ::geteuid() == 0;
  if (drop_root) {
    // "nobody" may not reach the build tree; a copy beside the work folder it can.
    const fs::path copy = folder.base() / fs::path(program).filename();
    fs::copy_file(program, copy, fs::copy_options::overwrite_existing);
    fs::permissions(copy, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                              fs::perms::others_read | fs::perms::others_exec);
    fs::permissions(folder.base(), fs::perms::group_exec | fs::perms::others_exec,
                    fs::perm_options::add);
    path = copy.string();
  }

  std::vector<char*> argv{path.data()};
  for (auto& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);

  int pipe_fds[2];
  if (::pipe(pipe_fds) != 0) throw std::runtime_error("pipe failed");
  const pid_t pid = ::fork();
  if (pid == 0) {
    // Child: only async-signal-safe calls until exec.
    ::dup2(pipe_fds[1], STDOUT_FILENO);
    ::close(pipe_fds[0]);
    ::close(pipe_fds[1]);
    if (::chdir(folder.work().c_str()) != 0) ::_exit(125);
    if (options.file_size_limit) {
      const rlimit limit{*options.file_size_limit, *options.file_size_limit};
      if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) ::_exit(125);
    }
    if (drop_root &&
        (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0)) {
      ::_exit(125);
    }
    ::execv(path.c_str(), argv.data());
    ::_exit(127);
  }
  ::close(pipe_fds[1]);
  ToolRun run;
  char chunk[4096];
  ssize_t n = 0;
  while ((n = ::read(pipe_fds[0], chunk, sizeof chunk)) > 0)
    run.out.append(chunk, static_cast<std::size_t>(n));
  ::close(pipe_fds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return run;
}

}  // namespace tool_test
