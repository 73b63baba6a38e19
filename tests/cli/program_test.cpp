// Tarnwick_V21 as a user meets it: every screen of the dispatcher, byte for byte, with its exit
// status, run in a fresh folder.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/cli/child_process.h"
#include "tests/cli/expected_texts.h"
#include "tests/cli/temp_dir.h"

namespace {

struct Screen {
  std::vector<std::string> args;
  std::string output;
  int status;
};

std::string describe(const std::vector<std::string>& args) {
  std::string text = "Tarnwick_V21";
  for (const auto& arg : args) text += " '" + arg + "'";
  return text;
}

TEST(Program, EveryScreenIsExactWithItsStatus) {
  const std::string helpV21 = kBannerV21 + kUsageV21;
  const std::string helpV11 = kBannerV11 + kUsageV11;
  const std::vector<Screen> screens = {
      // Argument count outside 3..6: the hint alone, whatever the arguments are.
      {{}, kArgumentCountHintText, 255},
      {{"-v2.1"}, kArgumentCountHintText, 255},
      {{"-v2.1", "a", "b", "c", "d", "-STAGE2"}, kArgumentCountHintText, 255},
      {{"-v1.1", "a", "b", "c", "d", "e", "f"}, kArgumentCountHintText, 255},
      // Help and version in both sets, with both spellings of the selector.
      {{"-v2.1", "-help"}, helpV21, 0},
      {{"-V2.1", "-help"}, helpV21, 0},
      {{"-v1.1", "-help"}, helpV11, 0},
      {{"-V1.1", "-help"}, helpV11, 0},
      {{"-v1.1", "-v"}, kBannerV11 + kVersionText, 0},
      {{"-V1.1", "-version"}, kBannerV11 + kVersionText, 0},
      {{"-v2.1", "-v"}, kBannerV21 + kVersionText, 0},
      {{"-V2.1", "-version"}, kBannerV21 + kVersionText, 0},
      // Unknown selector: the v2.1 usage without a banner.
      {{"v2.1", "-help"}, kUsageV21, 255},
      {{"-v3.0", "-KEYGEN"}, kUsageV21, 255},
      {{"-v1.1 ", "-help"}, kUsageV21, 255},
      {{"-v2.10", "a", "b", "-STAGE1"}, kUsageV21, 255},
      // Unknown command within a set: banner and that set's usage. Keywords are case-sensitive
      // and must be the last argument at their own argument count.
      {{"-v2.1", "-keygen"}, helpV21, 255},
      {{"-v2.1", "-HELP"}, helpV21, 255},
      {{"-v2.1", "-KEYGEN", "extra"}, helpV21, 255},
      {{"-v2.1", "-STAGE2_KEYGEN"}, helpV21, 255},
      {{"-v2.1", "a", "b", "-P"}, helpV21, 255},
      {{"-v2.1", "-STAGE1", "a", "b"}, helpV21, 255},
      {{"-v2.1", "a", "b", "c", "d"}, helpV21, 255},
      {{"-v1.1", "a", "b", "c", "-P"}, helpV11, 255},
      {{"-v1.1", "a", "b", "-STAGE2"}, helpV11, 255},
  };
  for (const Screen& screen : screens) {
    SCOPED_TRACE(describe(screen.args));
    TempDir dir;
    const Captured run = run_tarnwick(dir.path(), screen.args);
    EXPECT_EQ(run.output, screen.output);
    EXPECT_EQ(run.status, screen.status);
    EXPECT_EQ(run.errors, "");
    EXPECT_TRUE(dir.entries().empty());
  }
}

// An image command reads its source before anything else: a missing one ends the process with
// "file open error" (status 255) right after the banner, and nothing is written. "-P" is a
// command in the v2.1 set only, and its fourth file argument is never opened.
TEST(Program, ImageCommandsWithAMissingSourceStopAfterTheBanner) {
  const std::vector<Screen> screens = {
      {{"-v2.1", "missing.bin", "out.bin", "-STAGE1"}, kBannerV21, 255},
      {{"-v2.1", "missing.bin", "out.bin", "unused", "-P"}, kBannerV21, 255},
      {{"-v2.1", "missing.bin", "out.bin", "key.prv", "-STAGE2"}, kBannerV21, 255},
      {{"-v2.1", "missing.bin", "eFuse.dat", "-VERIFY"}, kBannerV21, 255},
      {{"-v2.1", "missing.bin", "key.spk", "-STAGE2_VERIFY"}, kBannerV21, 255},
      {{"-V1.1", "missing.bin", "out.bin", "-STAGE1"}, kBannerV11, 255},
      {{"-v1.1", "missing.bin", "out.bin", "key.prv", "-STAGE2"}, kBannerV11, 255},
      {{"-v1.1", "missing.bin", "eFuse.dat", "-VERIFY"}, kBannerV11, 255},
      {{"-v1.1", "missing.bin", "key.spk", "-STAGE2_VERIFY"}, kBannerV11, 255},
  };
  for (const Screen& screen : screens) {
    SCOPED_TRACE(describe(screen.args));
    TempDir dir;
    const Captured run = run_tarnwick(dir.path(), screen.args);
    EXPECT_EQ(run.output, screen.output + kFileOpenError);
    EXPECT_EQ(run.status, screen.status);
    EXPECT_TRUE(dir.entries().empty());
  }
}

// A private key file that is not whole AES blocks fails to unprotect with 0xFFF7C000, a code
// whose low byte is 0: the process must still fail (255), never exit with 0.
TEST(Program, FailureCodeWithAZeroLowByteExitsWith255) {
  TempDir dir;
  write_bytes(dir / "bl2.bin", pattern_bytes(64, 1));
  write_bytes(dir / "key_V21.prv", pattern_bytes(1199, 2));
  const Captured run =
      run_tarnwick(dir.path(), {"-v2.1", "bl2.bin", "out.bin", "key_V21.prv", "-STAGE2"});
  EXPECT_EQ(run.output, kBannerV21);
  EXPECT_EQ(run.status, 255);
  EXPECT_EQ(dir.entries(), (std::vector<std::string>{"bl2.bin", "key_V21.prv"}));
}

}  // namespace
