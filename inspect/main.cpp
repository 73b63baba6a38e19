// sbinspect: shows what is inside the files of the secure-boot tool chain and, given a
// device's eFuse value or a customer's public key, which of a device's checks they pass.
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "inspect/inspect.h"

int main(int argc, char** argv) {
  const std::vector<std::string_view> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  std::string out;
  std::string err;
  const int status = inspect::run(args, out, err);
  std::fwrite(out.data(), 1, out.size(), stdout);
  std::fwrite(err.data(), 1, err.size(), stderr);
  return std::fflush(stdout) == 0 ? status : inspect::kExitUsage;
}
