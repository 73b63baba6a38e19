// Private keys in a real PKCS#11 token (SoftHSM2), through the built program: key pairs made in
// the token, keys moved into it, every image signed there verified by the program and, without
// our code, under the public keys the token itself reports; and each token failure as one line,
// status 255 and an untouched folder.
#include <gtest/gtest.h>

#include <signal.h>
#include <termios.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <functional>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "core/key_protection.h"
#include "crypto/endian.h"
#include "tests/cli/expected_texts.h"
#include "tests/token/soft_token.h"

namespace {

// `text` is `uri` (without pin-value) with ";serial=<16 hex>;id=<16 %XX bytes>" at the end of
// its path, and a line feed.
void expect_reference_text(const std::string& text, const std::string& uri) {
  const std::size_t query = uri.find('?');
  static const std::regex kAdded(";serial=[0-9a-f]{16};id=(%[0-9A-F]{2}){16}");
  const std::string head = uri.substr(0, query);
  const std::string tail = uri.substr(query) + "\n";
  ASSERT_GT(text.size(), head.size() + tail.size()) << text;
  EXPECT_EQ(text.substr(0, head.size()), head);
  EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
  EXPECT_TRUE(std::regex_match(text.substr(head.size(), text.size() - head.size() - tail.size()),
                               kAdded))
      << text;
}

namespace fs = std::filesystem;
using soft_token::Pin;
using soft_token::SoftToken;

const std::string kStored = "Key stored in the token; key reference written.\n";

// One set's names. The customer pair is always "cust".
struct Set {
  std::string selector, banner, generating;
  std::string eFuse, makerPublic, makerPrivate, stage2Input, custPublic, custPrivate;
  token::KeyShape shape;
  bool buildInfo;  // "-P" exists
};

void PrintTo(const Set& set, std::ostream* os) {
  *os << set.selector;
}

const Set kV21{"-v2.1", kBannerV21, kGeneratingV21, "eFuseData_V21.dat", "publicKeyInfo_V21.dat",
               "privateKey_V21.dat", "publicKeyInfo_V21_stage2.dat", "cust_V21.spk",
               "cust_V21.prv", soft_token::kShapeV21, true};
const Set kV11{"-v1.1", kBannerV11, kGeneratingV11, "eFuseData.dat", "publicKeyInfo.dat",
               "privateKey.dat", "stage2_key.spk", "cust.spk", "cust.prv", soft_token::kShapeV11,
               false};

std::string set_name(const ::testing::TestParamInfo<Set>& row) {
  return row.param.shape.setName == "v2.1" ? "V21" : "V11";
}

fs::perms permissions_of(const fs::path& file) {
  return fs::status(file).permissions() & fs::perms::all;
}

class TokenKeys : public ::testing::TestWithParam<Set> {
 protected:
  // Runs the program in `folder` and expects status 0 and `result` after the banner.
  void expect_runs(const fs::path& folder, const std::vector<std::string>& args,
                   const std::string& result) {
    const Captured r = run_tarnwick(folder, args);
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(r.output, GetParam().banner + result) << ::testing::PrintToString(args);
  }

  // A reference file: the URI without pin-value, with the token's serial and the key's random
  // id added to its path, and a line feed; owner-only.
  static void expect_reference(const fs::path& file, const std::string& uri) {
    expect_reference_text(soft_token::read_text(file), uri);
    EXPECT_EQ(permissions_of(file), fs::perms::owner_read | fs::perms::owner_write) << file;
  }

  // In a folder holding the maker's three files and the customer's pair (keys or references):
  // secures BL1 ("-STAGE1", and "-P" for v2.1), signs BL2 ("-STAGE2"), and verifies every image
  // with the program as a device would, against the folder's eFuse value and public keys.
  void sign_and_verify(const fs::path& folder) {
    const Set& set = GetParam();
    fs::copy_file(folder / set.custPublic, folder / set.stage2Input);
    write_bytes(folder / "BL1.bin", pattern_bytes(16 * 40, 1));
    write_bytes(folder / "BL2.bin", pattern_bytes(1001, 2));
    std::vector<std::string> images = {"s1.bin"};
    expect_runs(folder, {set.selector, "BL1.bin", "s1.bin", "-STAGE1"}, kStage1Generated);
    if (set.buildInfo) {
      images.push_back("p1.bin");
      expect_runs(folder, {set.selector, "BL1.bin", "p1.bin", "unused", "-P"}, kStage1Generated);
    }
    for (const std::string& image : images)
      expect_runs(folder, {set.selector, image, set.eFuse, "-VERIFY"}, kStage1Verified);
    expect_runs(folder, {set.selector, "BL2.bin", "s2.bin", set.custPrivate, "-STAGE2"},
                kStage2Generated);
    expect_runs(folder, {set.selector, "s2.bin", set.custPublic, "-STAGE2_VERIFY"},
                kStage2Verified);
  }

  SoftToken token_;
  TempDir work_;
};

// Key pairs made in the token, then the whole chain signed there with the references alone.
// The independent check takes the public keys from the token.
TEST_P(TokenKeys, KeyPairsMadeInTheTokenSignImagesThatVerifyUnderTheTokensKeys) {
  const Set& set = GetParam();
  const fs::path& work = work_.path();
  expect_runs(work, {set.selector, token_.uri("maker"), "-KEYGEN"}, set.generating);
  expect_runs(work, {set.selector, "cust", token_.uri("cust"), "-STAGE2_KEYGEN"}, set.generating);
  expect_reference(work / set.makerPrivate, token_.uri("maker"));
  expect_reference(work / set.custPrivate, token_.uri("cust"));
  EXPECT_EQ(permissions_of(work / set.eFuse), fs::perms::owner_read | fs::perms::owner_write);
  sign_and_verify(work);

  std::vector<std::string> check = {QIV_TOKEN_CHECK, std::string(set.shape.setName),
                                    work.string()};
  for (const char* object : {"maker", "cust"}) {
    const auto key = token_.open_key(object, set.shape);
    ASSERT_NE(key, nullptr);
    check.push_back(soft_token::hex(key->modulus()));
    check.push_back(std::to_string(key->exponent()));
    const auto a = key->key_attributes();
    ASSERT_TRUE(a.has_value());
    EXPECT_TRUE(a->sensitive && !a->extractable && a->alwaysSensitive && a->neverExtractable &&
                a->sign && !a->decrypt)
        << object << ": sensitive " << a->sensitive << ", extractable " << a->extractable
        << ", always sensitive " << a->alwaysSensitive << ", never extractable "
        << a->neverExtractable << ", sign " << a->sign << ", decrypt " << a->decrypt;
  }
  const Captured independent = run_program(QIV_PYTHON, check, work);
  EXPECT_EQ(independent.status, 0) << independent.output << independent.errors;
}

// Keys of files moved into the token: the key files stay byte for byte, the references sign in
// a folder where they replace the key files, and the images verify under the original public
// key files and eFuse value. A label holds one key: a second import under it is refused.
TEST_P(TokenKeys, ImportedKeysSignAsTheirFilesDidAndKeepTheFiles) {
  const Set& set = GetParam();
  const fs::path& work = work_.path();
  expect_runs(work, {set.selector, "-KEYGEN"}, set.generating);
  expect_runs(work, {set.selector, "cust", "-STAGE2_KEYGEN"}, set.generating);
  const auto files = soft_token::snapshot(work);

  expect_runs(work, {set.selector, set.makerPrivate, token_.uri("maker"), "maker.ref",
                     "-TOKEN_IMPORT"}, kStored);
  expect_runs(work, {set.selector, set.custPrivate, token_.uri("cust"), "cust.ref",
                     "-TOKEN_IMPORT"}, kStored);
  expect_reference(work / "maker.ref", token_.uri("maker"));
  expect_reference(work / "cust.ref", token_.uri("cust"));
  for (const char* object : {"maker", "cust"}) {
    const auto key = token_.open_key(object, set.shape);
    ASSERT_NE(key, nullptr);
    const auto a = key->key_attributes();
    ASSERT_TRUE(a.has_value());
    EXPECT_TRUE(a->sensitive && !a->extractable && a->sign && !a->decrypt) << object;
  }
  auto after = soft_token::snapshot(work);
  after.erase("maker.ref");
  after.erase("cust.ref");
  EXPECT_TRUE(after == files) << "a key file changed";

  // Refused before the signing below, which then proves the maker's token key intact.
  const Captured again = run_tarnwick(
      work, {set.selector, set.custPrivate, token_.uri("maker"), "again.ref", "-TOKEN_IMPORT"});
  EXPECT_EQ(again.status, 255);
  EXPECT_EQ(again.output,
            set.banner + "Hardware token: the token holds an object labelled maker already.\n");
  EXPECT_FALSE(fs::exists(work / "again.ref"));

  const fs::path sign = work / "sign";
  fs::create_directory(sign);
  for (const std::string& name : {set.eFuse, set.makerPublic, set.custPublic})
    fs::copy_file(work / name, sign / name);
  fs::copy_file(work / "maker.ref", sign / set.makerPrivate);
  fs::copy_file(work / "cust.ref", sign / set.custPrivate);
  sign_and_verify(sign);
}

INSTANTIATE_TEST_SUITE_P(BothSets, TokenKeys, ::testing::Values(kV21, kV11), set_name);

// ---------------------------------------------------------------------------------------------
// Failures: each prints exactly its line after the banner (a key-pair command's generating line
// comes first, as for any key-pair failure), ends with status 255 and writes nothing. The keys a
// row needs are v1.1 keys (quick to make) named "k1"; SoftHSM2 keeps no PIN retry counter, so
// a locked PIN cannot be produced here.

// A row's run: the arguments, and the URI as the program shows it ("<uri>" in the expected line).
struct Call {
  std::vector<std::string> args;
  std::string uri;
};

// What must hold in the token afterwards, besides the folder being unchanged.
enum class Then {
  kNothing,
  kKeyKept,    // the v1.1 key "k1" the row made still signs: a failure destroys nothing it found
  kLabelFree,  // "k1" can be made: a failure removes what it made
};

struct Failure {
  std::string what;
  std::function<Call(const SoftToken&, const fs::path&)> prepare;  // token, folder, the run
  std::string expected;  // after the banner
  Then then = Then::kNothing;
};

void PrintTo(const Failure& f, std::ostream* os) {
  *os << f.what;
}

const std::string kAbsentModule = "/nonexistent/libnone.so";

// Signs BL2 in the folder with a key reference to `uri`.
Call stage2_with(const fs::path& folder, const std::string& selector, const std::string& uri) {
  soft_token::write_text(folder / "key.prv", uri + "\n");
  write_bytes(folder / "BL2.bin", pattern_bytes(100, 3));
  return {{selector, "BL2.bin", "s2.bin", "key.prv", "-STAGE2"}, uri};
}

// A v1.1 maker key file in the folder, for the import rows.
void make_key_file(const fs::path& folder) {
  const Captured made = run_tarnwick(folder, {"-v1.1", "-KEYGEN"});
  ASSERT_EQ(made.status, 0) << made.output;
}

// The URI with its module named by name instead of by path.
std::string by_module_name(std::string uri, const std::string& name) {
  const std::size_t at = uri.find("module-path=");
  const std::size_t end = uri.find('&', at);
  return uri.replace(at, end - at, "module-name=" + name);
}

const std::string kNotUri = "Hardware token: the key reference is not a PKCS#11 URI.\n";
// The program checks the token's signature against its own digest, not the module's input.
const std::string kSignInputChanged = kStage2GenerationFailed;
const std::string kCannotInstall =
    kGeneratingV21 + "file open error\nfile open error\n" + kKeyPairFailed;

void fifo(const fs::path& path) {
  ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
}

// The URI of "k1" with its PIN from `source`.
std::string with_pin_source(const SoftToken& t, const std::string& source) {
  return t.uri("k1", Pin::kNone) + "&pin-source=" + source;
}

const Failure kFailures[] = {
    {"module not loadable",
     [](const SoftToken& t, const fs::path&) -> Call {
       const std::string uri = t.uri("k1", Pin::kSource, "", kAbsentModule);
       return {{"-v2.1", uri, "-KEYGEN"}, uri};
     },
     kGeneratingV21 + "Hardware token: the PKCS#11 module " + kAbsentModule +
         " cannot be loaded: " + kAbsentModule +
         ": cannot open shared object file: No such file or directory.\n"},
    {"module name not installed",
     [](const SoftToken& t, const fs::path& f) {
       return stage2_with(f, "-v1.1", by_module_name(t.uri("k1"), "nosuch"));
     },
     "Hardware token: no PKCS#11 module named nosuch is installed.\n"},
    {"token not found",
     [](const SoftToken& t, const fs::path&) -> Call {
       // Shown without the pin-value the command line gives.
       return {{"-v1.1", "cust", t.uri("k1", Pin::kValue, ";serial=0"), "-STAGE2_KEYGEN"},
               t.uri("k1", Pin::kNone, ";serial=0")};
     },
     kGeneratingV11 + "Hardware token: no token matches <uri>.\n"},
    {"object not found",
     [](const SoftToken& t, const fs::path& f) {
       t.make_key("k1", soft_token::kShapeV11);
       return stage2_with(f, "-v1.1", t.uri("k2"));
     },
     "Hardware token: no RSA private key in the token matches <uri>.\n", Then::kKeyKept},
    {"wrong PIN",
     [](const SoftToken& t, const fs::path& f) {
       return stage2_with(f, "-v1.1", t.uri("k1", Pin::kWrongSource));
     },
     "Hardware token: the token refused the PIN.\n"},
    {"mechanism not supported",
     [](const SoftToken& t, const fs::path&) -> Call {
       t.offer_pss(false);
       const std::string uri = t.uri("k1");
       return {{"-v1.1", uri, "-KEYGEN"}, uri};
     },
     kGeneratingV11 + "Hardware token: the token does not offer RSASSA-PSS signing with SHA-1.\n",
     Then::kLabelFree},
    {"v1.1 token key used by a v2.1 command",
     [](const SoftToken& t, const fs::path& f) {
       t.make_key("k1", soft_token::kShapeV11);
       return stage2_with(f, "-v2.1", t.uri("k1"));
     },
     "Hardware token: the token key is not a v2.1 key (2048 bits, exponent 3).\n", Then::kKeyKept},
    {"no PIN and no terminal",
     [](const SoftToken& t, const fs::path&) -> Call {
       const std::string uri = t.uri("k1", Pin::kNone);
       return {{"-v1.1", uri, "-KEYGEN"}, uri};
     },
     kGeneratingV11 + "Hardware token: no PIN: give pin-source or pin-value in the key "
                      "reference, or run on a terminal.\n"},
    {"label taken",
     [](const SoftToken& t, const fs::path&) -> Call {
       t.make_key("k1", soft_token::kShapeV11);
       const std::string uri = t.uri("k1");
       return {{"-v2.1", "cust", uri, "-STAGE2_KEYGEN"}, uri};
     },
     kGeneratingV21 + "Hardware token: the token holds an object labelled k1 already.\n",
     Then::kKeyKept},
    {"reference file present",
     [](const SoftToken& t, const fs::path& f) -> Call {
       make_key_file(f);
       soft_token::write_text(f / "key.ref", "taken\n");
       const std::string uri = t.uri("k1");
       return {{"-v1.1", "privateKey.dat", uri, "key.ref", "-TOKEN_IMPORT"}, uri};
     },
     key_file_exists_text("key.ref")},
    {"unknown URI attribute",
     [](const SoftToken& t, const fs::path& f) -> Call {
       make_key_file(f);
       const std::string uri = t.uri("k1", Pin::kSource, ";colour=red");
       return {{"-v1.1", "privateKey.dat", uri, "key.ref", "-TOKEN_IMPORT"}, uri};
     },
     "Hardware token: the key reference has the unknown attribute colour.\n"},
    {"unknown query attribute",
     [](const SoftToken& t, const fs::path& f) {
       std::string uri = t.uri("k1");
       return stage2_with(f, "-v1.1", uri.replace(uri.find("module-path"), 6, "modul"));
     },
     "Hardware token: the key reference has the unknown attribute modul-path.\n"},
    {"attribute given twice",
     [](const SoftToken& t, const fs::path& f) {
       return stage2_with(f, "-v1.1", t.uri("k1", Pin::kSource, ";token=signing"));
     },
     kNotUri},
    {"pin-value with pin-source",
     [](const SoftToken& t, const fs::path& f) {
       return stage2_with(f, "-v1.1", t.uri("k1") + "&pin-value=1234");
     },
     kNotUri},
    {"decoded NUL in module-path",
     [](const SoftToken& t, const fs::path& f) {
       return stage2_with(f, "-v1.1",
                          t.uri("k1", Pin::kSource, "", soft_token::module_path() + "%00/x.so"));
     },
     kNotUri},
    {"relative module-path",
     [](const SoftToken& t, const fs::path& f) {
       return stage2_with(f, "-v1.1", t.uri("k1", Pin::kSource, "", "libsofthsm2.so"));
     },
     "Hardware token: the module-path libsofthsm2.so is not an absolute path.\n"},
    {"module-path a named pipe",
     [](const SoftToken& t, const fs::path& f) {
       fifo(f / "fifo");
       return stage2_with(f, "-v1.1", t.uri("k1", Pin::kSource, "", (f / "fifo").string()));
     },
     "Hardware token: the module-path <dir>/fifo is not a regular file.\n"},
    {"empty PIN file",
     [](const SoftToken& t, const fs::path& f) {
       soft_token::write_text(f / "pin", "\n");
       fs::permissions(f / "pin", fs::perms::owner_read | fs::perms::owner_write);
       return stage2_with(f, "-v1.1", with_pin_source(t, (f / "pin").string()));
     },
     "Hardware token: the PIN in <dir>/pin is empty.\n"},
    {"PIN source a named pipe without writer",
     [](const SoftToken& t, const fs::path& f) {
       fifo(f / "fifo");
       return stage2_with(f, "-v1.1", with_pin_source(t, (f / "fifo").string()));
     },
     "Hardware token: the PIN source <dir>/fifo is not a regular file.\n"},
    {"PIN source a device",
     [](const SoftToken& t, const fs::path& f) {
       return stage2_with(f, "-v1.1", with_pin_source(t, "/dev/zero"));
     },
     "Hardware token: the PIN source /dev/zero is not a regular file.\n"},
    {"PIN source on another host",
     [](const SoftToken& t, const fs::path& f) {
       return stage2_with(f, "-v1.1", with_pin_source(t, "file://elsewhere/pin"));
     },
     "Hardware token: the PIN source file://elsewhere/pin is not a local file.\n"},
    {"PIN longer than 255 bytes",
     [](const SoftToken& t, const fs::path& f) {
       return stage2_with(f, "-v1.1", t.uri("k1", Pin::kNone) + "&pin-value=" + std::string(256, '1'));
     },
     "Hardware token: the PIN in pin-value is longer than 255 bytes.\n"},
    {"control characters of a value escaped",
     [](const SoftToken& t, const fs::path& f) {
       return stage2_with(f, "-v1.1", by_module_name(t.uri("k1"), "x%0aStage%202:%20ok%1b[8m"));
     },
     "Hardware token: no PKCS#11 module named x\\x0aStage 2: ok\\x1b[8m is installed.\n"},
    {"absurd slot count",
     [](const SoftToken& t, const fs::path& f) {
       return stage2_with(f, "-v1.1", t.uri("k1", Pin::kSource, "",
                                            soft_token::misbehaving_module("slots-overflow")));
     },
     "Hardware token: the PKCS#11 module reports 18446744073709551615 slots.\n"},
    {"object search fails",
     [](const SoftToken& t, const fs::path&) -> Call {
       const std::string uri =
           t.uri("k1", Pin::kSource, "", soft_token::misbehaving_module("fail-find-init"));
       return {{"-v1.1", "cust", uri, "-STAGE2_KEYGEN"}, uri};
     },
     kGeneratingV11 + "Hardware token: the token cannot search its objects: the token failed "
                      "with PKCS#11 code 0x00000005.\n",
     Then::kLabelFree},
    {"module writes into its signing input",
     [](const SoftToken& t, const fs::path& f) {
       t.make_key("k1", soft_token::kShapeV11);
       return stage2_with(f, "-v1.1", t.uri("k1", Pin::kSource, "",
                                            soft_token::misbehaving_module("write-sign-input")));
     },
     kSignInputChanged, Then::kKeyKept},
    {"several keys match",
     [](const SoftToken& t, const fs::path& f) -> Call {
       t.make_key("k1", soft_token::kShapeV11);
       t.make_key("k2", soft_token::kShapeV11);
       std::string uri = t.uri("k1");
       return stage2_with(f, "-v1.1", uri.erase(uri.find(";object=k1"), 10));
     },
     "Hardware token: more than one private key matches <uri>; name it with object= or id=.\n",
     Then::kKeyKept},
    {"right exponent, wrong size",
     [](const SoftToken& t, const fs::path& f) {
       t.make_key("k1", {1024, 3, "small"});
       return stage2_with(f, "-v2.1", t.uri("k1"));
     },
     "Hardware token: the token key is not a v2.1 key (2048 bits, exponent 3).\n"},
    {"right size, wrong exponent",
     [](const SoftToken& t, const fs::path& f) {
       t.make_key("k1", {2048, 65537, "f4"});
       return stage2_with(f, "-v2.1", t.uri("k1"));
     },
     "Hardware token: the token key is not a v2.1 key (2048 bits, exponent 3).\n"},
    {"id taken",
     [](const SoftToken& t, const fs::path&) -> Call {
       t.make_key("k1", soft_token::kShapeV11, ";id=%01");
       const std::string uri = t.uri("k2", Pin::kSource, ";id=%01");
       return {{"-v1.1", "cust", uri, "-STAGE2_KEYGEN"}, uri};
     },
     kGeneratingV11 + "Hardware token: the token holds an object with that id already.\n",
     Then::kKeyKept},
    {"a rival of the same label appears",
     [](const SoftToken& t, const fs::path&) -> Call {
       const std::string uri =
           t.uri("k1", Pin::kSource, "", soft_token::misbehaving_module("rival-after-generate"));
       return {{"-v1.1", "cust", uri, "-STAGE2_KEYGEN"}, uri};
     },
     kGeneratingV11 +
         "Hardware token: another key labelled k1 was made in the token at the same time.\n"},
    {"token keeps half a pair",
     [](const SoftToken& t, const fs::path&) -> Call {
       const std::string uri =
           t.uri("k1", Pin::kSource, "", soft_token::misbehaving_module("half-generate"));
       return {{"-v1.1", "cust", uri, "-STAGE2_KEYGEN"}, uri};
     },
     kGeneratingV11 + "Hardware token: the token did not generate the key pair: the token "
                      "failed with PKCS#11 code 0x00000030.\n",
     Then::kLabelFree},
    {"key files cannot be installed",
     [](const SoftToken& t, const fs::path&) -> Call {
       const std::string uri = t.uri("k1");
       return {{"-v2.1", "nofolder/cust", uri, "-STAGE2_KEYGEN"}, uri};
     },
     kCannotInstall, Then::kLabelFree},
    {"a file of the set exists",
     [](const SoftToken& t, const fs::path& f) -> Call {
       soft_token::write_text(f / "cust.spk", "kept\n");
       const std::string uri = t.uri("k1");
       return {{"-v1.1", "cust", uri, "-STAGE2_KEYGEN"}, uri};
     },
     kGeneratingV11 + key_file_exists_text("cust.spk"), Then::kLabelFree},
    {"crafted key file: qInv of length 0",
     [](const SoftToken& t, const fs::path& f) -> Call {
       const Captured made = run_tarnwick(f, {"-v2.1", "cust", "-STAGE2_KEYGEN"});
       EXPECT_EQ(made.status, 0) << made.output;
       // The blob's last length field (n, e, d, p, q, dP, dQ before it) says 0.
       constexpr std::size_t kQInvLength = 7 * 4 + 256 + 4 + 256 + 4 * 128;
       std::vector<std::uint8_t> file = read_bytes(f / "cust_V21.prv");
       const auto size = static_cast<std::uint32_t>(file.size());
       EXPECT_EQ(do_PrivateKey_Decrypt(kProtectionV21, file.data(), size), 0);
       qiv::store_le32(file.data() + kQInvLength, 0);
       EXPECT_EQ(do_PrivateKey_Encrypt(kProtectionV21, file.data(), size), 0);
       write_bytes(f / "cust_V21.prv", file);
       const std::string uri = t.uri("k1");
       return {{"-v2.1", "cust_V21.prv", uri, "key.ref", "-TOKEN_IMPORT"}, uri};
     },
     "Key file cust_V21.prv holds no v2.1 private key.\n", Then::kLabelFree},
    {"reference too long",
     [](const SoftToken& t, const fs::path&) -> Call {
       const std::string uri = t.uri(std::string(2000, 'k'));
       return {{"-v1.1", "cust", uri, "-STAGE2_KEYGEN"}, uri};
     },
     kGeneratingV11 + "Hardware token: the key reference would be longer than 2048 bytes.\n"},
};

class TokenFailure : public ::testing::TestWithParam<Failure> {};

TEST_P(TokenFailure, PrintsItsOneLineWithStatus255AndWritesNothing) {
  const Failure& f = GetParam();
  const SoftToken token;
  const TempDir work;
  static_cast<void>(soft_token::misbehaving_module(""));
  const Call call = f.prepare(token, work.path());
  std::string expected = f.expected;
  if (const std::size_t at = expected.find("<uri>"); at != std::string::npos)
    expected.replace(at, 5, call.uri);
  if (const std::size_t at = expected.find("<dir>"); at != std::string::npos)
    expected.replace(at, 5, work.path().string());
  const auto before = soft_token::snapshot(work.path());
  const Captured r = soft_token::run_detached(work.path(), call.args);
  const std::string banner = call.args.front() == "-v2.1" ? kBannerV21 : kBannerV11;
  EXPECT_EQ(r.output, banner + expected);
  EXPECT_EQ(r.status, 255);
  EXPECT_TRUE(soft_token::snapshot(work.path()) == before) << "the folder changed";
  token.offer_pss(true);
  if (f.then == Then::kKeyKept) {
    EXPECT_NE(token.open_key("k1", soft_token::kShapeV11), nullptr);
  } else if (f.then == Then::kLabelFree) {
    EXPECT_NO_THROW(token.make_key("k1", soft_token::kShapeV11));
  }
}

std::string failure_name(const ::testing::TestParamInfo<Failure>& row) {
  std::string name = row.param.what;
  for (char& c : name) {
    if (std::isalnum(static_cast<unsigned char>(c)) == 0) c = '_';
  }
  return name;
}

INSTANTIATE_TEST_SUITE_P(Each, TokenFailure, ::testing::ValuesIn(kFailures), failure_name);

// module-name finds the module through the system's module registry (SoftHSM2 registers as
// "softhsm2").
TEST(TokenModules, ModuleNameFindsTheRegisteredModule) {
  const SoftToken token;
  const TempDir work;
  token.make_key("k1", soft_token::kShapeV11);
  const Call call = stage2_with(work.path(), "-v1.1", by_module_name(token.uri("k1"), "softhsm2"));
  const Captured r = soft_token::run_detached(work.path(), call.args);
  EXPECT_EQ(r.output, kBannerV11 + kStage2Generated) << r.output;
  EXPECT_EQ(r.status, 0);
}

// The size of the key a reference names, asked before the set is known; the same open token
// then uses the key. A name that finds no key, or several, fails both calls alike (one search).
// The size is in bits, not whole bytes: a key of 1020 bits, which generate_key makes and then
// refuses as no v1.1 key (leaving it to destroy_created), is 1020.
TEST(TokenKeySize, GivesTheModulusBitsThenTheSameTokenUsesTheKey) {
  const SoftToken token;
  token.make_key("k1", soft_token::kShapeV11);
  token.make_key("k2", soft_token::kShapeV11);
  struct Row {
    std::string object;  // "": the path names no object, and both keys match
    std::optional<std::uint32_t> bits;
    std::string error;  // of both calls; "" when both succeed
  };
  const Row rows[] = {
      {"k1", 1024, ""},
      {"k3", std::nullopt, "no RSA private key in the token matches <uri>"},
      {"", std::nullopt, "more than one private key matches <uri>; name it with object= or id="},
  };
  std::string error;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.object);
    std::string uri = token.uri(row.object.empty() ? "k1" : row.object);
    if (row.object.empty()) uri.erase(uri.find(";object=k1"), 10);
    std::string expected = row.error;
    if (const std::size_t at = expected.find("<uri>"); at != std::string::npos)
      expected.replace(at, 5, uri);
    const auto opened = token::Token::open(token::Uri::parse(uri).value(), error);
    ASSERT_NE(opened, nullptr) << error;
    EXPECT_EQ(opened->key_modulus_bits(), row.bits);
    EXPECT_EQ(opened->error(), expected);
    EXPECT_EQ(opened->use_key(soft_token::kShapeV11), expected.empty());
    EXPECT_EQ(opened->error(), expected);
    EXPECT_EQ(opened->modulus().size(), expected.empty() ? 128u : 0u);
  }
  const auto odd = token::Token::open(token::Uri::parse(token.uri("odd")).value(), error);
  ASSERT_NE(odd, nullptr) << error;
  EXPECT_FALSE(odd->generate_key({1020, 65537, "v1.1"}));
  EXPECT_EQ(odd->key_modulus_bits(), 1020u) << odd->error();
  odd->destroy_created();
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// References as they are read: each row writes a key reference file to the v1.1 key "k1" and
// signs BL2 with it.

struct Reading {
  std::string what;
  std::function<std::string(const SoftToken&, const fs::path&)> text;  // the file's bytes
  std::string expected;  // after the banner
};

void PrintTo(const Reading& r, std::ostream* os) {
  *os << r.what;
}

// The PIN in a file of the folder, with the given permissions.
std::string pin_file(const fs::path& folder, fs::perms perms) {
  soft_token::write_text(folder / "pin", std::string(soft_token::kPin) + "\r\n");
  fs::permissions(folder / "pin", perms);
  return (folder / "pin").string();
}

const Reading kReadings[] = {
    {"ending in CRLF", [](const SoftToken& t, const fs::path&) { return t.uri("k1") + "\r\n"; },
     kStage2Generated},
    {"without serial and id, as older references",
     [](const SoftToken& t, const fs::path&) { return t.uri("k1") + "\n"; }, kStage2Generated},
    {"pin-source as file://localhost",
     [](const SoftToken& t, const fs::path& f) {
       return with_pin_source(t, "file://localhost" +
                                     pin_file(f, fs::perms::owner_read | fs::perms::owner_write));
     },
     kStage2Generated},
    {"PIN file readable by others",
     [](const SoftToken& t, const fs::path& f) {
       return with_pin_source(t, pin_file(f, fs::perms::owner_read | fs::perms::others_read));
     },
     "Warning: the PIN file <dir>/pin can be read by other users.\n" + kStage2Generated},
    {"module answers a short signature",
     [](const SoftToken& t, const fs::path&) {
       return t.uri("k1", Pin::kSource, "", soft_token::misbehaving_module("short-signature"));
     },
     kStage2Generated},
};

class TokenReference : public ::testing::TestWithParam<Reading> {};

TEST_P(TokenReference, SignsWithTheKeyItNames) {
  const SoftToken token;
  const TempDir work;
  static_cast<void>(soft_token::misbehaving_module(""));
  token.make_key("k1", soft_token::kShapeV11);
  soft_token::write_text(work.path() / "key.prv", GetParam().text(token, work.path()));
  write_bytes(work.path() / "BL2.bin", pattern_bytes(100, 3));
  const Captured r =
      soft_token::run_detached(work.path(), {"-v1.1", "BL2.bin", "s2.bin", "key.prv", "-STAGE2"});
  std::string expected = GetParam().expected;
  if (const std::size_t at = expected.find("<dir>"); at != std::string::npos)
    expected.replace(at, 5, work.path().string());
  EXPECT_EQ(r.output, kBannerV11 + expected);
  EXPECT_EQ(r.status, 0);
}

std::string reading_name(const ::testing::TestParamInfo<Reading>& row) {
  std::string name = row.param.what;
  for (char& c : name) {
    if (std::isalnum(static_cast<unsigned char>(c)) == 0) c = '_';
  }
  return name;
}

INSTANTIATE_TEST_SUITE_P(Each, TokenReference, ::testing::ValuesIn(kReadings), reading_name);

// A second token of the same label (the set-up pasted twice) leaves the references written
// before it working: they name the token by its serial. A URI naming the label alone no longer
// finds one token.
TEST(TokenReferences, KeepWorkingBesideASecondTokenOfTheSameLabel) {
  const SoftToken token;
  const TempDir work;
  const Captured made =
      soft_token::run_detached(work.path(), {"-v1.1", "cust", token.uri("k1"), "-STAGE2_KEYGEN"});
  ASSERT_EQ(made.status, 0) << made.output;
  token.add_token_of_the_same_label();
  write_bytes(work.path() / "BL2.bin", pattern_bytes(100, 3));
  const Captured r =
      soft_token::run_detached(work.path(), {"-v1.1", "BL2.bin", "s2.bin", "cust.prv", "-STAGE2"});
  EXPECT_EQ(r.output, kBannerV11 + kStage2Generated);
  const Call plain = stage2_with(work.path(), "-v1.1", token.uri("k1"));
  const Captured ambiguous = soft_token::run_detached(work.path(), plain.args);
  EXPECT_EQ(ambiguous.output, kBannerV11 + "Hardware token: more than one token matches " +
                                  plain.uri + "; name it with serial=.\n");
}

// A cleanup signal while the token holds a key that no file names yet: the key goes again, no
// file is written, and the signal ends the program (128 + SIGINT). The module pauses after
// making the key and tells the test so through a marker file.
TEST(TokenInterrupted, SigintAfterTheTokenMadeTheKeyLeavesNoKeyAndNoFile) {
  for (const std::string fault : {"pause-after-generate", "pause-after-create"}) {
    SCOPED_TRACE(fault);
    const SoftToken token;
    const TempDir work;
    const TempDir side;
    const fs::path marker = side.path() / "made";
    const bool import = fault == "pause-after-create";
    if (import) make_key_file(work.path());
    const std::string uri =
        token.uri("k1", Pin::kSource, "", soft_token::misbehaving_module(fault, marker));
    const std::vector<std::string> args =
        import ? std::vector<std::string>{"-v1.1", "privateKey.dat", uri, "key.ref", "-TOKEN_IMPORT"}
               : std::vector<std::string>{"-v1.1", "cust", uri, "-STAGE2_KEYGEN"};
    const auto before = soft_token::snapshot(work.path());
    const pid_t child = soft_token::start_detached(work.path(), args);
    for (int waited = 0; !fs::exists(marker) && waited < 2000; ++waited) ::usleep(10000);
    ASSERT_TRUE(fs::exists(marker));
    ::kill(child, SIGINT);
    EXPECT_EQ(soft_token::wait_for(child), 128 + SIGINT);
    EXPECT_TRUE(soft_token::snapshot(work.path()) == before) << "the folder changed";
    static_cast<void>(soft_token::misbehaving_module(""));
    EXPECT_NO_THROW(token.make_key("k1", soft_token::kShapeV11));
  }
}

// Two key-pair commands for one name started together, in two folders: at most one ends 0, and
// the token never holds two keys of that name (one when a command succeeded, none otherwise).
TEST(TokenConcurrency, TwoCommandsNeverBothMakeAKeyOfOneName) {
  const SoftToken token;
  for (int round = 0; round < 4; ++round) {
    const std::string label = "r" + std::to_string(round);
    const TempDir a;
    const TempDir b;
    const std::vector<std::string> args = {"-v1.1", "cust", token.uri(label), "-STAGE2_KEYGEN"};
    const pid_t first = soft_token::start_detached(a.path(), args);
    const pid_t second = soft_token::start_detached(b.path(), args);
    const int one = soft_token::wait_for(first);
    const int two = soft_token::wait_for(second);
    EXPECT_TRUE(one != 0 || two != 0) << "round " << round;
    if (one == 0 || two == 0) {
      EXPECT_NE(token.open_key(label, soft_token::kShapeV11), nullptr) << "round " << round;
    } else {
      EXPECT_NO_THROW(token.make_key(label, soft_token::kShapeV11)) << "round " << round;
    }
  }
}

// A PIN prompt interrupted by a cleanup signal leaves the terminal as it found it: the echo it
// turned off is on again when the signal has ended the program.
TEST(TokenPrompt, InterruptedPromptRestoresTheEcho) {
  const SoftToken token;
  const TempDir work;
  int terminal = -1;
  int master = -1;
  // Signing holds no signals of its own while it opens the token: the prompt must.
  token.make_key("k1", soft_token::kShapeV11);
  const Call call = stage2_with(work.path(), "-v1.1", token.uri("k1", Pin::kNone));
  const pid_t child = soft_token::start_on_terminal(work.path(), call.args, master, terminal);
  ASSERT_GE(child, 0);
  termios mode{};
  bool quiet = false;
  for (int waited = 0; !quiet && waited < 1000; ++waited) {
    ::usleep(10000);
    quiet = ::tcgetattr(terminal, &mode) == 0 && (mode.c_lflag & ECHO) == 0;
  }
  EXPECT_TRUE(quiet) << "no prompt without echo";
  ::kill(child, SIGINT);
  EXPECT_EQ(soft_token::wait_for(child), 128 + SIGINT);
  ASSERT_EQ(::tcgetattr(terminal, &mode), 0);
  EXPECT_NE(mode.c_lflag & ECHO, 0u);
  ::close(terminal);
  ::close(master);
}
