// The stage-1 commands, run as a user runs them: secured images and their layout, "-VERIFY"
// accepting exactly the images it should, and the refusal of damaged, oversized and foreign
// key files without output. The cryptography inside the images (context signature, code
// encryption) is checked independently of our code by e2e_device_check.py.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include "tests/cli/e2e_support.h"
#include "tests/cli/expected_texts.h"

namespace {

using e2e::Bytes;
namespace fs = std::filesystem;

constexpr std::size_t kCodeLength = 4096;  // a multiple of 16, as v2.1 requires
constexpr std::size_t kContext21 = 1024;
constexpr std::size_t kContext11 = 512;
constexpr std::size_t kBlock = 48;

// A staged folder with a plain BL1 in "BL1.bin".
class Stage1 : public ::testing::Test {
 protected:
  void SetUp() override {
    e2e::stage_v21(dir_.path());
    e2e::stage_v11(dir_.path());
    write_bytes(dir_ / "BL1.bin", plain_);
  }

  Captured run(const std::vector<std::string>& args, e2e::RunLimits limits = {}) {
    return e2e::run(dir_.path(), args, limits);
  }
  // Secures BL1.bin into `out` and expects success.
  void secure(const std::string& set, const std::string& out, bool buildInfo = false) {
    const Captured r = buildInfo ? run({set, "BL1.bin", out, "unused", "-P"})
                                 : run({set, "BL1.bin", out, "-STAGE1"});
    ASSERT_EQ(r.status, 0) << r.output;
    ASSERT_EQ(r.output, (set == "-v2.1" ? kBannerV21 : kBannerV11) + kStage1Generated);
  }
  int verify(const std::string& set, const std::string& image, const std::string& eFuse) {
    const Captured r = run({set, image, eFuse, "-VERIFY"});
    const std::string banner = set == "-v2.1" ? kBannerV21 : kBannerV11;
    EXPECT_EQ(r.output, banner + (r.status == 0 ? kStage1Verified : kStage1VerificationFailed));
    return r.status;
  }

  TempDir dir_;
  const Bytes plain_ = pattern_bytes(kCodeLength, 1);
};

// ---------------------------------------------------------------------------------------------
// Secured images

TEST_F(Stage1, V21ImageIsEncryptedCodeThenContextNamingTheCustomerKey) {
  secure("-v2.1", "s.bin");
  const Bytes image = read_bytes(dir_ / "s.bin");
  ASSERT_EQ(image.size(), kCodeLength + kContext21);
  EXPECT_NE(Bytes(image.begin(), image.begin() + kCodeLength), plain_);
  const Bytes customer = read_bytes(dir_ / "alice_V21.spk");
  EXPECT_TRUE(std::equal(customer.begin(), customer.begin() + 268, image.begin() + kCodeLength))
      << "the next-stage key is the customer's key part";
  EXPECT_EQ(verify("-v2.1", "s.bin", "eFuseData_V21.dat"), 0);
}

TEST_F(Stage1, V21BuildInfoImageCarriesTheBlockInsideTheSignedBytes) {
  const auto before = static_cast<std::uint32_t>(std::time(nullptr));
  secure("-v2.1", "p.bin", true);  // the third file argument does not exist: never opened
  const auto after = static_cast<std::uint32_t>(std::time(nullptr));
  const Bytes image = read_bytes(dir_ / "p.bin");
  ASSERT_EQ(image.size(), kCodeLength + kBlock + kContext21);
  const Bytes block(image.begin() + kCodeLength, image.begin() + kCodeLength + kBlock);
  EXPECT_EQ(e2e::le32(block, 0), 0u);
  EXPECT_GE(e2e::le32(block, 4), before);
  EXPECT_LE(e2e::le32(block, 4), after);
  EXPECT_EQ(e2e::le32(block, 8), 0u);
  Bytes text(36, 0);
  const std::string value = "Orvalle Tessik Stage2Key";
  std::copy(value.begin(), value.end(), text.begin());
  EXPECT_EQ(Bytes(block.begin() + 12, block.end()), text);
  EXPECT_EQ(verify("-v2.1", "p.bin", "eFuseData_V21.dat"), 0);

  e2e::flip_byte(dir_ / "p.bin", kCodeLength + 4);  // the creation time is signed too
  EXPECT_EQ(verify("-v2.1", "p.bin", "eFuseData_V21.dat"), 255);
}

TEST_F(Stage1, V11ImageIsPlainCodeThenContext) {
  secure("-v1.1", "s.bin");
  const Bytes image = read_bytes(dir_ / "s.bin");
  ASSERT_EQ(image.size(), kCodeLength + kContext11);
  EXPECT_EQ(Bytes(image.begin(), image.begin() + kCodeLength), plain_);
  const Bytes customer = read_bytes(dir_ / "alice.spk");
  EXPECT_TRUE(
      std::equal(customer.begin() + 40, customer.begin() + 168, image.begin() + kCodeLength))
      << "the next-stage key starts with the customer's modulus";
  EXPECT_EQ(verify("-v1.1", "s.bin", "eFuseData.dat"), 0);
}

TEST_F(Stage1, V21CodeNotWholeBlocksEndsWithTheCipherCodeAndNoFile) {
  write_bytes(dir_ / "BL1.bin", pattern_bytes(1000, 2));
  const Captured r = run({"-v2.1", "BL1.bin", "s.bin", "-STAGE1"});
  EXPECT_EQ(r.output, kBannerV21);  // neither the success nor the failure line
  EXPECT_EQ(r.status, 255);         // the code 0xFFF7C000 must not read as success
  EXPECT_FALSE(fs::exists(dir_ / "s.bin"));
}

// ---------------------------------------------------------------------------------------------
// Verification: every byte that is signed or authenticated counts.

TEST_F(Stage1, V21VerifyRejectsAnyFlippedCodeContextOrSignatureByte) {
  secure("-v2.1", "s.bin");
  const Bytes good = read_bytes(dir_ / "s.bin");
  const std::vector<std::pair<const char*, std::size_t>> positions = {
      {"code start", 0},
      {"code middle", kCodeLength / 2},
      {"code end", kCodeLength - 1},
      {"next-stage key length", kCodeLength + 0},
      {"next-stage modulus", kCodeLength + 100},
      {"next-stage exponent", kCodeLength + 264},
      {"signature length", kCodeLength + 269},
      {"signature first", kCodeLength + 272},
      {"signature middle", kCodeLength + 400},
      {"signature last", kCodeLength + 527},
      {"record modulus", kCodeLength + 600},
      {"record exponent", kCodeLength + 792},
      {"record tag", kCodeLength + 800},
  };
  for (std::size_t i = 0; i < positions.size(); i += e2e::sanitized() ? 2 : 1) {
    const auto& [region, offset] = positions[i];
    write_bytes(dir_ / "s.bin", good);
    e2e::flip_byte(dir_ / "s.bin", offset, 0x80);
    EXPECT_EQ(verify("-v2.1", "s.bin", "eFuseData_V21.dat"), 255) << region;
  }
}

TEST_F(Stage1, V21BytesOutsideSignatureAndRecordDoNotMatter) {
  secure("-v2.1", "s.bin");
  for (const std::size_t offset :
       {816u, 912u, 944u, 960u, 1023u}) {  // table, reserved, tag, filler
    e2e::flip_byte(dir_ / "s.bin", kCodeLength + offset);
  }
  EXPECT_EQ(verify("-v2.1", "s.bin", "eFuseData_V21.dat"), 0);
}

TEST_F(Stage1, V11VerifyRejectsAnyFlippedCodeContextOrSignatureByte) {
  secure("-v1.1", "s.bin");
  const Bytes good = read_bytes(dir_ / "s.bin");
  const std::vector<std::pair<const char*, std::size_t>> positions = {
      {"code start", 0},
      {"code end", kCodeLength - 1},
      {"next-stage modulus", kCodeLength + 5},
      {"next-stage exponent", kCodeLength + 128},
      {"signature first", kCodeLength + 132},
      {"signature last", kCodeLength + 259},
      {"record modulus", kCodeLength + 300},
      {"record tag", kCodeLength + 400},
  };
  for (std::size_t i = 0; i < positions.size(); i += e2e::sanitized() ? 2 : 1) {
    const auto& [region, offset] = positions[i];
    write_bytes(dir_ / "s.bin", good);
    e2e::flip_byte(dir_ / "s.bin", offset, 0x80);
    EXPECT_EQ(verify("-v1.1", "s.bin", "eFuseData.dat"), 255) << region;
  }
}

TEST_F(Stage1, VerifyRejectsWrongEFuseValues) {
  secure("-v2.1", "s21.bin");
  secure("-v1.1", "s11.bin");
  e2e::copy_key(dir_.path(), "other/eFuseData_V21.dat", "other21.dat");
  e2e::copy_key(dir_.path(), "other/eFuseData.dat", "other11.dat");
  EXPECT_EQ(verify("-v2.1", "s21.bin", "other21.dat"), 255);
  EXPECT_EQ(verify("-v1.1", "s11.bin", "other11.dat"), 255);

  e2e::flip_byte(dir_ / "eFuseData_V21.dat", 19);
  e2e::flip_byte(dir_ / "eFuseData.dat", 0);
  EXPECT_EQ(verify("-v2.1", "s21.bin", "eFuseData_V21.dat"), 255);
  EXPECT_EQ(verify("-v1.1", "s11.bin", "eFuseData.dat"), 255);
}

TEST_F(Stage1, VerifyReadsOnlyTheEFuseValueAtTheStartOfALongerFile) {
  secure("-v2.1", "s.bin");
  Bytes eFuse = read_bytes(dir_ / "eFuseData_V21.dat");
  eFuse.resize(64, 0xEE);
  write_bytes(dir_ / "long.dat", eFuse);
  EXPECT_EQ(verify("-v2.1", "s.bin", "long.dat"), 0);
}

TEST_F(Stage1, VerifyRejectsTheOtherSetsImageAndShortImages) {
  secure("-v1.1", "s11.bin");
  EXPECT_EQ(verify("-v2.1", "s11.bin", "eFuseData_V21.dat"), 255);
  write_bytes(dir_ / "short.bin", pattern_bytes(kContext21 - 1, 3));
  EXPECT_EQ(verify("-v2.1", "short.bin", "eFuseData_V21.dat"), 255);
  write_bytes(dir_ / "short.bin", pattern_bytes(kContext11 - 1, 3));
  EXPECT_EQ(verify("-v1.1", "short.bin", "eFuseData.dat"), 255);
}

TEST_F(Stage1, VerifyEndsWithOpenErrorOnAShortEFuseFile) {
  secure("-v2.1", "s.bin");
  const Captured r = run({"-v2.1", "s.bin", "eFuseData.dat", "-VERIFY"});  // 16 of 20 bytes
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(r.output, kBannerV21 + kFileOpenError);
}

// ---------------------------------------------------------------------------------------------
// Key files: refused with the command's line, a non-zero status and no output file.

struct KeyFileCase {
  const char* what;
  const char* set;
  const char* file;
  std::function<void(Bytes&)> damage;
  std::string line;  // printed after the banner
  int status;
};

void PrintTo(const KeyFileCase& c, std::ostream* os) {
  *os << c.what;
}

class Stage1KeyFiles : public Stage1, public ::testing::WithParamInterface<KeyFileCase> {};

TEST_P(Stage1KeyFiles, DamagedKeyFileIsRefusedWithoutOutput) {
  const KeyFileCase& c = GetParam();
  Bytes bytes = read_bytes(dir_ / c.file);
  c.damage(bytes);
  write_bytes(dir_ / c.file, bytes);
  const Captured r = run({c.set, "BL1.bin", "s.bin", "-STAGE1"});
  EXPECT_EQ(r.output, (std::string(c.set) == "-v2.1" ? kBannerV21 : kBannerV11) + c.line);
  EXPECT_EQ(r.status, c.status);
  EXPECT_FALSE(fs::exists(dir_ / "s.bin"));
}

void flip(Bytes& b, std::size_t at) {
  b.at(at) ^= 0x01;
}
auto resize_to(std::size_t n) {
  return [n](Bytes& b) { b.resize(n, 0x5A); };
}
auto set_le32(std::size_t at, std::uint32_t v) {
  return [at, v](Bytes& b) { e2e::put_le32(b, at, v); };
}

// 0xFFF20090 (failed verification) keeps its low byte 0x90 as the status; codes whose low byte
// is 0 and the front end's own -1 show as 255.
INSTANTIATE_TEST_SUITE_P(
    Cases, Stage1KeyFiles,
    ::testing::Values(
        KeyFileCase{"v21 customer self-signature", "-v2.1", "publicKeyInfo_V21_stage2.dat",
                    [](Bytes& b) { flip(b, 400); }, kPoppFailure, 0x90},
        KeyFileCase{"v21 customer key part", "-v2.1", "publicKeyInfo_V21_stage2.dat",
                    [](Bytes& b) { flip(b, 10); }, kPoppFailure, 0x90},
        KeyFileCase{"v21 customer file oversized", "-v2.1", "publicKeyInfo_V21_stage2.dat",
                    resize_to(1025), kPoppFailure, 255},
        KeyFileCase{"v21 customer file truncated", "-v2.1", "publicKeyInfo_V21_stage2.dat",
                    resize_to(547), kPoppFailure, 255},
        KeyFileCase{"v21 customer signature length", "-v2.1", "publicKeyInfo_V21_stage2.dat",
                    set_le32(288, 128), kPoppFailure, 255},
        KeyFileCase{"v21 customer modulus length", "-v2.1", "publicKeyInfo_V21_stage2.dat",
                    set_le32(0, 0x10000), kPoppFailure, 255},
        KeyFileCase{"v21 maker private key oversized", "-v2.1", "privateKey_V21.dat",
                    resize_to(2064), kStage1GenerationFailed, 255},
        KeyFileCase{"v21 maker private key not whole blocks", "-v2.1", "privateKey_V21.dat",
                    resize_to(1199), "", 255},
        KeyFileCase{"v21 maker private key cut to whole blocks", "-v2.1", "privateKey_V21.dat",
                    resize_to(1184), kStage1GenerationFailed, 255},
        KeyFileCase{"v21 maker private key damaged", "-v2.1", "privateKey_V21.dat",
                    [](Bytes& b) { flip(b, 5); }, kStage1GenerationFailed, 255},
        KeyFileCase{"v21 maker eFuse oversized", "-v2.1", "eFuseData_V21.dat", resize_to(21),
                    kStage1GenerationFailed, 255},
        KeyFileCase{"v21 maker eFuse short", "-v2.1", "eFuseData_V21.dat", resize_to(16), "", 255},
        KeyFileCase{"v21 maker eFuse wrong", "-v2.1", "eFuseData_V21.dat",
                    [](Bytes& b) { flip(b, 3); }, kStage1GenerationFailed, 0x50},
        KeyFileCase{"v21 maker record truncated", "-v2.1", "publicKeyInfo_V21.dat", resize_to(287),
                    kFileOpenError, 255},
        KeyFileCase{"v11 customer self-signature", "-v1.1", "stage2_key.spk",
                    [](Bytes& b) { flip(b, 200); }, kPoppFailure, 0x90},
        KeyFileCase{"v11 customer modulus length", "-v1.1", "stage2_key.spk", set_le32(36, 132),
                    kPoppFailure, 255},
        KeyFileCase{"v11 customer exponent length", "-v1.1", "stage2_key.spk", set_le32(168, 5),
                    kPoppFailure, 255},
        KeyFileCase{"v11 customer key data length", "-v1.1", "stage2_key.spk", set_le32(32, 100000),
                    kPoppFailure, 255},
        KeyFileCase{"v11 customer record truncated", "-v1.1", "stage2_key.spk", resize_to(307),
                    kFileOpenError, 255},
        KeyFileCase{"v11 maker private key oversized", "-v1.1", "privateKey.dat", resize_to(2049),
                    kStage1GenerationFailed, 255},
        KeyFileCase{"v11 maker private key not whole blocks", "-v1.1", "privateKey.dat",
                    resize_to(600), kStage1GenerationFailed, 255},
        KeyFileCase{"v11 maker eFuse oversized", "-v1.1", "eFuseData.dat", resize_to(17),
                    kStage1GenerationFailed, 255},
        KeyFileCase{"v11 maker record truncated", "-v1.1", "publicKeyInfo.dat", resize_to(151),
                    kFileOpenError, 255}),
    [](const auto& test) { return e2e::test_name(test.param.what); });

TEST_F(Stage1, V21MakerKeyFileOfTheOtherSetIsRefused) {
  e2e::copy_key(dir_.path(), "privateKey.dat", "privateKey_V21.dat");  // 608 bytes, v1.1 key
  const Captured r = run({"-v2.1", "BL1.bin", "s.bin", "-STAGE1"});
  EXPECT_EQ(r.output, kBannerV21 + kStage1GenerationFailed);
  EXPECT_EQ(r.status, 255);
  EXPECT_FALSE(fs::exists(dir_ / "s.bin"));
}

TEST_F(Stage1, MakerRecordOfAnotherKeyFailsTheSelfCheck) {
  e2e::copy_key(dir_.path(), "other/publicKeyInfo_V21.dat", "publicKeyInfo_V21.dat");
  const Captured r = run({"-v2.1", "BL1.bin", "s.bin", "-STAGE1"});
  EXPECT_EQ(r.output, kBannerV21 + kStage1GenerationFailed);
  EXPECT_EQ(r.status, 0x50);  // 0xFFF10050: the record does not validate under the eFuse value
  EXPECT_FALSE(fs::exists(dir_ / "s.bin"));
}

TEST_F(Stage1, MakerPrivateKeyOfAnotherPairFailsTheSelfCheckWithItsCode) {
  e2e::copy_key(dir_.path(), "other/privateKey_V21.dat", "privateKey_V21.dat");
  const Captured r = run({"-v2.1", "BL1.bin", "s.bin", "-STAGE1"});
  EXPECT_EQ(r.output, kBannerV21 + kStage1GenerationFailed);
  EXPECT_EQ(r.status, 0x90);  // 0xFFF30090: the context signature does not verify
  EXPECT_FALSE(fs::exists(dir_ / "s.bin"));
}

TEST_F(Stage1, MissingFixedKeyFileEndsWithOpenError) {
  fs::remove(dir_ / "publicKeyInfo_V21_stage2.dat");
  const Captured r = run({"-v2.1", "BL1.bin", "s.bin", "-STAGE1"});
  EXPECT_EQ(r.output, kBannerV21 + kFileOpenError);
  EXPECT_EQ(r.status, 255);
  EXPECT_FALSE(fs::exists(dir_ / "s.bin"));
}

// ---------------------------------------------------------------------------------------------
// Outputs that cannot be written fail the command after its own line.

TEST_F(Stage1, ReadOnlyFolderFailsWithOpenError) {
  e2e::hand_to_nobody(dir_.path());
  fs::permissions(dir_.path(), fs::perms::owner_read | fs::perms::owner_exec);
  const Captured r = run({"-v1.1", "BL1.bin", "s.bin", "-STAGE1"}, e2e::unprivileged());
  EXPECT_EQ(r.output, kBannerV11 + kFileOpenError);
  EXPECT_EQ(r.status, 255);
  EXPECT_FALSE(fs::exists(dir_ / "s.bin"));
}

TEST_F(Stage1, FullDeviceFailsWithWriteError) {
  const Captured r = run({"-v2.1", "BL1.bin", "/dev/full", "-STAGE1"});
  EXPECT_EQ(r.output, kBannerV21 + kFileWriteError);
  EXPECT_EQ(r.status, 255);
}

TEST_F(Stage1, FailedWriteLeavesTheExistingImageIntact) {
  const Bytes old = pattern_bytes(200, 9);
  write_bytes(dir_ / "s.bin", old);
  const Captured r = run({"-v2.1", "BL1.bin", "s.bin", "-STAGE1"}, e2e::file_size_limit(4096));
  EXPECT_EQ(r.output, kBannerV21 + kFileWriteError);
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(read_bytes(dir_ / "s.bin"), old);
  EXPECT_TRUE(e2e::temporary_files(dir_.path()).empty());
}

}  // namespace
