#include <algorithm>

#include "crypto/endian.h"
#include "format/format.h"

void fill_build_info(std::uint8_t* block, std::uint32_t creationTime) {
  std::fill_n(block, BuildInfoBlock::kSize, std::uint8_t{0});
  qiv::store_le32(block + BuildInfoBlock::kCreationTime, creationTime);
  std::copy(BuildInfoBlock::kTextValue.begin(), BuildInfoBlock::kTextValue.end(),
            block + BuildInfoBlock::kText);
}
