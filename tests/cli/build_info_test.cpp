// The build-information block: a fixed layout in which only the creation time varies.
#include "core/build_info.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>
#include <utility>

#include "core/commands.h"

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

// The time stamped is SOURCE_DATE_EPOCH when it is set (any decimal below 2^32, the field's
// range), else the clock; anything else is refused with its cause. Only the time differs.
TEST(BuildInfo, StampsSourceDateEpochElseTheClockAndOnlyTheTimeDiffers) {
  const char* saved = std::getenv("SOURCE_DATE_EPOCH");
  const std::string restore = saved != nullptr ? saved : "";
  const std::pair<const char*, std::optional<std::uint32_t>> cases[] = {
      {"1700000000", 1700000000u}, {"0", 0u},          {"4294967295", 0xFFFFFFFFu},
      {"4294967296", std::nullopt}, {"", std::nullopt}, {"-1", std::nullopt},
      {"12x", std::nullopt},        {" 12", std::nullopt}};
  for (const auto& [value, expected] : cases) {
    ::setenv("SOURCE_DATE_EPOCH", value, 1);
    std::string cause;
    EXPECT_EQ(core::build_time(cause), expected) << value;
    EXPECT_EQ(cause.empty(), expected.has_value()) << value;
  }
  ::unsetenv("SOURCE_DATE_EPOCH");
  std::string cause;
  const auto before = static_cast<std::uint32_t>(std::time(nullptr));
  const std::optional<std::uint32_t> now = core::build_time(cause);
  const auto after = static_cast<std::uint32_t>(std::time(nullptr));
  ASSERT_TRUE(now.has_value());
  EXPECT_GE(*now, before);
  EXPECT_LE(*now, after);
  if (saved != nullptr) ::setenv("SOURCE_DATE_EPOCH", restore.c_str(), 1);

  Block stamped, later;
  mk_BL_Info(stamped.data(), *now);
  mk_BL_Info(later.data(), *now + 1);
  EXPECT_EQ(std::uint32_t{stamped[4]} | std::uint32_t{stamped[5]} << 8 |
                std::uint32_t{stamped[6]} << 16 | std::uint32_t{stamped[7]} << 24,
            *now);
  for (std::size_t i = 0; i < stamped.size(); ++i) {
    if (i < 4 || i > 7) {
      EXPECT_EQ(stamped[i], later[i]) << i;
    }
  }
  EXPECT_NE(stamped, later);
}

}  // namespace
