// The built sbinspect against input made bad in every way: no file, a folder, a named pipe, an
// empty, one-byte, random or huge (sparse, past 4 GiB) file; every kind of file one byte short,
// one byte long and cut to its first byte; and every length field of every kind at 0, at
// 0xFFFFFFFF and one past its room. Each run must end by itself (no signal, no hang) with the
// expected status, and answer with one report per file.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <string>
#include <vector>

#include "format/format.h"
#include "sbl/layout.h"
#include "tests/inspect/made_files.h"

namespace {

namespace fs = std::filesystem;
using C21 = sbl::ContextV21;
using P21 = sbl::PublicKeyInfoV21;
using R11 = PublicKeyRecordV11;

Captured sbinspect(const std::vector<std::string>& args, const fs::path& folder) {
  return run_program(QIV_SBINSPECT_PROGRAM, args, folder);
}

// The kind of the first report in --json output.
std::string kind_in(const std::string& json) {
  const std::string key = "\"kind\":\"";
  const auto at = json.find(key);
  if (at == std::string::npos) return "(none)";
  return json.substr(at + key.size(), json.find('"', at + key.size()) - at - key.size());
}

class BadInput : public ::testing::Test {
 protected:
  inspect_test::MadeFiles files_;
};

TEST_F(BadInput, ThingsThatAreNotFilesOfTheChain) {
  const fs::path& d = files_.folder();
  ASSERT_EQ(::mkfifo((d / "pipe").c_str(), 0600), 0);
  write_bytes(d / "empty", {});
  write_bytes(d / "one", {0x5A});
  write_bytes(d / "random", pattern_bytes(5000, 9));
  { std::ofstream(d / "huge").put('x'); }
  fs::resize_file(d / "huge", 0x100000010);  // sparse; 16 when cut to 32 bits
  fs::create_directory(d / "folder");
  // Buffers from 2 MiB on come from the kernel and must go back to it, smaller ones to the heap:
  // a file of each size around the line is read and released one way or the other.
  constexpr std::size_t kLine = std::size_t{2} << 20;
  write_bytes(d / "2MiB-1", pattern_bytes(kLine - 1, 4));
  write_bytes(d / "2MiB", pattern_bytes(kLine, 5));
  write_bytes(d / "2MiB+1", pattern_bytes(kLine + 1, 6));
  struct Row {
    const char* file;
    int status;
    const char* kind;
  };
  const Row rows[] = {
      {"missing", 2, "unreadable"}, {"folder", 2, "unreadable"}, {"pipe", 2, "unreadable"},
      {"huge", 2, "too-large"},     {"empty", 0, "unknown"},     {"one", 0, "unknown"},
      {"random", 0, "unknown"},     {"2MiB-1", 0, "unknown"},    {"2MiB", 0, "unknown"},
      {"2MiB+1", 0, "unknown"},
  };
  for (const Row& row : rows) {
    const Captured run = sbinspect({"--json", row.file}, d);
    EXPECT_EQ(run.status, row.status) << row.file << "\n" << run.output;
    EXPECT_EQ(kind_in(run.output), row.kind) << row.file;
    const Captured text = sbinspect({row.file}, d);
    EXPECT_EQ(text.status, row.status) << row.file;
    EXPECT_EQ(text.output.rfind(std::string(row.file) + ": ", 0), 0u) << text.output;
  }
  // The same things as device inputs are usage errors; nothing is inspected.
  for (const char* input : {"missing", "folder", "pipe", "huge", "empty", "random"}) {
    for (const char* option : {"--efuse", "--key"}) {
      const Captured run = sbinspect({option, input, "s21.bin"}, d);
      EXPECT_EQ(run.status, 2) << option << " " << input;
      EXPECT_EQ(run.output.find("s21.bin:"), std::string::npos) << run.output;
    }
  }
}

TEST_F(BadInput, EveryKindShortLongAndCutToOneByte) {
  struct Row {
    const char* file;
    const char* kind;
    const char* eFuse;
    const char* key;
  };
  const Row rows[] = {
      {"eFuseData_V21.dat", "efuse-v21", "eFuseData_V21.dat", "alice_V21.spk"},
      {"eFuseData.dat", "efuse-v11", "eFuseData.dat", "alice.spk"},
      {"publicKeyInfo_V21.dat", "public-key-file-v21", "eFuseData_V21.dat", "alice_V21.spk"},
      {"publicKeyInfo.dat", "maker-public-key-file-v11", "eFuseData.dat", "alice.spk"},
      {"alice.spk", "public-key-record-v11", "eFuseData.dat", "alice.spk"},
      {"privateKey_V21.dat", "protected-private-key-v21", "eFuseData_V21.dat", "alice_V21.spk"},
      {"privateKey.dat", "protected-private-key-v11", "eFuseData.dat", "alice.spk"},
      {"alice.prv", "protected-private-key-record-v11", "eFuseData.dat", "alice.spk"},
      {"s21.bin", "secured-bl1-v21", "eFuseData_V21.dat", "alice_V21.spk"},
      {"s21p.bin", "secured-bl1-v21-build-info", "eFuseData_V21.dat", "alice_V21.spk"},
      {"s11.bin", "secured-bl1-v11", "eFuseData.dat", "alice.spk"},
      {"b21.bin", "signed-bl2-v21", "eFuseData_V21.dat", "alice_V21.spk"},
      {"b11.bin", "signed-bl2-v11", "eFuseData.dat", "alice.spk"},
  };
  const fs::path& d = files_.folder();
  for (const Row& row : rows) {
    const auto whole = read_bytes(d / row.file);
    const std::vector<std::pair<std::string, std::vector<std::uint8_t>>> variants = {
        {"short", {whole.begin(), whole.end() - 1}},
        {"long",
         [&] {
           auto more = whole;
           more.push_back(0);
           return more;
         }()},
        {"first byte", {whole.begin(), whole.begin() + 1}},
    };
    const Captured original =
        sbinspect({"--json", "--efuse", row.eFuse, "--key", row.key, row.file}, d);
    EXPECT_EQ(kind_in(original.output), row.kind) << row.file;
    for (const auto& [how, bytes] : variants) {
      SCOPED_TRACE(std::string(row.file) + " " + how);
      write_bytes(d / "variant", bytes);
      const Captured run =
          sbinspect({"--json", "--efuse", row.eFuse, "--key", row.key, "variant"}, d);
      const std::string kind = kind_in(run.output);
      // With --key, bytes long enough for a signature are taken as a signed BL2 that fails.
      const bool takenAsBl2 = kind.rfind("signed-bl2", 0) == 0;
      EXPECT_TRUE(kind != row.kind || takenAsBl2) << kind;
      EXPECT_EQ(run.status, takenAsBl2 ? 1 : 0) << run.output;
      EXPECT_EQ(sbinspect({"--json", "variant"}, d).status, 0);
    }
  }
}

struct LengthRow {
  const char* what;
  const char* file;
  std::size_t offset;  // of a u32 length field
  std::uint32_t room;  // the value the field should hold; room + 1 is one past it
  const char* kind;    // what the file is then taken for
  int status;          // with the set's eFuse value and customer key
  std::vector<std::string> outputHas;
  int bareStatus = -1;  // without the eFuse value, when it is not `status`
};

std::vector<LengthRow> length_rows() {
  const std::size_t c = inspect_test::kCodeLength;
  return {
      // A v2.1 public key file is known by its key's length fields: broken, it is no longer one.
      {"v2.1 key file modulus length",
       "publicKeyInfo_V21.dat",
       P21::kModulusLength,
       P21::kModulusSize,
       "unknown",
       0,
       {}},
      {"v2.1 key file exponent length",
       "publicKeyInfo_V21.dat",
       P21::kExponentLength,
       P21::kExponentSize,
       "unknown",
       0,
       {}},
      // Its signature length only delimits the self-signature, which is then not checked.
      {"v2.1 key file signature length",
       "publicKeyInfo_V21.dat",
       SignedPublicKeyFileV21::kSignatureLength,
       SignedPublicKeyFileV21::kSignatureSize,
       "public-key-file-v21",
       0,
       {"not checked"}},
      // A v1.1 record is known by its header; its lengths are shown and never used to index.
      {"v1.1 record key data length",
       "alice.spk",
       R11::kKeyDataLength,
       R11::kKeyDataSize,
       "public-key-record-v11",
       0,
       {"not checked"}},
      {"v1.1 record modulus length",
       "alice.spk",
       R11::kModulusLength,
       R11::kModulusSize,
       "public-key-record-v11",
       0,
       {"not checked", "none: modulus or exponent length"}},
      {"v1.1 record exponent length",
       "alice.spk",
       R11::kExponentLength,
       R11::kExponentSize,
       "public-key-record-v11",
       0,
       {"not checked", "none: modulus or exponent length"}},
      {"v1.1 record signature length",
       "alice.spk",
       R11::kSignatureLength,
       R11::kSignatureSize,
       "public-key-record-v11",
       0,
       {"not checked"}},
      // A secured image is known by its context tag; a device refuses a wrong signature length
      // and the inspector says so.
      {"v2.1 context signature length",
       "s21.bin",
       c + C21::kSignatureLength,
       C21::kSignatureSize,
       "secured-bl1-v21",
       1,
       {"signature length field holds"}},
      {"v2.1 next-stage key modulus length",
       "s21.bin",
       c + C21::kNextStageKey,
       P21::kModulusSize,
       "secured-bl1-v21",
       1,
       {}},
      {"v2.1 record modulus length",
       "s21.bin",
       c + C21::kPublicKeyInfo + P21::kModulusLength,
       P21::kModulusSize,
       "secured-bl1-v21",
       1,
       {},
       0},  // only the record's tag reads it
      {"v2.1 record exponent length",
       "s21.bin",
       c + C21::kPublicKeyInfo + P21::kExponentLength,
       P21::kExponentSize,
       "secured-bl1-v21",
       1,
       {},
       0},  // only the record's tag reads it
  };
}

TEST_F(BadInput, LengthFieldsAtZeroAtAllOnesAndOnePastTheirRoom) {
  const fs::path& d = files_.folder();
  for (const LengthRow& row : length_rows()) {
    const bool v11 = std::string(row.file) == "alice.spk";
    const auto whole = read_bytes(d / row.file);
    ASSERT_EQ(e2e::le32(whole, row.offset), row.room) << row.what;
    for (const std::uint32_t value : {0u, 0xFFFFFFFFu, row.room + 1}) {
      SCOPED_TRACE(std::string(row.what) + " = " + std::to_string(value));
      auto bytes = whole;
      e2e::put_le32(bytes, row.offset, value);
      write_bytes(d / "bad", bytes);
      const Captured json =
          sbinspect({"--json", "--efuse", v11 ? "eFuseData.dat" : "eFuseData_V21.dat", "bad"}, d);
      EXPECT_EQ(kind_in(json.output), row.kind);
      EXPECT_EQ(json.status, row.status) << json.output;
      // Without the eFuse value the checks that need none still decide the status.
      const Captured text = sbinspect({"bad"}, d);
      EXPECT_EQ(text.status, row.bareStatus < 0 ? row.status : row.bareStatus) << text.output;
      for (const std::string& part : row.outputHas) {
        EXPECT_NE((json.output + text.output).find(part), std::string::npos) << text.output;
      }
      // As --key, a file whose key lengths are broken is refused before anything is inspected;
      // the lengths that only delimit the self-signature do not matter to a key.
      const bool keyUsable =
          row.offset == SignedPublicKeyFileV21::kSignatureLength ||
          (v11 && (row.offset == R11::kKeyDataLength || row.offset == R11::kSignatureLength));
      if (std::string(row.file) != "s21.bin") {
        const Captured asKey = sbinspect({"--key", "bad", v11 ? "s11.bin" : "s21.bin"}, d);
        EXPECT_EQ(asKey.status == 2, !keyUsable) << asKey.output;
      }
    }
  }
}

}  // namespace
