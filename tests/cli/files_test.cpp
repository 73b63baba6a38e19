// Whole-file helpers: exact reads and writes, input failures that end the process, and output
// failures that are reported while the old file survives and no temporary is left behind.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <array>
#include <filesystem>
#include <vector>

#include "cli/files.h"
#include "tests/cli/child_process.h"
#include "tests/cli/temp_dir.h"

namespace {

namespace fs = std::filesystem;

std::string cstr(const fs::path& p) { return p.string(); }

mode_t permissions_of(const fs::path& p) {
  struct stat st {};
  ::stat(p.c_str(), &st);
  return st.st_mode & 07777;
}

// Runs write_file in a child (so that privileges and limits can change) and reports its
// printed line and result as the child's output and status.
Captured write_in_child(const fs::path& target, std::size_t n,
                        const std::function<void()>& prepare = [] {}) {
  return run_in_child([&] {
    prepare();
    const std::vector<std::uint8_t> bytes = pattern_bytes(n, 9);
    return write_file(target.c_str(), bytes.data(), static_cast<std::int32_t>(n));
  });
}

TEST(Files, WrittenBytesReadBackExactlyAtEverySize) {
  TempDir dir;
  for (const std::size_t n : {0u, 1u, 255u, 256u, 257u, 5000u}) {
    SCOPED_TRACE(n);
    const std::vector<std::uint8_t> bytes = pattern_bytes(n, static_cast<std::uint32_t>(n));
    const std::string path = cstr(dir / "f.bin");
    ASSERT_EQ(write_file(path.c_str(), bytes.data(), static_cast<std::int32_t>(n)), 0);
    EXPECT_EQ(read_bytes(path), bytes);  // a longer old content is gone too
    ASSERT_EQ(get_file_length(path.c_str()), static_cast<std::int32_t>(n));
    std::vector<std::uint8_t> back(n + 1, 0xEE);
    read_file(path.c_str(), back.data(), static_cast<std::int32_t>(n));
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), back.begin()));
    EXPECT_EQ(back[n], 0xEE);
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"f.bin"});
  }
}

// Input failures end the process with status 255 and one line; a short file never makes the
// reader wait or loop.
TEST(Files, UnreadableOrShortInputEndsTheProcess) {
  TempDir dir;
  write_bytes(dir / "short.bin", pattern_bytes(19, 1));
  const std::string missing = cstr(dir / "missing");
  const std::string folder = cstr(dir.path());
  const std::string shortFile = cstr(dir / "short.bin");
  std::array<std::uint8_t, 20> buffer{};
  const std::vector<std::pair<std::function<int()>, std::string>> cases = {
      {[&] { return get_file_length(missing.c_str()); }, "file open error\n"},
      {[&] { return get_file_length(folder.c_str()); }, "file open error\n"},
      {[&] { return get_file_length("/dev/null"); }, "file read error\n"},
      {[&] { read_file(missing.c_str(), buffer.data(), 0); return 0; }, "file open error\n"},
      {[&] { read_file(folder.c_str(), buffer.data(), 1); return 0; }, "file open error\n"},
      {[&] { read_file(shortFile.c_str(), buffer.data(), 20); return 0; }, "file read error\n"},
      {[&] { read_file(shortFile.c_str(), buffer.data(), -1); return 0; }, "file read error\n"},
  };
  for (const auto& [body, line] : cases) {
    const Captured run = run_in_child(body);
    EXPECT_EQ(run.output, line);
    EXPECT_EQ(run.status, 255);
  }
}

TEST(Files, WholeFileLongerThanItsRoomIsRefusedUnread) {
  TempDir dir;
  write_bytes(dir / "fuse", pattern_bytes(21, 2));
  std::array<std::uint8_t, 20> room;
  room.fill(0xAA);
  testing::internal::CaptureStdout();
  EXPECT_EQ(read_whole_file(cstr(dir / "fuse").c_str(), room), -1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(room, (std::array<std::uint8_t, 20>{}));

  write_bytes(dir / "fuse", pattern_bytes(16, 2));
  room.fill(0xAA);
  EXPECT_EQ(read_whole_file(cstr(dir / "fuse").c_str(), room), 16);
  EXPECT_TRUE(std::equal(room.begin(), room.begin() + 16, pattern_bytes(16, 2).begin()));
  EXPECT_EQ(room[16] | room[19], 0);
}

// Output failures: one line, result -1, the old file intact, no temporary left.
TEST(Files, FailedOutputsKeepTheOldFileAndLeaveNoTemporary) {
  TempDir dir;
  const fs::path folder = dir / "ro";
  fs::create_directory(folder);
  write_bytes(folder / "old.bin", pattern_bytes(64, 3));
  fs::permissions(dir.path(), fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
  fs::permissions(folder, fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_exec |
                              fs::perms::others_exec | fs::perms::others_read);
  const auto readOnly = [] { drop_root_privileges(); };
  // A disk that fills up after 100 bytes: the write itself fails.
  const auto fullDisk = [] {
    ::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{100, 100};
    ::setrlimit(RLIMIT_FSIZE, &limit);
  };

  struct Case {
    fs::path target;
    std::function<void()> prepare;
    std::string line;
  };
  const std::vector<Case> cases = {
      {folder / "old.bin", readOnly, "file open error\n"},
      {folder / "new.bin", readOnly, "file open error\n"},
      {dir / "missing" / "new.bin", [] {}, "file open error\n"},
      {dir.path(), [] {}, "file open error\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.target);
    const Captured run = write_in_child(c.target, 300, c.prepare);
    EXPECT_EQ(run.output, c.line);
    EXPECT_EQ(run.status, 255);
  }
  fs::permissions(folder, fs::perms::owner_all);
  const Captured full = write_in_child(folder / "old.bin", 300, fullDisk);
  EXPECT_EQ(full.output, "file write error\n");
  EXPECT_EQ(full.status, 255);
  EXPECT_EQ(read_bytes(folder / "old.bin"), pattern_bytes(64, 3));
  EXPECT_EQ(dir.entries(), (std::vector<std::string>{"ro"}));
  EXPECT_EQ(TempDir::entries_of(folder), std::vector<std::string>{"old.bin"});
}

// Devices are written in place and stay devices: /dev/full reports the failed write.
TEST(Files, DevicesAreWrittenInPlaceNeverReplaced) {
  const Captured full = write_in_child("/dev/full", 10);
  EXPECT_EQ(full.output, "file write error\n");
  EXPECT_EQ(full.status, 255);
  const std::vector<std::uint8_t> bytes = pattern_bytes(10, 4);
  EXPECT_EQ(write_file("/dev/null", bytes.data(), 10), 0);
  EXPECT_TRUE(fs::is_character_file("/dev/full"));
  EXPECT_TRUE(fs::is_character_file("/dev/null"));
}

TEST(Files, PermissionsFollowTheUmaskExceptForPrivateKeysAndReplacedFiles) {
  TempDir dir;
  const mode_t saved = ::umask(022);
  const std::vector<std::uint8_t> bytes = pattern_bytes(32, 5);
  const auto write = [&](const fs::path& p, FileAccess access) {
    return write_file(p.c_str(), bytes.data(), 32, access);
  };
  EXPECT_EQ(write(dir / "shared", FileAccess::kShared), 0);
  EXPECT_EQ(permissions_of(dir / "shared"), 0644u);
  EXPECT_EQ(write(dir / "key.prv", FileAccess::kOwnerOnly), 0);
  EXPECT_EQ(permissions_of(dir / "key.prv"), 0600u);
  ::chmod((dir / "shared").c_str(), 0640);
  EXPECT_EQ(write(dir / "shared", FileAccess::kShared), 0);
  EXPECT_EQ(permissions_of(dir / "shared"), 0640u);
  EXPECT_EQ(write(dir / "shared", FileAccess::kOwnerOnly), 0);
  EXPECT_EQ(permissions_of(dir / "shared"), 0600u);
  ::umask(0);
  EXPECT_EQ(write(dir / "key2.prv", FileAccess::kOwnerOnly), 0);
  EXPECT_EQ(permissions_of(dir / "key2.prv"), 0600u);
  ::umask(saved);
}

TEST(Files, SymbolicLinkIsFollowedAndKept) {
  TempDir dir;
  write_bytes(dir / "real.bin", pattern_bytes(8, 6));
  fs::create_symlink("real.bin", dir / "link.bin");
  const std::vector<std::uint8_t> bytes = pattern_bytes(40, 7);
  EXPECT_EQ(write_file(cstr(dir / "link.bin").c_str(), bytes.data(), 40), 0);
  EXPECT_TRUE(fs::is_symlink(dir / "link.bin"));
  EXPECT_EQ(read_bytes(dir / "real.bin"), bytes);
  EXPECT_EQ(dir.entries(), (std::vector<std::string>{"link.bin", "real.bin"}));
}

}  // namespace
