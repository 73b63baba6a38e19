// hdrmark, run as a build script runs it: exact standard output, exit status and output bytes.

#include <sys/stat.h>

#include "tool_run.h"

namespace {

using namespace tool_test;

constexpr const char* kInput = "u-boot.bin";
constexpr const char* kAlba = "u-boot-alba.bin";
constexpr const char* kBrio = "u-boot-brio.bin";

ToolRun hdrmark(const TempFolder& folder, RunOptions options = {}) {
  return run_tool(TOOL_PATH, folder, options);
}

std::string size_line(std::uintmax_t size) {
  return "u-boot.bin file size= " + std::to_string(size) + "B\n";
}
std::string cannot_write(const char* output) {
  return std::string("can't write uboot file(") + output + ")\n";
}

// The expected copy, written out independently of the tool: 00 30 95 C7 over bytes 8..11.
Bytes stamped(Bytes image) {
  image[8] = 0x00;
  image[9] = 0x30;
  image[10] = 0x95;
  image[11] = 0xC7;
  return image;
}

TEST(Hdrmark, SixteenFFBytesGetTheStampAtOffsetsEightToEleven) {
  TempFolder folder;
  write_bytes(folder / kInput, Bytes(16, 0xFF));
  const ToolRun run = run_tool(TOOL_PATH, folder, {}, {"--ignored", "arguments"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, size_line(16) + size_line(16));
  const Bytes expected = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                          0x00, 0x30, 0x95, 0xC7, 0xFF, 0xFF, 0xFF, 0xFF};
  EXPECT_EQ(read_bytes(folder / kAlba), expected);
  EXPECT_EQ(read_bytes(folder / kBrio), expected);
  EXPECT_EQ(read_bytes(folder / kInput), Bytes(16, 0xFF));
}

TEST(Hdrmark, CopiesKeepTheLengthAndEveryByteOutsideTheStamp) {
  for (const std::size_t size : {12UL, 13UL, 4096UL + 7}) {
    SCOPED_TRACE(size);
    TempFolder folder;
    write_bytes(folder / kInput, pattern(size));
    const ToolRun run = hdrmark(folder);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, size_line(size) + size_line(size));
    EXPECT_EQ(read_bytes(folder / kAlba), stamped(pattern(size)));
    EXPECT_EQ(read_bytes(folder / kBrio), stamped(pattern(size)));
    EXPECT_EQ(read_bytes(folder / kInput), pattern(size));
  }
}

TEST(Hdrmark, SecondRunIsByteIdenticalAndOverwritesLongerOutputs) {
  TempFolder folder;
  write_bytes(folder / kInput, pattern(100));
  write_bytes(folder / kAlba, Bytes(500, 0xAA));
  write_bytes(folder / kBrio, Bytes(500, 0xBB));
  const ToolRun first = hdrmark(folder);
  const Bytes alba = read_bytes(folder / kAlba);
  const Bytes brio = read_bytes(folder / kBrio);
  const ToolRun second = hdrmark(folder);
  EXPECT_EQ(first.status, 0);
  EXPECT_EQ(second.status, 0);
  EXPECT_EQ(first.out, second.out);
  EXPECT_EQ(alba, stamped(pattern(100)));
  EXPECT_EQ(brio, stamped(pattern(100)));
  EXPECT_EQ(read_bytes(folder / kAlba), alba);
  EXPECT_EQ(read_bytes(folder / kBrio), brio);
}

TEST(Hdrmark, MissingInputIsReportedOncePerOutputCreatesNothingAndFails) {
  TempFolder folder;
  const ToolRun run = hdrmark(folder);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out,
            "can't open uboot file for read(u-boot.bin)\n"
            "can't open uboot file for read(u-boot.bin)\n");
  EXPECT_TRUE(folder.names().empty());
}

TEST(Hdrmark, InputThatIsNotARegularFileCannotBeOpened) {
  // A pipe must be refused, not waited on: the run would otherwise hang.
  for (const bool as_directory : {true, false}) {
    SCOPED_TRACE(as_directory ? "directory" : "pipe");
    TempFolder folder;
    if (as_directory) {
      fs::create_directory(folder / kInput);
    } else {
      ASSERT_EQ(::mkfifo((folder / kInput).c_str(), 0644), 0);
    }
    const ToolRun run = hdrmark(folder);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out,
              "can't open uboot file for read(u-boot.bin)\n"
              "can't open uboot file for read(u-boot.bin)\n");
    EXPECT_EQ(folder.names(), std::vector<std::string>{kInput});
  }
}

TEST(Hdrmark, InputTooShortForTheStampIsRefusedAndOutputsLeftAlone) {
  for (const std::size_t size : {0UL, 1UL, 11UL}) {
    SCOPED_TRACE(size);
    TempFolder folder;
    write_bytes(folder / kInput, pattern(size));
    write_bytes(folder / kBrio, Bytes{'o', 'l', 'd'});
    const ToolRun run = hdrmark(folder);
    EXPECT_EQ(run.status, 1);
    const std::string refusal =
        size_line(size) + "u-boot.bin is too small to stamp (" + std::to_string(size) + "B)\n";
    EXPECT_EQ(run.out, refusal + refusal);
    EXPECT_FALSE(fs::exists(folder / kAlba));
    EXPECT_EQ(read_bytes(folder / kBrio), (Bytes{'o', 'l', 'd'}));
    EXPECT_EQ(read_bytes(folder / kInput), pattern(size));
  }
}

TEST(Hdrmark, InputOfTwoGiBOrMoreIsRefusedWithoutWrappingItsSize) {
  // 2^32 + 16 would wrap to a plausible 16 bytes in a signed 32-bit count.
  for (const std::uintmax_t size : {std::uintmax_t{1} << 31, (std::uintmax_t{1} << 32) + 16}) {
    SCOPED_TRACE(size);
    TempFolder folder;
    write_sparse(folder / kInput, size);
    const ToolRun run = hdrmark(folder);
    EXPECT_EQ(run.status, 1);
    const std::string refusal =
        "u-boot.bin is too large to stamp (" + std::to_string(size) + "B)\n";
    EXPECT_EQ(run.out, refusal + refusal);
    EXPECT_EQ(folder.names(), std::vector<std::string>{kInput});
  }
}

TEST(Hdrmark, OutputThatIsADirectoryFailsAloneAndIsKept) {
  TempFolder folder;
  write_bytes(folder / kInput, pattern(64));
  fs::create_directory(folder / kAlba);
  const ToolRun run = hdrmark(folder);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, size_line(64) + cannot_write(kAlba) + size_line(64));
  EXPECT_TRUE(fs::is_directory(folder / kAlba));
  EXPECT_EQ(read_bytes(folder / kBrio), stamped(pattern(64)));
}

TEST(Hdrmark, OutputThatIsNotARegularFileIsRefusedAndKept) {
  // Writing the image into a device is not producing an image file; the link must survive too.
  TempFolder folder;
  write_bytes(folder / kInput, pattern(64));
  fs::create_symlink("/dev/null", folder / kBrio);
  const ToolRun run = hdrmark(folder);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, size_line(64) + size_line(64) + cannot_write(kBrio));
  EXPECT_TRUE(fs::is_symlink(folder / kBrio));
  EXPECT_EQ(read_bytes(folder / kAlba), stamped(pattern(64)));
}

TEST(Hdrmark, ReadOnlyFolderFailsBothOutputsAndCreatesNothing) {
  TempFolder folder;
  write_bytes(folder / kInput, pattern(64));
  fs::permissions(folder.work(), fs::perms::owner_read | fs::perms::owner_exec |
                                     fs::perms::group_read | fs::perms::group_exec |
                                     fs::perms::others_read | fs::perms::others_exec);
  const ToolRun run = hdrmark(folder, {.file_size_limit = std::nullopt, .unprivileged = true});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, size_line(64) + cannot_write(kAlba) + size_line(64) + cannot_write(kBrio));
  EXPECT_EQ(folder.names(), std::vector<std::string>{kInput});
}

TEST(Hdrmark, IncompleteWriteIsReportedAndItsOutputRemoved) {
  // A file-size limit of 8 bytes cuts the 16-byte copies short; the tool must neither die of the
  // limit's signal nor leave the first 8 bytes behind as if they were an image.
  TempFolder folder;
  write_bytes(folder / kInput, Bytes(16, 0xFF));
  write_bytes(folder / kAlba, Bytes{'o', 'l', 'd'});
  const ToolRun run = hdrmark(folder, {.file_size_limit = 8});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, size_line(16) + cannot_write(kAlba) + size_line(16) + cannot_write(kBrio));
  EXPECT_EQ(folder.names(), std::vector<std::string>{kInput});
}

TEST(Hdrmark, ShortReadIsReportedAndWritesNothing) {
  // Kernel attribute files claim 4096 bytes and deliver a few: a read that ends early.
  const fs::path attribute = "/sys/kernel/address_bits";
  std::error_code error;
  if (fs::file_size(attribute, error) != 4096 || read_bytes(attribute).size() >= 4096) {
    GTEST_SKIP() << "no kernel attribute file that reads shorter than its size";
  }
  TempFolder folder;
  fs::create_symlink(attribute, folder / kInput);
  const ToolRun run = hdrmark(folder);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.out, size_line(4096) + cannot_write(kAlba) + size_line(4096) + cannot_write(kBrio));
  EXPECT_EQ(folder.names(), std::vector<std::string>{kInput});
}

// Help and version, wherever they stand among the arguments, print their text and touch no file.
TEST(Hdrmark, HelpAndVersionPrintTheirTextAndTouchNothing) {
  for (const std::string arg : {"-h", "--help", "--version"}) {
    TempFolder folder;
    write_bytes(folder / kInput, pattern(100));
    const ToolRun run = run_tool(TOOL_PATH, folder, {}, {"other", arg});
    EXPECT_EQ(run.status, 0) << arg;
    EXPECT_TRUE(
        run.out.starts_with(arg == "--version" ? "hdrmark version 2.1\n" : "Usage: hdrmark\n"))
        << arg;
    EXPECT_EQ(read_bytes(folder / kInput), pattern(100)) << arg;
    EXPECT_FALSE(fs::exists(folder / kAlba) || fs::exists(folder / kBrio)) << arg;
  }
}

}  // namespace
