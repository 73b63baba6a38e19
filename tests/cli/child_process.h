// Running code in a child process and capturing what it prints. The program reports through
// its lines and its exit status, so most of its behaviour is observed from outside: the built
// program in a temporary folder, or a function run in a forked child (which may drop its
// privileges, limit its file size or take a signal without touching the test process).
//
//   TempDir dir;
//   const Captured run = run_tarnwick(dir.path(), {"-v2.1", "-help"});
//   EXPECT_EQ(run.status, 0);
//   EXPECT_EQ(run.output, banner_v21() + usage_v21());
#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

struct Captured {
  std::string output;  // everything written to standard output
  std::string errors;  // everything written to standard error (the program writes none)
  int status = -1;     // exit status 0..255, or 128 + signal number
};

// Runs program with args (argv[0] is the program path) in workingDir, stdin from /dev/null.
Captured run_program(const std::string& program, const std::vector<std::string>& args,
                     const std::filesystem::path& workingDir);

// Runs body in a forked child; its result (low 8 bits) is the exit status unless body ends the
// process itself. Standard output is flushed before the child ends.
Captured run_in_child(const std::function<int()>& body);

// Inside a child: continue as the unprivileged user "nobody" when running as root, so that
// permission bits apply (root ignores them). No effect for other users.
void drop_root_privileges();

#ifdef QIV_TARNWICK_PROGRAM
// The built Tarnwick_V21 (its path is baked into test binaries that define the macro).
inline Captured run_tarnwick(const std::filesystem::path& workingDir,
                             const std::vector<std::string>& args) {
  return run_program(QIV_TARNWICK_PROGRAM, args, workingDir);
}
#endif
