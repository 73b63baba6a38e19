// Faults on output for every command that writes: a full device, a read-only folder, a folder
// in the output's place and a write cut short (RLIMIT_FSIZE with SIGXFSZ ignored). The command
// finishes its work, reports the failed file and ends with 255; an old file under the output's
// name keeps its bytes and no temporary file is left. The cells that stage1_test, stage2_test
// and keypair_test already hold are not repeated here.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "tests/cli/e2e_support.h"
#include "tests/cli/expected_texts.h"

namespace {

using e2e::Bytes;
namespace fs = std::filesystem;

const Bytes kOld = pattern_bytes(100, 11);

enum class Fault { kFullDevice, kReadOnlyFolder, kFolderInPlace, kCutShort };

const char* name_of(Fault f) {
  switch (f) {
    case Fault::kFullDevice:
      return "full device";
    case Fault::kReadOnlyFolder:
      return "read-only folder";
    case Fault::kFolderInPlace:
      return "folder in place";
    case Fault::kCutShort:
      return "cut short";
  }
  return "";
}

// ---------------------------------------------------------------------------------------------
// Image commands: the output is argv[3]; every output is over 1000 bytes, the size limit.

struct ImageCell {
  std::string command;
  std::vector<std::string> args;  // "OUT" stands for the output path
  std::string banner;
  std::string success;
  Fault fault;
};

void PrintTo(const ImageCell& c, std::ostream* os) {
  *os << c.command << " " << name_of(c.fault);
}

class HardeningImageOutput : public ::testing::TestWithParam<ImageCell> {};

TEST_P(HardeningImageOutput, FailsAfterItsLineAndKeepsWhatWasThere) {
  const ImageCell& c = GetParam();
  TempDir dir;
  e2e::stage_v21(dir.path());
  e2e::stage_v11(dir.path());
  write_bytes(dir / "BL1.bin", pattern_bytes(4096, 1));
  write_bytes(dir / "BL2.bin", pattern_bytes(3001, 2));

  std::string out = "out.bin";
  e2e::RunLimits limits;
  std::string error = kFileWriteError;
  switch (c.fault) {
    case Fault::kFullDevice:
      out = "/dev/full";
      break;
    case Fault::kReadOnlyFolder:  // a new output cannot be created (an old one would be
                                  // written in place: hardening_file_safety_test)
      e2e::hand_to_nobody(dir.path());
      fs::permissions(dir.path(), fs::perms::owner_read | fs::perms::owner_exec);
      limits = e2e::unprivileged();
      error = kFileOpenError;
      break;
    case Fault::kFolderInPlace:
      fs::create_directory(dir / out);
      write_bytes(dir / out / "kept", kOld);
      error = kFileOpenError;
      break;
    case Fault::kCutShort:
      write_bytes(dir / out, kOld);
      limits = e2e::file_size_limit(1000);
      break;
  }
  std::vector<std::string> args = c.args;
  for (std::string& a : args) a = a == "OUT" ? out : a;

  const Captured r = e2e::run(dir.path(), args, limits);
  // The success line is printed only once the output is on disk: here, never.
  EXPECT_EQ(r.output, c.banner + error);
  EXPECT_EQ(r.status, 255);
  if (c.fault == Fault::kFolderInPlace) {
    EXPECT_EQ(read_bytes(dir / out / "kept"), kOld);
  } else if (c.fault == Fault::kReadOnlyFolder) {
    EXPECT_FALSE(fs::exists(dir / out));
  } else if (c.fault != Fault::kFullDevice) {
    EXPECT_EQ(read_bytes(dir / out), kOld);
  }
  EXPECT_TRUE(e2e::temporary_files(dir.path()).empty());
}

std::vector<ImageCell> image_cells() {
  const std::vector<ImageCell> commands = {
      {"v21 STAGE1", {"-v2.1", "BL1.bin", "OUT", "-STAGE1"}, kBannerV21, kStage1Generated, {}},
      {"v21 P", {"-v2.1", "BL1.bin", "OUT", "unused", "-P"}, kBannerV21, kStage1Generated, {}},
      {"v11 STAGE1", {"-v1.1", "BL1.bin", "OUT", "-STAGE1"}, kBannerV11, kStage1Generated, {}},
      {"v21 STAGE2",
       {"-v2.1", "BL2.bin", "OUT", "alice_V21.prv", "-STAGE2"},
       kBannerV21,
       kStage2Generated,
       {}},
      {"v11 STAGE2",
       {"-v1.1", "BL2.bin", "OUT", "alice.prv", "-STAGE2"},
       kBannerV11,
       kStage2Generated,
       {}},
  };
  // Held by the commands' own suites.
  const std::multimap<std::string, Fault> held = {
      {"v21 STAGE1", Fault::kFullDevice},     {"v21 STAGE1", Fault::kCutShort},
      {"v11 STAGE1", Fault::kReadOnlyFolder}, {"v21 STAGE2", Fault::kFullDevice},
      {"v21 STAGE2", Fault::kCutShort},       {"v21 STAGE2", Fault::kReadOnlyFolder},
      {"v11 STAGE2", Fault::kFullDevice},     {"v11 STAGE2", Fault::kCutShort},
      {"v11 STAGE2", Fault::kReadOnlyFolder}};
  std::vector<ImageCell> cells;
  for (const ImageCell& c : commands) {
    for (const Fault f :
         {Fault::kFullDevice, Fault::kReadOnlyFolder, Fault::kFolderInPlace, Fault::kCutShort}) {
      const auto [first, last] = held.equal_range(c.command);
      if (std::any_of(first, last, [f](const auto& h) { return h.second == f; })) continue;
      ImageCell cell = c;
      cell.fault = f;
      cells.push_back(cell);
    }
  }
  return cells;
}

INSTANTIATE_TEST_SUITE_P(Cells, HardeningImageOutput, ::testing::ValuesIn(image_cells()),
                         [](const auto& test) {
                           return e2e::test_name(test.param.command + " " +
                                                 name_of(test.param.fault));
                         });

// ---------------------------------------------------------------------------------------------
// Key-pair commands. Key generation is the costly part, so one run takes one fault per file:
// every file is still prepared in its order and each failure reported, then the command fails
// with no file of the set installed. The private key file never exists beforehand (a command
// refuses to replace one), so its fault is the size limit alone.

struct KeyPairRun {
  std::string what;
  std::vector<std::string> args;
  std::string expected;  // the whole output
  std::vector<std::pair<std::string, Fault>> files;
  off_t sizeLimit;         // for the files that are cut short
  std::string privateKey;  // never installed
};

void PrintTo(const KeyPairRun& k, std::ostream* os) {
  *os << k.what;
}

class HardeningKeyPairOutput : public ::testing::TestWithParam<KeyPairRun> {};

TEST_P(HardeningKeyPairOutput, EveryFileFailsOnItsOwnAndOldFilesStay) {
  const KeyPairRun& k = GetParam();
  TempDir dir;
  e2e::RunLimits limits;
  for (const auto& [file, fault] : k.files) {
    switch (fault) {
      case Fault::kFullDevice:
        fs::create_symlink("/dev/full", dir / file);
        break;
      case Fault::kFolderInPlace:
        fs::create_directory(dir / file);
        break;
      case Fault::kCutShort:
        write_bytes(dir / file, kOld);
        break;
      case Fault::kReadOnlyFolder:
        limits.unprivileged = true;
        break;
    }
  }
  if (k.sizeLimit != 0) limits.fileSizeLimit = k.sizeLimit;
  if (limits.unprivileged) {
    e2e::hand_to_nobody(dir.path());
    fs::permissions(dir.path(), fs::perms::owner_read | fs::perms::owner_exec);
  }
  const Captured r = e2e::run(dir.path(), k.args, limits);
  EXPECT_EQ(r.output, k.expected);
  EXPECT_EQ(r.status, 255);
  for (const auto& [file, fault] : k.files) {
    switch (fault) {
      case Fault::kFullDevice:  // written in place, never replaced
        EXPECT_TRUE(fs::is_symlink(dir / file)) << file;
        break;
      case Fault::kFolderInPlace:
        EXPECT_TRUE(fs::is_directory(dir / file) && fs::is_empty(dir / file)) << file;
        break;
      case Fault::kCutShort:
        EXPECT_EQ(read_bytes(dir / file), kOld) << file;
        break;
      case Fault::kReadOnlyFolder:
        break;
    }
  }
  EXPECT_FALSE(fs::exists(dir / k.privateKey));
  const auto faulted =
      std::count_if(k.files.begin(), k.files.end(), [](const auto& f) { return !f.first.empty(); });
  EXPECT_EQ(dir.entries().size(), static_cast<std::size_t>(faulted))
      << "a file of the set was installed";
  EXPECT_TRUE(e2e::temporary_files(dir.path()).empty());
}

INSTANTIATE_TEST_SUITE_P(
    Runs, HardeningKeyPairOutput,
    ::testing::Values(
        // No file of a set may exist beforehand (a key pair never replaces one), so the fault
        // is the size limit. Files in order: privateKey_V21.dat (1200), eFuseData_V21.dat (20),
        // publicKeyInfo_V21.dat (548).
        KeyPairRun{"v21 maker cut short",
                   {"-v2.1", "-KEYGEN"},
                   kBannerV21 + kGeneratingV21 + kFileWriteError + kKeyPairFailed,
                   {},
                   600,
                   "privateKey_V21.dat"},
        KeyPairRun{"v21 maker read-only folder",
                   {"-v2.1", "-KEYGEN"},
                   kBannerV21 + kGeneratingV21 + kFileOpenError + kFileOpenError + kFileOpenError +
                       kKeyPairFailed,
                   {{"", Fault::kReadOnlyFolder}},
                   0,
                   "privateKey_V21.dat"},
        // cust_V21.prv (1200), cust_V21.spk (548).
        KeyPairRun{"v21 customer cut short",
                   {"-v2.1", "cust", "-STAGE2_KEYGEN"},
                   kBannerV21 + kGeneratingV21 + kFileWriteError + kKeyPairFailed,
                   {},
                   600,
                   "cust_V21.prv"},
        KeyPairRun{"v21 customer read-only folder",
                   {"-v2.1", "cust", "-STAGE2_KEYGEN"},
                   kBannerV21 + kGeneratingV21 + kFileOpenError + kFileOpenError + kKeyPairFailed,
                   {{"", Fault::kReadOnlyFolder}},
                   0,
                   "cust_V21.prv"},
        // privateKey.dat (608), publicKeyInfo.dat (280), eFuseData.dat (16).
        KeyPairRun{"v11 maker cut short",
                   {"-v1.1", "-KEYGEN"},
                   kBannerV11 + kGeneratingV11 + kFileWriteError + kKeyPairFailed,
                   {},
                   300,
                   "privateKey.dat"},
        // cust.prv (640), cust.spk (308): both cut short.
        KeyPairRun{"v11 customer cut short",
                   {"-v1.1", "cust", "-STAGE2_KEYGEN"},
                   kBannerV11 + kGeneratingV11 + kFileWriteError + kFileWriteError + kKeyPairFailed,
                   {},
                   300,
                   "cust.prv"},
        KeyPairRun{"v11 customer read-only folder",
                   {"-v1.1", "cust", "-STAGE2_KEYGEN"},
                   kBannerV11 + kGeneratingV11 + kFileOpenError + kFileOpenError + kKeyPairFailed,
                   {{"", Fault::kReadOnlyFolder}},
                   0,
                   "cust.prv"}),
    [](const auto& test) { return e2e::test_name(test.param.what); });

}  // namespace
