// The device checks: all pass for the files a maker and its customer made together; one
// changed byte fails exactly the checks that read it, and no other. The record library's own
// context check (what "-VERIFY" and a device run) agrees with the inspector's tag and
// signature lines on every row. Without an eFuse value the same byte fails the same checks but
// the two that need it (the tag, the decryption), and the status says so.
//
// The code key is the first half of the integrity key that the record's tag authenticates, so
// whatever fails the tag also fails "code decrypts": the inspector never calls bytes decrypted
// under an unproven key the code. A code length that is not whole AES blocks is the one fault
// that fails the decryption alone; the program never makes such an image, so the test signs one
// itself with the maker's key.
//
// A public exponent that the RSA layer refuses (even, or below 3) fails every verification
// under that key, and the failing line gives the exponent as its reason; no other failure
// claims it.
#include <gtest/gtest.h>
#include <openssl/sha.h>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "core/build_info.h"
#include "core/key_protection.h"
#include "format/format.h"
#include "inspect/describe.h"
#include "sbl/sbl.h"
#include "tests/inspect/made_files.h"
#include "tests/support/fixed_noise.h"

namespace {

using inspect_test::MadeFiles;
namespace fs = std::filesystem;
using C21 = sbl::ContextV21;
using C11 = sbl::ContextV11;
using P21 = sbl::PublicKeyInfoV21;
using P11 = sbl::PublicKeyInfoV11;

const std::string kTag = "record tag against eFuse value";
const std::string kSignature = "context signature";
const std::string kNextStage = "next-stage key is the --key key";
const std::string kDecrypts = "code decrypts";
const std::string kBlocks = "code is whole AES blocks";  // in its place without an eFuse value
const std::string kBl2 = "BL2 signature with --key";
const std::string kSelfSignature = "self-signature";  // a key file's field, not a check
const std::string kRefused = "which is even or below 3, so it proves no private key";

constexpr std::size_t kContextAt = inspect_test::kCodeLength;  // "-STAGE1" images

std::set<std::string> failing(const inspect::Report& report) {
  std::set<std::string> out;
  for (const inspect::Check& c : report.checks) {
    if (!c.passed) out.insert(c.name);
  }
  return out;
}

std::string hex_of(const std::uint8_t* bytes, std::size_t n) {
  std::string out;
  for (std::size_t i = 0; i < n; ++i) {
    char two[3];
    std::snprintf(two, sizeof two, "%02x", bytes[i]);
    out += two;
  }
  return out;
}

std::set<std::string> names(const inspect::Report& report) {
  std::set<std::string> out;
  for (const inspect::Check& c : report.checks) out.insert(c.name);
  return out;
}

// What the library's device check says of a secured image: the stage-1 verification.
bool library_accepts(const fs::path& image, const fs::path& eFuseFile, bool v11) {
  auto bytes = read_bytes(image);
  const auto eFuse = read_bytes(eFuseFile);
  const std::size_t contextSize = v11 ? C11::kSize : C21::kSize;
  std::vector<std::uint8_t> context(bytes.end() - static_cast<std::ptrdiff_t>(contextSize),
                                    bytes.end());
  const auto codeLength = static_cast<std::uint32_t>(bytes.size() - contextSize);
  const auto eFuseLength = static_cast<std::uint32_t>(eFuse.size());
  return (v11 ? Check_SB10_Context(eFuse.data(), eFuseLength, context.data(), bytes.data(),
                                   codeLength)
              : Check_SB20_Context(eFuse.data(), eFuseLength, context.data(), bytes.data(),
                                   codeLength)) == 0;
}

class DeviceChecks : public ::testing::Test {
 protected:
  MadeFiles files_;
};

TEST_F(DeviceChecks, EveryCheckPassesForTheMatchingDevice) {
  struct Row {
    const char* file;
    const char* eFuse;
    const char* key;
    std::set<std::string> checks;
  };
  const std::vector<Row> rows = {
      {"s21.bin", "eFuseData_V21.dat", "alice_V21.spk", {kTag, kSignature, kNextStage, kDecrypts}},
      // Without an eFuse value every check that needs none still runs.
      {"s21.bin", "", "alice_V21.spk", {kSignature, kNextStage, kBlocks}},
      {"s21p.bin", "", "", {kSignature, kBlocks}},
      {"s11.bin", "", "", {kSignature}},
      {"b21.bin", "", "alice_V21.spk", {kBl2}},
      {"s21p.bin", "eFuseData_V21.dat", "alice_V21.spk", {kTag, kSignature, kNextStage, kDecrypts}},
      {"s11.bin", "eFuseData.dat", "alice.spk", {kTag, kSignature, kNextStage}},
      {"b21.bin", "eFuseData_V21.dat", "alice_V21.spk", {kBl2}},
      {"b11.bin", "eFuseData.dat", "alice.spk", {kBl2}},
      {"publicKeyInfo_V21.dat", "eFuseData_V21.dat", "alice_V21.spk", {kTag}},
      {"publicKeyInfo.dat", "eFuseData.dat", "alice.spk", {kTag}},
  };
  for (const Row& row : rows) {
    const auto given = [&](const char* name) { return *name ? files_ / name : fs::path{}; };
    const auto report =
        inspect_test::inspect_with(files_ / row.file, given(row.eFuse), given(row.key));
    EXPECT_EQ(names(report), row.checks) << row.file;
    // The one line saying what was not checked: a secured image's maker key, without --efuse.
    EXPECT_EQ(report.note == inspect::detail::kMakerKeyUnchecked,
              row.file[0] == 's' && *row.eFuse == '\0')
        << row.file;
    EXPECT_TRUE(failing(report).empty()) << inspect::render_text(report);
    EXPECT_EQ(inspect::exit_status(std::span(&report, 1)), 0);
  }
  // The decrypted code is shown only as SHA-1 over all of it, the SHA-1 (OpenSSL's) of the BL1
  // that was secured; no 16-byte run of it reaches either rendering. The line claims what ran,
  // not that the code is the original.
  const auto plain = read_bytes(files_ / "BL1.bin");
  std::uint8_t digest[SHA_DIGEST_LENGTH];
  SHA1(plain.data(), plain.size(), digest);
  const std::string expected =
      "ran over 256 whole AES blocks, no padding; not compared with any BL1: plain code SHA-1 " +
      hex_of(digest, SHA_DIGEST_LENGTH);
  for (const char* image : {"s21.bin", "s21p.bin"}) {
    const auto report = inspect_test::inspect_with(files_ / image, files_ / "eFuseData_V21.dat");
    EXPECT_EQ(report.checks.back().detail, expected) << image;
    for (const std::string& out : {inspect::render_text(report), inspect::render_json(report)}) {
      EXPECT_NE(out.find(expected), std::string::npos) << out;
      for (std::size_t at = 0; at + 16 <= plain.size(); ++at) {
        if (out.find(hex_of(plain.data() + at, 16)) != std::string::npos) {
          ADD_FAILURE() << image << ": plain bytes from offset " << at << " are shown";
          break;
        }
      }
    }
  }
}

TEST_F(DeviceChecks, CustomerKeyFileIsNotTrustedByTheMakersDevice) {
  // Its tag was made with an integrity key nobody keeps.
  const auto report =
      inspect_test::inspect_with(files_ / "alice_V21.spk", files_ / "eFuseData_V21.dat");
  EXPECT_EQ(failing(report), std::set<std::string>{kTag});
}

enum class In { kFile, kEFuse, kKey };

// One byte of the inspected file, of the eFuse file or of the customer key file is changed;
// the eFuse value and the key are those of the file's set. With an exponent, the u32 at the
// offset is set to it instead, and the line namedBy (a check, or the self-signature) must give
// it as the reason.
struct Flip {
  const char* what;
  const char* file;
  In in;
  std::size_t offset;
  std::set<std::string> fails;
  std::optional<std::uint32_t> exponent = {};
  std::string namedBy = {};
};

bool of_v11(const std::string& file) {
  return file == "s11.bin" || file == "b11.bin" || file == "publicKeyInfo.dat" ||
         file == "alice.spk";
}

// The detail of the check of that name, or a key file's self-signature state.
std::string line_of(const inspect::Report& report, const std::string& name) {
  for (const inspect::Check& c : report.checks) {
    if (c.name == name) return c.detail;
  }
  return inspect_test::text_of(report, name, "signature");
}

std::vector<Flip> flips() {
  const std::size_t c = kContextAt;
  const std::size_t nextKey21 = c + C21::kNextStageKey + P21::kModulus;  // its modulus
  const std::size_t record21 = c + C21::kPublicKeyInfo;
  const std::size_t record11 = c + C11::kPublicKeyInfo;
  const std::size_t time21 = inspect_test::kCodeLength + BuildInfoBlock::kCreationTime;
  return {
      {"v2.1 code", "s21.bin", In::kFile, 100, {kSignature}},
      {"v2.1 signature", "s21.bin", In::kFile, c + C21::kSignature + 7, {kSignature}},
      {"v2.1 signature length", "s21.bin", In::kFile, c + C21::kSignatureLength, {kSignature}},
      {"v2.1 next-stage key", "s21.bin", In::kFile, nextKey21 + 9, {kSignature, kNextStage}},
      {"v2.1 record tag", "s21.bin", In::kFile, record21 + P21::kTag + 19, {kTag, kDecrypts}},
      {"v2.1 record modulus", "s21.bin", In::kFile, record21 + 9, {kTag, kSignature, kDecrypts}},
      {"v2.1 eFuse, first byte", "s21.bin", In::kEFuse, 0, {kTag, kDecrypts}},
      {"v2.1 eFuse, last byte", "s21.bin", In::kEFuse, 19, {kTag, kDecrypts}},
      {"v2.1 customer key", "s21.bin", In::kKey, P21::kModulus + 5, {kNextStage}},
      // The whole key is compared: its exponent (3 becomes 259) and both ends of its modulus.
      {"v2.1 customer key exponent", "s21.bin", In::kKey, P21::kExponent + 1, {kNextStage}},
      {"v2.1 customer key, first byte", "s21.bin", In::kKey, P21::kModulus, {kNextStage}},
      {"v2.1 customer key, top byte", "s21.bin", In::kKey, P21::kExponentLength - 1, {kNextStage}},
      {"v2.1 build-information time", "s21p.bin", In::kFile, time21, {kSignature}},
      // Outside every signed or tagged byte: nothing a device checks.
      {"v2.1 context tag text", "s21.bin", In::kFile, c + C21::kTag, {}},
      {"v2.1 filler", "s21.bin", In::kFile, c + C21::kFiller + 3, {}},
      {"v2.1 service table", "s21.bin", In::kFile, c + C21::kServiceTable, {}},
      // v1.1: no code encryption, so the tag stands alone.
      {"v1.1 code", "s11.bin", In::kFile, 7, {kSignature}},
      {"v1.1 signature", "s11.bin", In::kFile, c + C11::kSignature, {kSignature}},
      {"v1.1 record tag", "s11.bin", In::kFile, record11 + P11::kTag + 3, {kTag}},
      {"v1.1 eFuse", "s11.bin", In::kEFuse, 5, {kTag}},
      {"v1.1 customer key", "s11.bin", In::kKey, PublicKeyRecordV11::kModulus + 3, {kNextStage}},
      {"v1.1 customer key exponent",
       "s11.bin",
       In::kKey,
       PublicKeyRecordV11::kExponent + 1,
       {kNextStage}},
      // Signed BL2 images and maker key files.
      {"v2.1 BL2 image", "b21.bin", In::kFile, 5, {kBl2}},
      {"v2.1 BL2 signature", "b21.bin", In::kFile, inspect_test::kBl2Length + 200, {kBl2}},
      {"v2.1 BL2 key", "b21.bin", In::kKey, P21::kModulus, {kBl2}},
      {"v1.1 BL2 image", "b11.bin", In::kFile, 3000, {kBl2}},
      {"v2.1 maker key file tag", "publicKeyInfo_V21.dat", In::kFile, P21::kTag, {kTag}},
      {"v1.1 maker key file tag", "publicKeyInfo.dat", In::kFile, P11::kTag + 19, {kTag}},
      // Refused public exponents: 1 makes any encoding its own signature; an even one has no
      // private exponent. (A v1.1 maker key file is known by its exponent 65537 alone.)
      {"v2.1 record exponent 1",
       "s21.bin",
       In::kFile,
       record21 + P21::kExponent,
       {kTag, kSignature, kDecrypts},
       1u,
       kSignature},
      {"v2.1 record exponent 65536",
       "s21.bin",
       In::kFile,
       record21 + P21::kExponent,
       {kTag, kSignature, kDecrypts},
       65536u,
       kSignature},
      {"v1.1 record exponent 1",
       "s11.bin",
       In::kFile,
       record11 + P11::kExponent,
       {kTag, kSignature},
       1u,
       kSignature},
      {"v1.1 record exponent 4",
       "s11.bin",
       In::kFile,
       record11 + P11::kExponent,
       {kTag, kSignature},
       4u,
       kSignature},
      {"v2.1 BL2 key exponent 1", "b21.bin", In::kKey, P21::kExponent, {kBl2}, 1u, kBl2},
      {"v2.1 BL2 key exponent 65536", "b21.bin", In::kKey, P21::kExponent, {kBl2}, 65536u, kBl2},
      {"v1.1 BL2 key exponent 1",
       "b11.bin",
       In::kKey,
       PublicKeyRecordV11::kExponent,
       {kBl2},
       1u,
       kBl2},
      {"v1.1 BL2 key exponent 4",
       "b11.bin",
       In::kKey,
       PublicKeyRecordV11::kExponent,
       {kBl2},
       4u,
       kBl2},
      {"v2.1 key file exponent 1",
       "publicKeyInfo_V21.dat",
       In::kFile,
       P21::kExponent,
       {kTag},
       1u,
       kSelfSignature},
      {"v1.1 key record exponent 2",
       "alice.spk",
       In::kFile,
       PublicKeyRecordV11::kExponent,
       {},
       2u,
       kSelfSignature},
  };
}

TEST_F(DeviceChecks, OneChangedByteFailsExactlyTheChecksThatReadIt) {
  for (const Flip& flip : flips()) {
    SCOPED_TRACE(flip.what);
    const bool v11 = of_v11(flip.file);
    const std::string eFuse = v11 ? "eFuseData.dat" : "eFuseData_V21.dat";
    const std::string key = v11 ? "alice.spk" : "alice_V21.spk";
    const TempDir dir;
    for (const std::string& name : std::set<std::string>{flip.file, eFuse, key}) {
      fs::copy_file(files_ / name, dir / name);
    }
    const std::string target = flip.in == In::kFile    ? flip.file
                               : flip.in == In::kEFuse ? eFuse
                                                       : key;
    if (flip.exponent) {
      auto bytes = read_bytes(dir / target);
      e2e::put_le32(bytes, flip.offset, *flip.exponent);
      write_bytes(dir / target, bytes);
    } else {
      e2e::flip_byte(dir / target, flip.offset);
    }
    const auto before =
        inspect_test::inspect_with(files_ / flip.file, files_ / eFuse, files_ / key);
    const auto after = inspect_test::inspect_with(dir / flip.file, dir / eFuse, dir / key);
    EXPECT_EQ(after.kind, before.kind);
    EXPECT_EQ(names(after), names(before));
    EXPECT_EQ(failing(after), flip.fails) << inspect::render_text(after);
    EXPECT_EQ(inspect::exit_status(std::span(&after, 1)), flip.fails.empty() ? 0 : 1);
    const std::string text = inspect::render_text(after);
    if (flip.exponent) {
      const std::string reason =
          "has public exponent " + std::to_string(*flip.exponent) + ", " + kRefused;
      EXPECT_NE(line_of(after, flip.namedBy).find(reason), std::string::npos) << text;
    } else {
      EXPECT_EQ(text.find(kRefused), std::string::npos) << text;
    }

    // Without the eFuse value the same byte fails the same checks, but those that need it.
    const auto bare = inspect_test::inspect_with(dir / flip.file, {}, dir / key);
    std::set<std::string> bareFails = flip.fails;
    bareFails.erase(kTag);
    bareFails.erase(kDecrypts);
    EXPECT_EQ(failing(bare), bareFails) << inspect::render_text(bare);
    EXPECT_EQ(inspect::exit_status(std::span(&bare, 1)), bareFails.empty() ? 0 : 1);

    // The library's device check accepts exactly when the tag and the signature lines pass.
    if (flip.file[0] == 's') {
      const bool inspectorAccepts =
          !failing(after).count(kTag) && !failing(after).count(kSignature);
      EXPECT_EQ(library_accepts(dir / flip.file, dir / eFuse, v11), inspectorAccepts);
    }
  }
}

// The maker signs, as "-STAGE1" would, a code whose length is not a whole number of AES
// blocks: the record and the signature are sound, the next-stage key is the customer's, and
// only the decryption fails.
TEST_F(DeviceChecks, CodeThatIsNotWholeBlocksFailsOnlyTheDecryption) {
  auto key = read_bytes(files_ / "privateKey_V21.dat");
  ASSERT_EQ(
      do_PrivateKey_Decrypt(kProtectionV21, key.data(), static_cast<std::uint32_t>(key.size())), 0);
  const auto makerFile = read_bytes(files_ / "publicKeyInfo_V21.dat");
  const auto customer = read_bytes(files_ / "alice_V21.spk");
  const auto secured = read_bytes(files_ / "s21.bin");
  std::vector<std::uint8_t> image(secured.begin(), secured.begin() + 4095);

  std::vector<std::uint8_t> context(C21::kSize, 0);
  std::copy_n(makerFile.begin(), P21::kSize, context.begin() + C21::kPublicKeyInfo);
  qiv_test_reset_random();
  ASSERT_EQ(
      Generate_SB20_Context(key.data(), sbl::PrivateKeyBlob::kCrtFullSize, customer.data(),
                            image.data(), static_cast<std::uint32_t>(image.size()), context.data()),
      0);
  std::fill(key.begin(), key.end(), std::uint8_t{0});
  image.insert(image.end(), context.begin(), context.end());
  const TempDir dir;
  write_bytes(dir / "odd.bin", image);

  const auto report = inspect_test::inspect_with(dir / "odd.bin", files_ / "eFuseData_V21.dat",
                                                 files_ / "alice_V21.spk");
  EXPECT_EQ(report.kind, inspect::Kind::kSecuredBl1V21);
  EXPECT_EQ(failing(report), std::set<std::string>{kDecrypts}) << inspect::render_text(report);
  EXPECT_TRUE(library_accepts(dir / "odd.bin", files_ / "eFuseData_V21.dat", false));
  const auto bare = inspect_test::inspect_with(dir / "odd.bin");
  EXPECT_EQ(failing(bare), std::set<std::string>{kBlocks}) << inspect::render_text(bare);
}

TEST_F(DeviceChecks, InputsOfTheOtherSetFailWithTheReason) {
  const auto report = inspect_test::inspect_with(files_ / "s21.bin", files_ / "eFuseData.dat",
                                                 files_ / "alice.spk");
  EXPECT_EQ(failing(report), (std::set<std::string>{kTag, kNextStage, kDecrypts}));
  for (const inspect::Check& check : report.checks) {
    if (check.name == kTag) {
      EXPECT_EQ(check.detail, "the eFuse value has 16 bytes; a v2.1 device holds 20");
    }
    if (check.name == kNextStage) {
      EXPECT_NE(check.detail.find("v1.1 key"), std::string::npos);
    }
  }
}

}  // namespace
