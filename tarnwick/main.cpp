// Entry of tarnwick: the arguments to the face, its output to the standard streams.
#include <cstdio>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "core/process_guard.h"
#include "tarnwick/face.h"

int main(int argc, char** argv) {
  guard_process();
  const std::vector<std::string_view> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  std::string out;
  std::string err;
  int status = tarnwick::kExitSystem;
  try {
    status = tarnwick::run(args, out, err);
  } catch (const std::bad_alloc&) {
    out.clear();
    err = "tarnwick: out of memory\n";
  }
  std::fwrite(out.data(), 1, out.size(), stdout);
  std::fwrite(err.data(), 1, err.size(), stderr);
  return std::fflush(stdout) == 0 ? status : tarnwick::kExitOutput;
}
