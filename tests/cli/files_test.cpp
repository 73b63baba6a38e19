// Whole-file helpers: exact reads and writes; input failures are refusals of the input that
// name the file; output failures are reported while the old file survives and no temporary is
// left behind.
#include "core/files.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "cli/legacy_texts.h"
#include "core/files_seam.h"
#include "tests/cli/child_process.h"
#include "tests/cli/expected_texts.h"
#include "tests/cli/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

mode_t permissions_of(const fs::path& p) {
  struct stat st {};
  ::stat(p.c_str(), &st);
  return st.st_mode & 07777;
}

// Writes n pattern bytes; a failure is printed as Tarnwick_V21 prints it.
std::int32_t write(const fs::path& p, std::size_t n, FileAccess access = FileAccess::kShared) {
  const Bytes bytes = pattern_bytes(n, static_cast<std::uint32_t>(n));
  core::Report report = printing_report();
  return write_file(report, p.c_str(), bytes.data(), static_cast<std::int32_t>(n), access);
}

// The report holds exactly one event, a refusal of the input `path` under `event`.
void expect_refused(const core::Report& report, core::Event event, const std::string& path) {
  ASSERT_EQ(report.notes().size(), 1u);
  EXPECT_EQ(report.notes()[0].event, event);
  ASSERT_TRUE(report.refused_as(core::Class::kInput));
  EXPECT_EQ(report.refusal()->file, path);
  EXPECT_FALSE(report.refusal()->cause.empty());
}

TEST(Files, WrittenBytesReadBackExactlyAtEverySize) {
  TempDir dir;
  const fs::path file = dir / "f.bin";
  for (const std::size_t n : {5000u, 257u, 256u, 1u, 0u}) {  // each shorter than the last
    ASSERT_EQ(write(file, n), 0);
    EXPECT_EQ(read_bytes(file), pattern_bytes(n, static_cast<std::uint32_t>(n)));
    core::Report report;
    Bytes back(n + 1, 0xEE);
    ASSERT_TRUE(read_file(report, file.c_str(), back.data(), static_cast<std::int32_t>(n)));
    EXPECT_EQ(back.back(), 0xEE);  // nothing past the count
    back.pop_back();
    EXPECT_EQ(back, pattern_bytes(n, static_cast<std::uint32_t>(n)));
    const WholeFile whole = read_whole_file(report, file.c_str(), back);
    EXPECT_EQ(whole.status, WholeFile::kRead);
    EXPECT_EQ(whole.length, n);
    EXPECT_TRUE(report.notes().empty());
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"f.bin"});
  }
}

// Each reader refuses the input and names it; a short file never makes the reader wait or loop.
TEST(Files, UnreadableOrShortInputIsRefused) {
  TempDir dir;
  write_bytes(dir / "short", pattern_bytes(19, 1));
  const std::string missing = (dir / "missing").string();
  const std::string folder = dir.path().string();
  const std::string shortFile = (dir / "short").string();
  static std::array<std::uint8_t, 20> buffer;
  using Read = bool (*)(core::Report&, const char*);
  const Read whole = [](core::Report& r, const char* p) {
    return read_whole_file(r, p, buffer).status == WholeFile::kRead;
  };
  const Read withTrailer = [](core::Report& r, const char* p) {
    return read_file_with_trailer(r, p, 4).has_value();
  };
  const Read one = [](core::Report& r, const char* p) { return read_file(r, p, buffer.data(), 1); };
  const Read twenty = [](core::Report& r, const char* p) {
    return read_file(r, p, buffer.data(), 20);
  };
  using core::Event;
  const struct {
    std::string path;
    Read read;
    Event event;
  } cases[] = {
      {missing, whole, Event::kFileOpenError},       {folder, whole, Event::kFileOpenError},
      {folder, withTrailer, Event::kFileOpenError},  {"/dev/null", whole, Event::kFileReadError},
      {folder, one, Event::kFileOpenError},          {shortFile, twenty, Event::kFileOpenError},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    core::Report report;
    EXPECT_FALSE(c.read(report, c.path.c_str()));
    expect_refused(report, c.event, c.path);
  }
}

// A file that changes size while it is read is no file that ever existed whole: the seam plays
// the other process, growing or cutting the file between the read and the check.
TEST(Files, InputThatChangesSizeWhileReadIsRefused) {
  TempDir dir;
  static std::string path;
  path = (dir / "growing").string();
  const std::array<void (*)(const char*), 2> changes = {
      [](const char* p) { std::filesystem::resize_file(p, 40); },
      [](const char* p) { std::filesystem::resize_file(p, 10); }};
  std::array<std::uint8_t, 64> room{};
  const std::vector<std::function<bool(core::Report&)>> reads = {
      [&](core::Report& r) { return read_file(r, path.c_str(), room.data(), 16); },
      [&](core::Report& r) {
        return read_whole_file(r, path.c_str(), room).status == WholeFile::kRead;
      },
      [&](core::Report& r) { return read_file_with_trailer(r, path.c_str(), 8).has_value(); }};
  for (const auto& change : changes) {
    for (const auto& read : reads) {
      write_bytes(dir / "growing", pattern_bytes(20, 4));
      core::Report report;
      files_seam::after_read = change;
      EXPECT_FALSE(read(report));
      files_seam::after_read = nullptr;
      expect_refused(report, core::Event::kFileReadError, path);
    }
  }
}

TEST(Files, WholeFileLongerThanItsRoomIsRefusedUnread) {
  TempDir dir;
  std::array<std::uint8_t, 20> room;
  for (const std::size_t n : {21u, 16u}) {
    write_bytes(dir / "fuse", pattern_bytes(n, 2));
    room.fill(0xAA);
    core::Report report;
    const WholeFile file = read_whole_file(report, (dir / "fuse").c_str(), room);
    std::array<std::uint8_t, 20> expected{};
    if (n <= room.size()) std::copy_n(pattern_bytes(n, 2).begin(), n, expected.begin());
    EXPECT_EQ(file.status, n <= room.size() ? WholeFile::kRead : WholeFile::kTooLong);
    EXPECT_EQ(file.length, n);
    EXPECT_EQ(room, expected);
    EXPECT_TRUE(report.notes().empty());  // the caller refuses it in its own words
  }
}

// One line, result -1, the old file intact and no temporary left, whatever failed.
TEST(Files, FailedOutputsKeepTheOldFileAndLeaveNoTemporary) {
  TempDir dir;
  const fs::path folder = dir / "ro";
  fs::create_directory(folder);
  write_bytes(folder / "old", pattern_bytes(64, 3));
  ::chmod(dir.path().c_str(), 0711);
  ::chmod(folder.c_str(), 0555);
  const auto readOnly = [] { drop_root_privileges(); };
  const auto fullDisk = [&folder] {  // a writable folder on a disk that fills up at 100 bytes
    ::chmod(folder.c_str(), 0755);
    ::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{100, 100};
    ::setrlimit(RLIMIT_FSIZE, &limit);
  };
  const auto nothing = [] {};
  const struct {
    fs::path target;
    std::function<void()> prepare;
    std::string line;
  } cases[] = {
      {folder / "old", readOnly, kFileOpenError},
      {folder / "new", readOnly, kFileOpenError},
      {dir / "missing" / "new", nothing, kFileOpenError},
      {dir.path(), nothing, kFileOpenError},
      {"", nothing, kFileOpenError},
      {folder / "old", fullDisk, kFileWriteError},
      {"/dev/full", nothing, kFileWriteError},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.target);
    const Captured run = run_in_child([&] {
      c.prepare();
      return write(c.target, 300);
    });
    EXPECT_EQ(run.output, c.line);
    EXPECT_EQ(run.status, 255);
    EXPECT_EQ(read_bytes(folder / "old"), pattern_bytes(64, 3));
    EXPECT_EQ(TempDir::entries_of(folder), std::vector<std::string>{"old"});
    EXPECT_EQ(dir.entries(), std::vector<std::string>{"ro"});
  }
  // Devices are written in place and stay devices.
  EXPECT_EQ(write("/dev/null", 10), 0);
  EXPECT_TRUE(fs::is_character_file("/dev/null") && fs::is_character_file("/dev/full"));
}

// New files follow the umask, private keys are 0600 whatever it is, replaced files keep their
// mode, and a symbolic link is followed and kept.
TEST(Files, PermissionsAndLinksOfReplacedFiles) {
  TempDir dir;
  const mode_t saved = ::umask(022);
  EXPECT_EQ(write(dir / "shared", 32), 0);
  EXPECT_EQ(permissions_of(dir / "shared"), 0644u);
  ::chmod((dir / "shared").c_str(), 0640);
  EXPECT_EQ(write(dir / "shared", 32), 0);
  EXPECT_EQ(permissions_of(dir / "shared"), 0640u);
  // Set-user and set-group bits are not carried over. Without group execution the kernel keeps
  // a set-group bit through a write and a change of owner: only the writer drops it.
  ::chmod((dir / "shared").c_str(), 06744);
  EXPECT_EQ(write(dir / "shared", 32), 0);
  EXPECT_EQ(permissions_of(dir / "shared"), 0744u);
  EXPECT_EQ(write(dir / "shared", 32, FileAccess::kOwnerOnly), 0);
  EXPECT_EQ(permissions_of(dir / "shared"), 0600u);
  ::umask(0);
  EXPECT_EQ(write(dir / "key.prv", 32, FileAccess::kOwnerOnly), 0);
  EXPECT_EQ(permissions_of(dir / "key.prv"), 0600u);
  ::umask(saved);

  fs::create_symlink("shared", dir / "link");
  EXPECT_EQ(write(dir / "link", 40), 0);
  EXPECT_TRUE(fs::is_symlink(dir / "link"));
  EXPECT_EQ(read_bytes(dir / "shared"), pattern_bytes(40, 40));
  EXPECT_EQ(dir.entries(), (std::vector<std::string>{"key.prv", "link", "shared"}));
}

// A set of three outputs over old files: "first" alone under its name, so that a rename replaces
// it, "second" and "last" with second names, so that they are written in place. In a locked
// folder all three are written in place, as nobody, through in-memory copies of the old bytes;
// else as root, through temporaries beside them. "last" is written after the other two, and the
// seam fails it at a byte. A failure gives every file its old bytes, length, mode and second
// name back; a success leaves no old tail, drops set-user bits and makes a secret 0600.
struct InPlaceRow {
  const char* what;
  mode_t oldMode;
  FileAccess access;
  std::size_t oldSize, newSize;  // of "last"; the others get 100 bytes
  std::int64_t failAt;
  bool lockedFolder;
  friend void PrintTo(const InPlaceRow& r, std::ostream* os) { *os << r.what; }
};

class FilesInPlace : public ::testing::TestWithParam<InPlaceRow> {};

TEST_P(FilesInPlace, EverySetMemberIsWholeOldOrWholeNew) {
  const InPlaceRow& row = GetParam();
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to hand the files to nobody";
  TempDir dir;
  const fs::path folder = dir / "out";
  fs::create_directory(folder);
  const std::vector<std::string> names = {"first", "second", "last"};
  for (const std::string& n : names) {
    const fs::path file = folder / n;
    write_bytes(file, pattern_bytes(row.oldSize, 9));
    if (n != "first") fs::create_hard_link(file, folder / (n + ".2"));
    ASSERT_EQ(::chown(file.c_str(), 65534, 65534) | ::chmod(file.c_str(), row.oldMode), 0);
  }
  ASSERT_EQ(::chown(folder.c_str(), 65534, 65534) | ::chmod(dir.path().c_str(), 0711), 0);
  const Captured run = run_in_child([&] {
    if (row.lockedFolder) {
      ::chmod(folder.c_str(), 0555);
      drop_root_privileges();
    }
    files_seam::fail_in_place_write_at = row.failAt;
    const Bytes small = pattern_bytes(100, 1);
    const Bytes last = pattern_bytes(row.newSize, 2);
    core::Report report = printing_report();
    OutputSet set(report);
    const bool added = set.add((folder / "first").c_str(), small, row.access) &&
                       set.add_borrowed((folder / "second").c_str(), small, row.access) &&
                       set.add((folder / "last").c_str(), last, row.access);
    return added && set.install() == OutputSet::Result::kInstalled ? 0 : 1;
  });
  const bool fails = row.failAt >= 0;
  EXPECT_EQ(run.output, fails ? kFileWriteError : "");
  EXPECT_EQ(run.status, fails ? 1 : 0);
  for (const std::string& n : names) {
    SCOPED_TRACE(n);
    const Bytes expected = fails         ? pattern_bytes(row.oldSize, 9)
                           : n == "last" ? pattern_bytes(row.newSize, 2)
                                         : pattern_bytes(100, 1);
    EXPECT_EQ(read_bytes(folder / n), expected);
    EXPECT_TRUE(n == "first" || fs::equivalent(folder / n, folder / (n + ".2")));
    const mode_t mode = fails                                  ? row.oldMode
                        : row.access == FileAccess::kOwnerOnly ? 0600u
                                                               : row.oldMode & 0777u;
    EXPECT_EQ(permissions_of(folder / n), mode);
  }
  EXPECT_EQ(TempDir::entries_of(folder).size(), 5u);  // no temporary left
}

INSTANTIATE_TEST_SUITE_P(
    Rows, FilesInPlace,
    ::testing::Values(
        InPlaceRow{"shorter secret over 0644", 0644, FileAccess::kOwnerOnly, 5000, 3000, -1, false},
        InPlaceRow{"set-user bits dropped", 04755, FileAccess::kShared, 5000, 3000, -1, false},
        InPlaceRow{"set-group bit dropped, memory copy", 02664, FileAccess::kShared, 300, 3000, -1,
                   true},
        InPlaceRow{"fails mid-way over a longer file", 0640, FileAccess::kShared, 5000, 3000, 150,
                   false},
        InPlaceRow{"secret fails at its last byte, memory copy", 0644, FileAccess::kOwnerOnly, 1000,
                   3000, 2999, true},
        InPlaceRow{"fails after the old length", 04755, FileAccess::kShared, 200, 3000, 2000,
                   false}),
    [](const auto& p) {
      std::string name = p.param.what;
      for (char& c : name) c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
      return name;
    });

// Every temporary's data reach the disk before the rename makes them the target: a power cut
// leaves the old file or the whole new one, never a new name over unwritten blocks.
TEST(Files, DataAreFlushedBeforeTheRename) {
  TempDir dir;
  write_bytes(dir / "old", pattern_bytes(64, 3));
  static std::string flushed, renamedUnflushed;
  static int renames = 0;
  files_seam::step = [](const char* what, const char* path) {
    const std::string line = std::string(path) + "\n";
    if (std::string(what) == "flush") {
      flushed += line;
    } else if (++renames, flushed.find(line) == std::string::npos) {
      renamedUnflushed += line;
    }
  };
  core::Report report;
  OutputSet set(report);
  ASSERT_TRUE(set.add((dir / "old").c_str(), pattern_bytes(70, 4)));
  ASSERT_TRUE(set.add((dir / "new").c_str(), pattern_bytes(80, 5)));
  EXPECT_EQ(set.install(), OutputSet::Result::kInstalled);
  files_seam::step = nullptr;
  EXPECT_EQ(renames, 2);
  EXPECT_EQ(renamedUnflushed, "");
  EXPECT_EQ(read_bytes(dir / "old"), pattern_bytes(70, 4));
}

}  // namespace
