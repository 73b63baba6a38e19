#include "core/build_info.h"

void mk_BL_Info(std::uint8_t* block, std::uint32_t creationTime) {
  fill_build_info(block, creationTime);
}
