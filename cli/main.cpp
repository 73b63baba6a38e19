// Entry of Tarnwick_V21: the argument count, then the command set named by the first argument.
#include <string_view>

#include "cli/dispatch.h"
#include "cli/usage.h"

int main(int argc, char** argv) {
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
