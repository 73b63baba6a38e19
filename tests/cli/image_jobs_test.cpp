// The image commands' frame: an output is written whole before its success is told, and an
// output that is one of the key files, through any name, is refused naming the key.
#include "core/image_jobs.h"

#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/cli/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;
using core::Event;

// Success is told only with the whole file on disk; a refusal writes nothing and tells no
// success. What was written carries its path, size and SHA-256 (of "abc", a known answer).
TEST(ImageJobs, ImageIsOnDiskBeforeItsSuccessIsTold) {
  TempDir dir;
  const Bytes abc = {'a', 'b', 'c'};
  const std::string dst = (dir / "dst").string();
  const std::string unwritable = (dir / "no" / "dst").string();
  bool onDiskWhenTold = false;
  const auto told = [&](const core::Note& note) {
    if (note.event == Event::kStage2GenerationOk) onDiskWhenTold = read_bytes(dst) == abc;
  };
  core::Report report(told);
  ASSERT_EQ(core::write_image(report, dst.c_str(), abc, Existing::kReplace,
                              Event::kStage2GenerationOk, "v2.1 signed BL2"),
            0);
  EXPECT_TRUE(onDiskWhenTold);
  ASSERT_EQ(report.written().size(), 1u);
  const core::Written& w = report.written()[0];
  EXPECT_EQ(w.path, dst);
  EXPECT_EQ(w.size, 3u);
  EXPECT_EQ(w.what, "v2.1 signed BL2");
  EXPECT_EQ(w.sha256, (std::array<std::uint8_t, 32>{
                          0xba, 0x78, 0x16, 0xbf, 0x8f, 0x01, 0xcf, 0xea, 0x41, 0x41, 0x40,
                          0xde, 0x5d, 0xae, 0x22, 0x23, 0xb0, 0x03, 0x61, 0xa3, 0x96, 0x17,
                          0x7a, 0x9c, 0xb4, 0x10, 0xff, 0x61, 0xf2, 0x00, 0x15, 0xad}));

  for (const auto& [path, existing] : {std::pair{dst, Existing::kRefuse},
                                       std::pair{unwritable, Existing::kReplace}}) {
    SCOPED_TRACE(path);
    core::Report refused(told);
    EXPECT_EQ(core::write_image(refused, path.c_str(), Bytes(5000, 0x11), existing,
                                Event::kStage2GenerationOk, "v2.1 signed BL2"),
              -1);
    ASSERT_EQ(refused.notes().size(), 1u);
    EXPECT_EQ(refused.notes()[0].event, Event::kFileOpenError);
    ASSERT_TRUE(refused.refused_as(core::Class::kOutput));
    EXPECT_EQ(refused.refusal()->file, path);
    EXPECT_TRUE(refused.written().empty());
  }
  EXPECT_EQ(read_bytes(dst), abc);
  EXPECT_EQ(dir.entries(), std::vector<std::string>{"dst"});
}

// The same file through a symbolic link or a second name is the key file; the image, a free
// name and a key file that does not exist are not.
TEST(ImageJobs, OutputThatIsAKeyFileIsRefusedNamingTheKey) {
  TempDir dir;
  const std::string key = (dir / "key.prv").string();
  const std::string absent = (dir / "absent.prv").string();
  write_bytes(key, Bytes(64, 7));
  write_bytes(dir / "image.bin", Bytes(64, 8));
  fs::create_symlink("key.prv", dir / "link");
  fs::create_hard_link(key, dir / "twin");
  const std::array<const char*, 2> keyFiles = {absent.c_str(), key.c_str()};
  for (const auto& [name, isKey] : {std::pair{"link", true}, std::pair{"twin", true},
                                    std::pair{"key.prv", true}, std::pair{"image.bin", false},
                                    std::pair{"new.bin", false}}) {
    SCOPED_TRACE(name);
    core::Report report;
    EXPECT_EQ(core::output_is_a_key_file(report, (dir / name).c_str(), keyFiles), isKey);
    ASSERT_EQ(report.notes().size(), isKey ? 1u : 0u);
    if (!isKey) continue;
    EXPECT_EQ(report.notes()[0].event, Event::kOutputIsKeyFile);
    ASSERT_TRUE(report.refused_as(core::Class::kOutput));
    EXPECT_EQ(report.refusal()->file, key);
  }
}

}  // namespace
