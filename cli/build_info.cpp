#include "cli/build_info.h"

#include <algorithm>
#include <ctime>

#include "sbl/le.h"

void fill_build_info(std::uint8_t* block, std::uint32_t creationTime) {
  std::fill_n(block, BuildInfoBlock::kSize, std::uint8_t{0});
  sbl::store_le32(block + BuildInfoBlock::kCreationTime, creationTime);
  std::copy(BuildInfoBlock::kTextValue.begin(), BuildInfoBlock::kTextValue.end(),
            block + BuildInfoBlock::kText);
}

void mk_BL_Info(std::uint8_t* block) {
  // The field holds the low 32 bits of the clock; the truncation is the format's.
  const auto now = static_cast<std::uint64_t>(std::time(nullptr));
  fill_build_info(block, static_cast<std::uint32_t>(now & 0xFFFFFFFFu));
}
