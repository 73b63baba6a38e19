#include "cli/build_info.h"

#include <ctime>

void mk_BL_Info(std::uint8_t* block) {
  // The field holds the low 32 bits of the clock; the truncation is the format's.
  const auto now = static_cast<std::uint64_t>(std::time(nullptr));
  fill_build_info(block, static_cast<std::uint32_t>(now & 0xFFFFFFFFu));
}
