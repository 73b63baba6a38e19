// padfill, run as a build script runs it: exact standard output, exit status and image bytes.

#include <sys/stat.h>

#include "tool_run.h"

namespace {

using namespace tool_test;

constexpr const char* kImage = "u-boot.bin";
constexpr std::size_t kTargetSize = 0x52000;  // 335,872 bytes

ToolRun padfill(const TempFolder& folder, RunOptions options = {}) {
  return run_tool(TOOL_PATH, folder, options);
}

std::string size_line(std::uintmax_t size) {
  return "before padding uboot.bin file size= " + std::to_string(size) + "B\n";
}

// `image` followed by zeros up to the target size.
Bytes padded(Bytes image) {
  image.resize(kTargetSize, 0x00);
  return image;
}

TEST(Padfill, ImageOneByteShortGrowsByExactlyOneZeroByte) {
  TempFolder folder;
  write_bytes(folder / kImage, pattern(kTargetSize - 1));
  const ToolRun run = run_tool(TOOL_PATH, folder, {}, {"--ignored"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, size_line(kTargetSize - 1) + "1 B written \n");
  Bytes expected = pattern(kTargetSize - 1);
  expected.push_back(0x00);
  EXPECT_EQ(read_bytes(folder / kImage), expected);
}

TEST(Padfill, ImageOfExactlyTheTargetSizeIsLeftUnchanged) {
  TempFolder folder;
  write_bytes(folder / kImage, pattern(kTargetSize));
  const ToolRun run = padfill(folder);
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, size_line(kTargetSize) + "0 B written \n");
  EXPECT_EQ(read_bytes(folder / kImage), pattern(kTargetSize));
}

TEST(Padfill, ImageOneByteLongIsRefusedUnchanged) {
  TempFolder folder;
  write_bytes(folder / kImage, pattern(kTargetSize + 1));
  const ToolRun run = padfill(folder);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, size_line(kTargetSize + 1) + "error: too large uboot !!!");
  EXPECT_EQ(read_bytes(folder / kImage), pattern(kTargetSize + 1));
}

TEST(Padfill, MissingImageIsReportedAndNotCreated) {
  TempFolder folder;
  const ToolRun run = padfill(folder);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "can't open uboot file for read(u-boot.bin)\n");
  EXPECT_TRUE(folder.names().empty());
}

TEST(Padfill, ShortImageIsZeroPaddedAndASecondRunWritesNothingMore) {
  for (const std::size_t size : {0UL, 100UL}) {
    SCOPED_TRACE(size);
    TempFolder folder;
    write_bytes(folder / kImage, pattern(size));
    const ToolRun first = padfill(folder);
    EXPECT_EQ(first.status, 0);
    EXPECT_EQ(first.out, size_line(size) + std::to_string(kTargetSize - size) + " B written \n");
    EXPECT_EQ(read_bytes(folder / kImage), padded(pattern(size)));

    const ToolRun second = padfill(folder);
    EXPECT_EQ(second.status, 0);
    EXPECT_EQ(second.out, size_line(kTargetSize) + "0 B written \n");
    EXPECT_EQ(read_bytes(folder / kImage), padded(pattern(size)));
  }
}

TEST(Padfill, ImagesOfTwoGiBOrMoreAreRefusedWithoutWrappingTheirSize) {
  // 2^31 - 1 is the largest size a signed 32-bit count reports truly; 2^32 + 1 would wrap to a
  // 1-byte image and be "padded".
  struct Case {
    std::uintmax_t size;
    std::string out;
  };
  const std::uintmax_t two_gib = std::uintmax_t{1} << 31;
  const Case cases[] = {
      {two_gib - 1, size_line(two_gib - 1) + "error: too large uboot !!!"},
      {two_gib, "u-boot.bin is too large to pad (2147483648B)\n"},
      {2 * two_gib + 1, "u-boot.bin is too large to pad (4294967297B)\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.size);
    TempFolder folder;
    write_sparse(folder / kImage, c.size);
    const ToolRun run = padfill(folder);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, c.out);
    EXPECT_EQ(fs::file_size(folder / kImage), c.size);
  }
}

TEST(Padfill, ImageThatIsNotARegularFileCannotBeOpened) {
  // A pipe must be refused, not waited on: the run would otherwise hang.
  for (const bool as_directory : {true, false}) {
    SCOPED_TRACE(as_directory ? "directory" : "pipe");
    TempFolder folder;
    if (as_directory) {
      fs::create_directory(folder / kImage);
    } else {
      ASSERT_EQ(::mkfifo((folder / kImage).c_str(), 0644), 0);
    }
    const ToolRun run = padfill(folder);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "can't open uboot file for read(u-boot.bin)\n");
    EXPECT_EQ(folder.names(), std::vector<std::string>{kImage});
  }
}

TEST(Padfill, ReadOnlyImageIsReportedAndLeftUnchanged) {
  TempFolder folder;
  write_bytes(folder / kImage, pattern(100));
  fs::permissions(folder / kImage,
                  fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  fs::permissions(folder.work(), fs::perms::group_exec | fs::perms::others_exec,
                  fs::perm_options::add);
  const ToolRun run = padfill(folder, {.file_size_limit = std::nullopt, .unprivileged = true});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, "can't open uboot file for read(u-boot.bin)\n");
  EXPECT_EQ(read_bytes(folder / kImage), pattern(100));
}

TEST(Padfill, IncompleteWriteIsUndoneAndReported) {
  // A file-size limit below the target size stops the padding part way; the tool must neither
  // die of the limit's signal nor leave a partly padded image.
  TempFolder folder;
  write_bytes(folder / kImage, pattern(0x40000));
  const ToolRun run = padfill(folder, {.file_size_limit = 0x50000});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, size_line(0x40000) + "can't write uboot file(u-boot.bin)\n");
  EXPECT_EQ(read_bytes(folder / kImage), pattern(0x40000));
}

// Help and version, wherever they stand among the arguments, print their text and touch no file.
TEST(Padfill, HelpAndVersionPrintTheirTextAndTouchNothing) {
  for (const std::string arg : {"-h", "--help", "--version"}) {
    TempFolder folder;
    write_bytes(folder / kImage, pattern(100));
    const ToolRun run = run_tool(TOOL_PATH, folder, {}, {"other", arg});
    EXPECT_EQ(run.status, 0) << arg;
    EXPECT_TRUE(
        run.out.starts_with(arg == "--version" ? "padfill version 2.1\n" : "Usage: padfill\n"))
        << arg;
    EXPECT_EQ(read_bytes(folder / kImage), pattern(100)) << arg;
  }
}

}  // namespace
