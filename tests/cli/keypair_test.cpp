// The key-pair commands, run as a user runs them: which files appear, their sizes, permissions
// and fixed fields, and what happens when names are too long or files cannot be written.
// The cryptographic relations inside the files (self-signatures, eFuse value and tag) are
// checked independently of our code by e2e_device_check.py.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/cli/e2e_support.h"
#include "tests/cli/expected_texts.h"

namespace {

using e2e::Bytes;
using e2e::le32;
namespace fs = std::filesystem;

using Sizes = std::vector<std::pair<std::string, std::uintmax_t>>;

Sizes sizes_in(const TempDir& dir) {
  Sizes sizes;
  for (const std::string& name : dir.entries()) sizes.emplace_back(name, fs::file_size(dir / name));
  return sizes;
}

TEST(KeyPairV21, MakerModeWritesEFuseSignedPublicKeyAndOwnerOnlyPrivateKey) {
  TempDir dir;
  const Captured run = e2e::run(dir.path(), {"-v2.1", "-KEYGEN"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.output, kBannerV21 + kGeneratingV21);
  EXPECT_EQ(sizes_in(dir), (Sizes{{"eFuseData_V21.dat", 20},
                                  {"privateKey_V21.dat", 1200},
                                  {"publicKeyInfo_V21.dat", 548}}));
  const Bytes pub = read_bytes(dir / "publicKeyInfo_V21.dat");
  EXPECT_EQ(le32(pub, 0), 256u);     // modulus length
  EXPECT_EQ(le32(pub, 260), 4u);     // exponent length
  EXPECT_EQ(le32(pub, 264), 3u);     // e
  EXPECT_EQ(le32(pub, 288), 256u);   // signature length: bytes 00 01 00 00
  EXPECT_EQ(pub[259] & 0x80, 0x80);  // a full 2048-bit modulus, most significant byte last
  EXPECT_EQ(e2e::permissions_of(dir / "privateKey_V21.dat"),
            fs::perms::owner_read | fs::perms::owner_write);
}

TEST(KeyPairV21, CustomerModeWritesPublicAndPrivateFileFromBaseName) {
  TempDir dir;
  const Captured run = e2e::run(dir.path(), {"-v2.1", "cust", "-STAGE2_KEYGEN"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.output, kBannerV21 + kGeneratingV21);
  EXPECT_EQ(sizes_in(dir), (Sizes{{"cust_V21.prv", 1200}, {"cust_V21.spk", 548}}));
  EXPECT_EQ(le32(read_bytes(dir / "cust_V21.spk"), 288), 256u);
  EXPECT_EQ(e2e::permissions_of(dir / "cust_V21.prv"),
            fs::perms::owner_read | fs::perms::owner_write);
}

TEST(KeyPairV11, MakerModeWritesRecordEFuseAndOwnerOnlyPrivateKey) {
  TempDir dir;
  const Captured run = e2e::run(dir.path(), {"-v1.1", "-KEYGEN"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.output, kBannerV11 + kGeneratingV11);
  EXPECT_EQ(sizes_in(dir),
            (Sizes{{"eFuseData.dat", 16}, {"privateKey.dat", 608}, {"publicKeyInfo.dat", 280}}));
  const Bytes pub = read_bytes(dir / "publicKeyInfo.dat");
  EXPECT_EQ(le32(pub, 128), 65537u);
  EXPECT_EQ(pub[127] & 0x80, 0x80);
  EXPECT_EQ(e2e::permissions_of(dir / "privateKey.dat"),
            fs::perms::owner_read | fs::perms::owner_write);
}

TEST(KeyPairV11, CustomerModeWritesPublicAndPrivateRecordFromBaseName) {
  TempDir dir;
  const Captured run = e2e::run(dir.path(), {"-v1.1", "cust", "-STAGE2_KEYGEN"});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.output, kBannerV11 + kGeneratingV11);
  EXPECT_EQ(sizes_in(dir), (Sizes{{"cust.prv", 640}, {"cust.spk", 308}}));
  EXPECT_EQ(le32(read_bytes(dir / "cust.spk"), 172), 65537u);
  EXPECT_EQ(e2e::permissions_of(dir / "cust.prv"), fs::perms::owner_read | fs::perms::owner_write);
}

TEST(KeyPairCustomer, BaseNameWithFolderWritesIntoThatFolder) {
  TempDir dir;
  fs::create_directory(dir / "keys");
  const Captured run = e2e::run(dir.path(), {"-v1.1", "keys/cust", "-STAGE2_KEYGEN"});
  EXPECT_EQ(run.status, 0);
  EXPECT_TRUE(fs::exists(dir / "keys" / "cust.spk"));
  EXPECT_TRUE(fs::exists(dir / "keys" / "cust.prv"));
}

// A name must fit 128 bytes with its terminator: base + "_V21.spk" (8) or ".spk" (4) + 1.
TEST(KeyPairCustomer, LongestBaseNamesAreAccepted) {
  TempDir dir;
  const std::string base21(119, 'a');
  const std::string base11(123, 'b');
  EXPECT_EQ(e2e::run(dir.path(), {"-v2.1", base21, "-STAGE2_KEYGEN"}).status, 0);
  EXPECT_EQ(e2e::run(dir.path(), {"-v1.1", base11, "-STAGE2_KEYGEN"}).status, 0);
  EXPECT_TRUE(fs::exists(dir / (base21 + "_V21.prv")));
  EXPECT_TRUE(fs::exists(dir / (base11 + ".prv")));
}

TEST(KeyPairCustomer, BaseNameOneTooLongIsRefusedBeforeAnythingIsWritten) {
  TempDir dir;
  const Captured v21 = e2e::run(dir.path(), {"-v2.1", std::string(120, 'a'), "-STAGE2_KEYGEN"});
  EXPECT_EQ(v21.status, 255);
  EXPECT_EQ(v21.output, kBannerV21 + kGeneratingV21 + kKeyFileNameTooLong);
  const Captured v11 = e2e::run(dir.path(), {"-v1.1", std::string(124, 'b'), "-STAGE2_KEYGEN"});
  EXPECT_EQ(v11.status, 255);
  EXPECT_EQ(v11.output, kBannerV11 + kGeneratingV11 + kKeyFileNameTooLong);
  EXPECT_TRUE(dir.entries().empty());
}

// ---------------------------------------------------------------------------------------------
// Outputs that cannot be written: every file is still prepared, in order, each failure is
// reported, and the command fails with no file of the set installed.

TEST(KeyPairOutputs, ReadOnlyFolderReportsEachFileAndFails) {
  TempDir dir;
  e2e::hand_to_nobody(dir.path());
  fs::permissions(dir.path(), fs::perms::owner_read | fs::perms::owner_exec);
  const Captured run = e2e::run(dir.path(), {"-v1.1", "-KEYGEN"}, e2e::unprivileged());
  EXPECT_EQ(run.status, 255);
  EXPECT_EQ(run.output, kBannerV11 + kGeneratingV11 + kFileOpenError + kFileOpenError +
                            kFileOpenError + kKeyPairFailed);
  EXPECT_TRUE(dir.entries().empty());
}

// Every name of the set must be free, the devices included: a public key "written" to a device
// would be a set whose public half is lost.
TEST(KeyPairOutputs, AnyTakenNameOfTheSetIsRefusedAndNothingIsWritten) {
  TempDir dir;
  fs::create_symlink("/dev/full", dir / "cust.spk");
  const Captured run = e2e::run(dir.path(), {"-v1.1", "cust", "-STAGE2_KEYGEN"});
  EXPECT_EQ(run.status, 255);
  EXPECT_EQ(run.output, kBannerV11 + kGeneratingV11 + key_file_exists_text("cust.spk"));
  EXPECT_EQ(dir.entries().size(), 1u);
}

TEST(KeyPairOutputs, FailedWriteInstallsNoFileOfTheSet) {
  TempDir dir;
  // Room for publicKeyInfo.dat (280) and eFuseData.dat (16), not for privateKey.dat (608).
  const Captured run = e2e::run(dir.path(), {"-v1.1", "-KEYGEN"}, e2e::file_size_limit(300));
  EXPECT_EQ(run.status, 255);
  EXPECT_EQ(run.output, kBannerV11 + kGeneratingV11 + kFileWriteError + kKeyPairFailed);
  EXPECT_TRUE(dir.entries().empty());
}

}  // namespace
