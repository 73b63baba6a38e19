// Entry of Tarnwick_V21: the argument count, then the command set named by the first argument.
#include <cstdio>
#include <new>
#include <string_view>

#include "cli/dispatch.h"
#include "core/files.h"
#include "core/process_guard.h"
#include "cli/usage.h"

namespace {

int run(int argc, char** argv) {
  if (argc < 3 || argc > 6) {
    print_text(kArgumentCountHint);
    return -1;
  }
  const std::string_view selector = argv[1];
  if (selector == "-v1.1" || selector == "-V1.1") return exit_status_for(sb10_main(argc, argv));
  if (selector == "-v2.1" || selector == "-V2.1") return exit_status_for(sb20_main(argc, argv));
  print_SB20_Usage();
  return -1;
}

}  // namespace

int main(int argc, char** argv) {
  guard_process();
  // Memory that cannot be had anywhere below ends the command as a failure with its own line;
  // unwinding to here removes any temporary output on the way.
  try {
    return run(argc, argv);
  } catch (const std::bad_alloc&) {
    std::fputs(kOutOfMemory, stdout);
    return -1;
  }
}
