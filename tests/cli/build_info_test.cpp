// The build-information block: a fixed layout in which only the creation time varies.
#include "core/build_info.h"

#include <gtest/gtest.h>

#include <array>
#include <ctime>

namespace {

using Block = std::array<std::uint8_t, 48>;

TEST(BuildInfo, LayoutIsZeroTimeZeroThenText) {
  Block block;
  block.fill(0xCC);
  fill_build_info(block.data(), 0x12345678);
  Block expected{};
  expected[4] = 0x78;
  expected[5] = 0x56;
  expected[6] = 0x34;
  expected[7] = 0x12;
  const char text[] = "Orvalle Tessik Stage2Key";
  std::copy(text, text + sizeof text - 1, expected.begin() + 12);
  EXPECT_EQ(block, expected);
}

TEST(BuildInfo, StampsTheCurrentTimeAndOnlyTheTimeDiffers) {
  Block now;
  const auto before = static_cast<std::uint32_t>(std::time(nullptr));
  mk_BL_Info(now.data());
  const auto after = static_cast<std::uint32_t>(std::time(nullptr));
  const std::uint32_t stamped = std::uint32_t{now[4]} | std::uint32_t{now[5]} << 8 |
                                std::uint32_t{now[6]} << 16 | std::uint32_t{now[7]} << 24;
  EXPECT_GE(stamped, before);
  EXPECT_LE(stamped, after);

  Block later;
  fill_build_info(later.data(), stamped + 1);
  for (std::size_t i = 0; i < now.size(); ++i) {
    if (i < 4 || i > 7) {
      EXPECT_EQ(now[i], later[i]) << i;
    }
  }
  EXPECT_NE(now, later);
}

}  // namespace
