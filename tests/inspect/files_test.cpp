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

#include "format/format.h"
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

// What the commands write: RSA-2048 with e = 3 and RSA-1024 with e = 65537, the record
// layouts' lengths, self-signatures that verify, the code where it was put (encrypted in the
// v2.1 set), and a context trailer as generation and the program's own check leave it.
TEST_F(MadeFilesTest, FieldsSayWhatTheCommandsWrote) {
  using inspect::Value;
  const auto n = [](std::uint64_t v) { return Value{v}; };
  const auto t = [](const char* v) { return Value{std::string(v)}; };
  const std::string record = "public key information record";
  const std::string trailer = "context trailer";
  const std::string verifies = "verifies with the file's own key";
  struct Row {
    const char* file;
    std::string section, field;
    Value value;
  };
  const Row rows[] = {
      {"publicKeyInfo_V21.dat", record, "modulus length", n(256)},
      {"publicKeyInfo_V21.dat", record, "modulus", t("2048 bits")},
      {"publicKeyInfo_V21.dat", record, "exponent length", n(4)},
      {"publicKeyInfo_V21.dat", record, "exponent", n(3)},
      {"publicKeyInfo_V21.dat", "self-signature", "signature length", n(256)},
      {"alice_V21.spk", "self-signature", "signature", t(verifies.c_str())},
      {"publicKeyInfo.dat", record, "modulus", t("1024 bits")},
      {"publicKeyInfo.dat", record, "exponent", n(65537)},
      {"publicKeyInfo.dat", "self-signature", "signature", t(verifies.c_str())},
      {"alice.spk", "header", "header text", t("\"1.0, Pub, RSA-1024\"")},
      {"alice.spk", "header", "key data length", n(140)},
      {"alice.spk", "key data", "modulus length", n(128)},
      {"alice.spk", "key data", "exponent", n(65537)},
      {"alice.spk", "self-signature", "signature", t(verifies.c_str())},
      {"s21.bin", "code", "length", n(inspect_test::kCodeLength)},
      {"s21.bin", "code", "state", t("encrypted (AES-128-CBC, 256 blocks)")},
      {"s21.bin", "next-stage key", "exponent", n(3)},
      {"s21.bin", "signature", "signature length", n(256)},
      {"s21.bin", trailer, "context tag", t("SB20_CONTEXT")},
      {"s21.bin", trailer, "filler", t("intact (64 bytes 0xAA)")},
      {"s21.bin", trailer, "service table", t("slots 0..23 hold their slot numbers")},
      {"s21.bin", trailer, "reserved", t("zero")},
      {"s11.bin", "code", "state", t("in clear")},
      {"s11.bin", "next-stage key", "exponent", n(65537)},
      {"s11.bin", trailer, "context tag", t("SB10_CONTEXT")},
      {"s11.bin", trailer, "filler", t("intact (20 bytes 0xAA)")},
  };
  for (const Row& row : rows) {
    const auto report = inspect_test::inspect_with(files_ / row.file);
    EXPECT_EQ(inspect_test::field_of(report, row.section, row.field).value, row.value)
        << row.file << ": " << row.field;
  }
  // The next-stage key sits right after the code.
  EXPECT_EQ(inspect_test::field_of(inspect_test::inspect_with(files_ / "s21.bin"), "next-stage key",
                                   "modulus length")
                .offset,
            inspect_test::kCodeLength);
  const auto b11 = inspect_test::inspect_with(files_ / "b11.bin", {}, files_ / "alice.spk");
  EXPECT_EQ(number_of(b11, "image", "length"), inspect_test::kBl2Length);

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

// A key reference is recognised before any size rule (a 20-byte one is no eFuse value), shows
// its URI without a PIN, names its set from the file name, and warns when a PIN was left in it.
TEST(KeyReference, ShowsTheUriWithoutPinAndTheSetItsNameAsksFor) {
  struct Row {
    const char* name;
    std::string text;
    const char* shown;  // empty: not a reference
    const char* setStart;
    bool pinWarning;
  };
  const Row rows[] = {
      {"privateKey_V21.dat", "pkcs11:object=maker;token=t?pin-value=4321&module-path=/m.so\n",
       "pkcs11:object=maker;token=t?module-path=/m.so", "v2.1", true},
      {"alice.prv", "pkcs11:object=abcdefghijkl", "pkcs11:object=abcdefghijkl", "v1.1", false},
      {"key.ref", "pkcs11:id=%01?pin-source=/p\r\n", "pkcs11:id=%01?pin-source=/p",
       "the file name does not say", false},
      {"bad.prv", "pkcs11:object=a b\n", "", "", false},  // a space: not one URI
      {"bad.prv", "pkcs11:object=%zz", "", "", false},    // a broken escape
      {"bad.prv", "pkcs11:object=a\nsecond line", "", "", false},
      // A PIN in the path part: flagged and never shown, as one in the query.
      {"maker.prv", "pkcs11:object=k;pin-value=4321;token=t", "pkcs11:object=k;token=t", "v1.1",
       true},
      // Decoded, this value would print a fake success line and an escape sequence.
      {"k_V21.prv", "pkcs11:type=x%0aStage%202:%20ok.%0a%1b%5b8m",
       "pkcs11:type=x%0aStage%202:%20ok.%0a%1b%5b8m", "v2.1", false},
  };
  for (const Row& row : rows) {
    const std::vector<std::uint8_t> bytes(row.text.begin(), row.text.end());
    const inspect::Report report = inspect::inspect_bytes(row.name, bytes, {});
    if (*row.shown == '\0') {
      EXPECT_NE(report.kind, Kind::kKeyReference) << row.text;
      continue;
    }
    ASSERT_EQ(report.kind, Kind::kKeyReference) << row.text;
    EXPECT_EQ(text_of(report, "key reference", "URI"), row.shown);
    EXPECT_EQ(text_of(report, "key reference", "key set").rfind(row.setStart, 0), 0u) << row.name;
    EXPECT_EQ(report.note.find("PIN") != std::string::npos, row.pinWarning) << row.text;
    const std::string text = inspect::render_text(report);
    EXPECT_EQ(text.find("4321"), std::string::npos) << text;
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 5) << text;  // no line of its own
    EXPECT_EQ(text.find('\x1b'), std::string::npos) << text;
  }
}

}  // namespace
