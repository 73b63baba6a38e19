// The renderings: the small formatters against known answers, the exact text layout of a
// report, and JSON that Python's own parser accepts for every kind of file and for file names
// holding quotes, backslashes, control characters and bytes that are not UTF-8.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "inspect/describe.h"
#include "tests/cli/child_process.h"
#include "tests/inspect/made_files.h"

namespace {

namespace fs = std::filesystem;
using inspect::detail::bit_length;
using inspect::detail::utc_date;
using inspect::detail::zero_padded_text;
using Bytes = std::vector<std::uint8_t>;

TEST(Formatters, KnownAnswers) {
  EXPECT_EQ(utc_date(0), "1970-01-01 00:00:00 UTC");
  EXPECT_EQ(utc_date(951782400), "2000-02-29 00:00:00 UTC");  // a leap day
  EXPECT_EQ(utc_date(1796715315), "2026-12-08 07:35:15 UTC");
  EXPECT_EQ(utc_date(0xFFFFFFFFu), "2106-02-07 06:28:15 UTC");  // the field's last second

  EXPECT_EQ(bit_length(Bytes{}), 0u);
  EXPECT_EQ(bit_length(Bytes{0, 0}), 0u);
  EXPECT_EQ(bit_length(Bytes{1}), 1u);
  EXPECT_EQ(bit_length(Bytes{0xFF, 0x00}), 8u);
  EXPECT_EQ(bit_length(Bytes{0x00, 0x80}), 16u);  // least significant byte first

  EXPECT_EQ(zero_padded_text(Bytes{'a', 'b', 0, 0}), "ab");
  EXPECT_EQ(zero_padded_text(Bytes{0, 0}), "");
  EXPECT_EQ(zero_padded_text(Bytes{'a', 0, 'b'}), std::nullopt);  // text after the end
  EXPECT_EQ(zero_padded_text(Bytes{'a', 0x07}), std::nullopt);    // not printable
  EXPECT_EQ(inspect::detail::hex(Bytes{0x00, 0xAB, 0x0F}), "00ab0f");
}

TEST(TextReport, LayoutIsStable) {
  inspect::Report report;
  report.file = "x.bin";
  report.size = 1100;
  report.kind = inspect::Kind::kSecuredBl1V21;
  report.sections.push_back(inspect::detail::SectionBuilder("code", 0, 76)
                                .number("length", 0, 76, 76)
                                .text("state", 0, 76, "in clear")
                                .done());
  report.checks.push_back({"context signature", false, "does not verify"});
  EXPECT_EQ(inspect::render_text(report),
            "x.bin: secured BL1 image, v2.1, 1100 bytes\n"
            "  code @0, 76 bytes\n"
            "    @0       length                    76\n"
            "    @0       state                     in clear\n"
            "  check context signature                 FAIL  does not verify\n");
  // Text from outside cannot fake a line or send an escape sequence, in a name or in a value.
  report.file = "a\nb\x1b[8m";
  report.note =
      "\xc2\x9b"
      "2J";
  std::get<std::string>(report.sections[0].fields[1].value) = "in clear\n  check x PASS";
  const std::string text = inspect::render_text(report);
  EXPECT_EQ(text.substr(0, 14), "a\\x0ab\\x1b[8m:");
  EXPECT_NE(text.find("\n  \\xc2\\x9b2J\n"), std::string::npos) << text;
  EXPECT_NE(text.find("in clear\\x0a  check x PASS\n"), std::string::npos) << text;
}

class JsonOutput : public ::testing::Test {
 protected:
  // Runs Python on a script with the arguments; its exit status.
  static Captured python(const std::vector<std::string>& args) {
    return run_program(QIV_PYTHON, args, fs::current_path());
  }
  inspect_test::MadeFiles files_;
};

TEST_F(JsonOutput, EveryReportIsValidJsonAndNamesSurviveTheRoundTrip) {
  if (std::string(QIV_PYTHON).empty()) GTEST_SKIP() << "no Python interpreter";
  const std::string odd =
      std::string("we\"ird\\name\n\x01") + "\xC3\xA9" + "\xFF" + "\xC2\x9B" + "\x7F.bin";
  fs::copy_file(files_ / "s21p.bin", files_ / odd);
  fs::create_directory(files_ / "folder");

  inspect::DeviceInputs device;
  ASSERT_TRUE(device.set_efuse(read_bytes(files_ / "eFuseData_V21.dat")));
  ASSERT_TRUE(device.set_key(read_bytes(files_ / "alice_V21.spk")));
  std::string lines;
  for (const auto& entry : fs::directory_iterator(files_.folder())) {
    lines += inspect::render_json(inspect::inspect_file(entry.path().string(), device));
  }
  lines += inspect::render_json(inspect::inspect_file((files_ / "missing").string(), device));
  const fs::path all = files_ / "all.jsonl";
  std::ofstream(all, std::ios::binary) << lines;
  const Captured tool = python({"-m", "json.tool", "--json-lines", all.string()});
  EXPECT_EQ(tool.status, 0) << tool.errors;

  // One object alone is a JSON document; the name decodes to what it was, the byte that is not
  // UTF-8 replaced.
  const fs::path one = files_ / "one.json";
  std::ofstream(one, std::ios::binary)
      << inspect::render_json(inspect::inspect_file((files_ / odd).string(), device));
  EXPECT_EQ(python({"-m", "json.tool", one.string()}).status, 0);
  // Every control character escaped, C1 (here CSI) and DEL too: none reaches a terminal as is.
  const std::string json =
      inspect::render_json(inspect::inspect_file((files_ / odd).string(), device));
  EXPECT_NE(json.find("\\u0001"
                      "\xC3\xA9"
                      "\\ufffd\\u009b\\u007f.bin"),
            std::string::npos)
      << json;
  const Captured name = python(
      {"-c",
       "import json,sys; r=json.load(open(sys.argv[1])); "
       "print(ascii(r['file'].split('/')[-1]), r['kind'], [c['result'] for c in r['checks']])",
       one.string()});
  EXPECT_EQ(name.output,
            "'we\"ird\\\\name\\n\\x01\\xe9\\ufffd\\x9b\\x7f.bin' secured-bl1-v21-build-info "
            "['PASS', 'PASS', 'PASS', 'PASS']\n");
}

}  // namespace
