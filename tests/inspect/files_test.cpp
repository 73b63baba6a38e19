// Every kind of file the tool chain writes, made by Tarnwick_V21 itself, is recognised, and
// its fields say what the commands wrote: key sizes and exponents, the same key fingerprints in
// a key file and in the context that embeds it, the build-information block's time, and the
// plain code behind a v2.1 image's encryption.
#include <gtest/gtest.h>
#include <openssl/sha.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "cli/key_files.h"
#include "tests/inspect/made_files.h"

namespace {

using inspect::Kind;
using inspect_test::MadeFiles;
namespace fs = std::filesystem;
using inspect_test::number_of;
using inspect_test::text_of;

// The fingerprint, computed with OpenSSL rather than our SHA-1.
std::string reference_fingerprint(const std::vector<std::uint8_t>& keyPart) {
  std::uint8_t digest[SHA_DIGEST_LENGTH];
  SHA1(keyPart.data(), keyPart.size(), digest);
  static const char* kHex = "0123456789abcdef";
  std::string out;
  for (std::size_t i = 0; i < inspect::kFingerprintSize; ++i) {
    out += kHex[digest[i] >> 4];
    out += kHex[digest[i] & 15];
  }
  return out;
}

std::vector<std::uint8_t> slice(const std::vector<std::uint8_t>& bytes, std::size_t at,
                                std::size_t n) {
  return {bytes.begin() + static_cast<std::ptrdiff_t>(at),
          bytes.begin() + static_cast<std::ptrdiff_t>(at + n)};
}

class MadeFilesTest : public ::testing::Test {
 protected:
  MadeFiles files_;
};

TEST_F(MadeFilesTest, EveryKindIsRecognised) {
  struct Row {
    const char* file;
    const char* key;  // --key, or empty
    Kind kind;
  };
  const Row rows[] = {
      {"eFuseData_V21.dat", "", Kind::kEFuseV21},
      {"eFuseData.dat", "", Kind::kEFuseV11},
      {"publicKeyInfo_V21.dat", "", Kind::kSignedPublicKeyFileV21},
      {"alice_V21.spk", "", Kind::kSignedPublicKeyFileV21},
      {"publicKeyInfo.dat", "", Kind::kMakerPublicKeyFileV11},
      {"alice.spk", "", Kind::kPublicKeyRecordV11},
      {"privateKey_V21.dat", "", Kind::kProtectedPrivateKeyV21},
      {"alice_V21.prv", "", Kind::kProtectedPrivateKeyV21},
      {"privateKey.dat", "", Kind::kProtectedPrivateKeyV11},
      {"alice.prv", "", Kind::kProtectedPrivateRecordV11},
      {"s21.bin", "", Kind::kSecuredBl1V21},
      {"s21p.bin", "", Kind::kSecuredBl1V21BuildInfo},
      {"s11.bin", "", Kind::kSecuredBl1V11},
      {"b21.bin", "alice_V21.spk", Kind::kSignedBl2V21},
      {"b11.bin", "alice.spk", Kind::kSignedBl2V11},
      // No marker and no key: a signed BL2 is just bytes, like a plain loader.
      {"b21.bin", "", Kind::kUnknown},
      {"BL1.bin", "", Kind::kUnknown},
  };
  for (const Row& row : rows) {
    const std::string key = row.key;
    const inspect::Report report =
        inspect_test::inspect_with(files_ / row.file, {}, key.empty() ? fs::path{} : files_ / key);
    EXPECT_EQ(report.kind, row.kind) << row.file << " is " << inspect::kind_id(report.kind);
    EXPECT_EQ(report.size, fs::file_size(files_ / row.file)) << row.file;
    // Whatever the kind, every field lies inside its section and its section inside the file.
    for (const inspect::Section& s : report.sections) {
      EXPECT_LE(s.offset + s.size, report.size) << row.file << ": " << s.name;
      for (const inspect::Field& f : s.fields) {
        EXPECT_GE(f.offset, s.offset) << row.file << ": " << f.name;
        EXPECT_LE(f.offset + f.size, s.offset + s.size) << row.file << ": " << f.name;
      }
    }
  }
}

TEST_F(MadeFilesTest, KeyFieldsAreThoseOfTheKeysTheCommandsMake) {
  const auto v21 = inspect_test::inspect_with(files_ / "publicKeyInfo_V21.dat");
  const std::string record = "public key information record";
  EXPECT_EQ(number_of(v21, record, "modulus length"), 256u);
  EXPECT_EQ(text_of(v21, record, "modulus"), "2048 bits");
  EXPECT_EQ(number_of(v21, record, "exponent length"), 4u);
  EXPECT_EQ(number_of(v21, record, "exponent"), 3u);
  EXPECT_EQ(number_of(v21, "self-signature", "signature length"), 256u);
  EXPECT_EQ(text_of(v21, "self-signature", "signature"), "verifies with the file's own key");

  const auto v11 = inspect_test::inspect_with(files_ / "publicKeyInfo.dat");
  EXPECT_EQ(text_of(v11, record, "modulus"), "1024 bits");
  EXPECT_EQ(number_of(v11, record, "exponent"), 65537u);
  EXPECT_EQ(text_of(v11, "self-signature", "signature"), "verifies with the file's own key");

  const auto spk = inspect_test::inspect_with(files_ / "alice.spk");
  EXPECT_EQ(text_of(spk, "header", "header text"), "\"1.0, Pub, RSA-1024\"");
  EXPECT_EQ(number_of(spk, "header", "key data length"), 140u);
  EXPECT_EQ(number_of(spk, "key data", "modulus length"), 128u);
  EXPECT_EQ(number_of(spk, "key data", "exponent"), 65537u);
  EXPECT_EQ(text_of(spk, "self-signature", "signature"), "verifies with the file's own key");

  // The eFuse value is never printed, in any form that gives its bytes.
  const auto eFuse = read_bytes(files_ / "eFuseData_V21.dat");
  const auto eFuseReport = inspect_test::inspect_with(files_ / "eFuseData_V21.dat");
  const std::string text = inspect::render_text(eFuseReport) + inspect::render_json(eFuseReport);
  char firstBytes[9];
  std::snprintf(firstBytes, sizeof firstBytes, "%02x%02x%02x%02x", eFuse[0], eFuse[1], eFuse[2],
                eFuse[3]);
  EXPECT_EQ(text.find(firstBytes), std::string::npos);
}

TEST_F(MadeFilesTest, FingerprintsAgreeBetweenKeyFilesAndTheContextsThatEmbedThem) {
  using F = SignedPublicKeyFileV21;
  using R = PublicKeyRecordV11;
  const std::string nextStage = "next-stage key";
  const std::string record = "public key information record";

  const auto maker21 = read_bytes(files_ / "publicKeyInfo_V21.dat");
  const auto alice21 = read_bytes(files_ / "alice_V21.spk");
  const auto s21 = inspect_test::inspect_with(files_ / "s21.bin");
  const auto s21p = inspect_test::inspect_with(files_ / "s21p.bin");
  const std::string makerPrint21 = reference_fingerprint(slice(maker21, 0, F::kKeyPartSize));
  const std::string alicePrint21 = reference_fingerprint(slice(alice21, 0, F::kKeyPartSize));
  EXPECT_EQ(text_of(inspect_test::inspect_with(files_ / "publicKeyInfo_V21.dat"), record,
                    "key fingerprint"),
            makerPrint21);
  for (const auto* image : {&s21, &s21p}) {
    EXPECT_EQ(text_of(*image, record, "key fingerprint"), makerPrint21);
    EXPECT_EQ(text_of(*image, nextStage, "key fingerprint"), alicePrint21);
    EXPECT_EQ(text_of(*image, record, "integrity tag"),
              text_of(inspect_test::inspect_with(files_ / "publicKeyInfo_V21.dat"), record,
                      "integrity tag"));
  }
  const auto b21 = inspect_test::inspect_with(files_ / "b21.bin", {}, files_ / "alice_V21.spk");
  EXPECT_EQ(text_of(b21, "signature", "key fingerprint (--key)"), alicePrint21);

  // v1.1: the context embeds the record's modulus followed by its exponent.
  const auto maker11 = read_bytes(files_ / "publicKeyInfo.dat");
  const auto alice11 = read_bytes(files_ / "alice.spk");
  auto aliceKey11 = slice(alice11, R::kModulus, R::kModulusSize);
  const auto exponent = slice(alice11, R::kExponent, R::kExponentSize);
  aliceKey11.insert(aliceKey11.end(), exponent.begin(), exponent.end());
  const auto s11 = inspect_test::inspect_with(files_ / "s11.bin");
  EXPECT_EQ(text_of(s11, record, "key fingerprint"),
            reference_fingerprint(slice(maker11, 0, sbl::PublicKeyInfoV11::kKeyPartSize)));
  EXPECT_EQ(text_of(s11, nextStage, "key fingerprint"), reference_fingerprint(aliceKey11));
  EXPECT_EQ(
      text_of(inspect_test::inspect_with(files_ / "alice.spk"), "key data", "key fingerprint"),
      reference_fingerprint(aliceKey11));
  // Another customer's key has another fingerprint.
  EXPECT_NE(text_of(inspect_test::inspect_with(files_ / "bob_V21.spk"), record, "key fingerprint"),
            alicePrint21);
}

TEST_F(MadeFilesTest, ImagePartsAreWhereTheCommandsPutThem) {
  const auto s21 = inspect_test::inspect_with(files_ / "s21.bin");
  EXPECT_EQ(number_of(s21, "code", "length"), inspect_test::kCodeLength);
  EXPECT_EQ(text_of(s21, "code", "state"), "encrypted (AES-128-CBC, 256 blocks)");
  EXPECT_EQ(inspect_test::field_of(s21, "next-stage key", "modulus length").offset,
            inspect_test::kCodeLength);
  EXPECT_EQ(number_of(s21, "signature", "signature length"), 256u);
  EXPECT_EQ(text_of(s21, "context trailer", "context tag"), "SB20_CONTEXT");
  EXPECT_EQ(text_of(s21, "context trailer", "filler"), "intact (64 bytes 0xAA)");
  EXPECT_EQ(text_of(s21, "context trailer", "service table"),
            "slots 0..23 hold their slot numbers");
  EXPECT_EQ(text_of(s21, "context trailer", "reserved"), "zero");

  const auto s11 = inspect_test::inspect_with(files_ / "s11.bin");
  EXPECT_EQ(text_of(s11, "code", "state"), "in clear");
  EXPECT_EQ(text_of(s11, "context trailer", "context tag"), "SB10_CONTEXT");
  EXPECT_EQ(text_of(s11, "context trailer", "filler"), "intact (20 bytes 0xAA)");

  const auto b11 = inspect_test::inspect_with(files_ / "b11.bin", {}, files_ / "alice.spk");
  EXPECT_EQ(number_of(b11, "image", "length"), inspect_test::kBl2Length);
  EXPECT_EQ(inspect_test::field_of(b11, "signature", "signature").size, 128u);
}

TEST_F(MadeFilesTest, BuildInformationBlockShowsWhenTheImageWasMade) {
  const auto report = inspect_test::inspect_with(files_ / "s21p.bin");
  EXPECT_EQ(number_of(report, "code", "length"), inspect_test::kCodeLength);
  const inspect::Field& time =
      inspect_test::field_of(report, "build-information block", "creation time");
  EXPECT_EQ(time.offset, inspect_test::kCodeLength + 4);
  const std::string value = std::get<std::string>(time.value);
  const auto open = value.find('(');
  ASSERT_NE(open, std::string::npos) << value;
  const auto seconds = static_cast<std::time_t>(std::stoull(value.substr(open + 1)));
  EXPECT_GE(seconds, files_.before());
  EXPECT_LE(seconds, files_.after());
  char expected[40];
  std::tm tm{};
  ASSERT_NE(gmtime_r(&seconds, &tm), nullptr);
  std::strftime(expected, sizeof expected, "%Y-%m-%d %H:%M:%S UTC", &tm);
  EXPECT_EQ(value.substr(0, open - 1), expected);
  EXPECT_EQ(text_of(report, "build-information block", "text"), "Orvalle Tessik Stage2Key");
}

}  // namespace
