#include "tests/cli/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

namespace {

// Forks; the child wires its stdout and stderr to pipes and runs `child` (which must not
// return); the parent collects both streams until they close, then the status.
Captured capture(const std::function<void()>& child) {
  int out[2];
  int err[2];
  if (::pipe(out) != 0 || ::pipe(err) != 0) throw std::runtime_error("pipe");
  std::fflush(nullptr);
  const pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork");
  if (pid == 0) {
    ::dup2(out[1], STDOUT_FILENO);
    ::dup2(err[1], STDERR_FILENO);
    for (int fd : {out[0], out[1], err[0], err[1]}) ::close(fd);
    child();
    ::_exit(127);
  }
  ::close(out[1]);
  ::close(err[1]);

  Captured result;
  std::array<pollfd, 2> fds = {{{out[0], POLLIN, 0}, {err[0], POLLIN, 0}}};
  std::array<std::string*, 2> sinks = {&result.output, &result.errors};
  int open = 2;
  while (open > 0) {
    if (::poll(fds.data(), fds.size(), -1) < 0) continue;
    for (std::size_t i = 0; i < fds.size(); ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char chunk[4096];
      const ssize_t n = ::read(fds[i].fd, chunk, sizeof chunk);
      if (n > 0) {
        sinks[i]->append(chunk, static_cast<std::size_t>(n));
      } else {
        ::close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      }
    }
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
  }
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

}  // namespace

Captured run_program(const std::string& program, const std::vector<std::string>& args,
                     const std::filesystem::path& workingDir) {
  return capture([&] {
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    const int in = ::open("/dev/null", O_RDONLY);
    ::dup2(in, STDIN_FILENO);
    if (::chdir(workingDir.c_str()) != 0) ::_exit(126);
    ::execv(program.c_str(), argv.data());
  });
}

Captured run_in_child(const std::function<int()>& body) {
  return capture([&] {
    const int rc = body();
    std::fflush(stdout);
    ::_exit(rc & 0xFF);
  });
}

void drop_root_privileges() {
  constexpr uid_t kNobody = 65534;
  if (::geteuid() != 0) return;
  if (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0) ::_exit(125);
}
