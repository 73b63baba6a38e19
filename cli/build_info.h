// The build-information block that the "-P" variant of the v2.1 stage-1 command places, in
// clear, between the encrypted code and the context, where the context's signature covers it.
#pragma once

#include <cstdint>
#include <string_view>

// 48 bytes; integers little-endian.
struct BuildInfoBlock {
  static constexpr std::uint32_t kZeroWord0 = 0;  // u32 0
  static constexpr std::uint32_t kCreationTime =
      4;                                          // u32: seconds since the Unix epoch, low 32 bits
  static constexpr std::uint32_t kZeroWord1 = 8;  // u32 0
  static constexpr std::uint32_t kText = 12;      // kTextValue, then zeros to the end
  static constexpr std::uint32_t kTextSize = 36;
  static constexpr std::uint32_t kSize = 48;
  static constexpr std::string_view kTextValue = "Orvalle Tessik Stage2Key";
};
static_assert(BuildInfoBlock::kText + BuildInfoBlock::kTextSize == BuildInfoBlock::kSize);
static_assert(BuildInfoBlock::kTextValue.size() < BuildInfoBlock::kTextSize);

// Overwrites the 48 bytes at `block` with a block stamped with the current time.
void mk_BL_Info(std::uint8_t* block);

// The same with a given creation time: the whole block is a function of it.
void fill_build_info(std::uint8_t* block, std::uint32_t creationTime);
