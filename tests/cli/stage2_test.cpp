// The stage-2 commands, run as a user runs them: signed images are the source plus a
// signature, "-STAGE2_VERIFY" accepts exactly those, and damaged, oversized and foreign key
// files are refused without output. The signature itself is checked independently of our code,
// in both directions, by e2e_device_check.py.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <functional>
#include <string>
#include <vector>

#include "tests/cli/e2e_support.h"
#include "tests/cli/expected_texts.h"

namespace {

using e2e::Bytes;
namespace fs = std::filesystem;

constexpr std::size_t kSourceLength = 3001;  // stage 2 has no block-size rule

// One set's names: selector, banner, key files, signature size.
struct Set {
  std::string selector;
  std::string banner;
  std::string privateKey;
  std::string publicKey;
  std::string otherPublicKey;
  std::size_t signature;
};

void PrintTo(const Set& set, std::ostream* os) {
  *os << set.selector;
}

const Set kV21{"-v2.1", kBannerV21, "alice_V21.prv", "alice_V21.spk", "bob_V21.spk", 256};
const Set kV11{"-v1.1", kBannerV11, "alice.prv", "alice.spk", "bob.spk", 128};

class Stage2 : public ::testing::TestWithParam<Set> {
 protected:
  void SetUp() override {
    e2e::stage_v21(dir_.path());
    e2e::stage_v11(dir_.path());
    e2e::copy_keys(dir_.path(), {"bob_V21.spk", "bob.spk"});
    write_bytes(dir_ / "BL2.bin", source_);
  }

  Captured run(const std::vector<std::string>& args, e2e::RunLimits limits = {}) {
    return e2e::run(dir_.path(), args, limits);
  }
  void sign(const std::string& source, const std::string& out) {
    const Set& set = GetParam();
    const Captured r = run({set.selector, source, out, set.privateKey, "-STAGE2"});
    ASSERT_EQ(r.status, 0) << r.output;
    ASSERT_EQ(r.output, set.banner + kStage2Generated);
  }
  int verify(const std::string& image, const std::string& key) {
    const Set& set = GetParam();
    const Captured r = run({set.selector, image, key, "-STAGE2_VERIFY"});
    EXPECT_EQ(r.output, set.banner + (r.status == 0 ? kStage2Verified : kStage2VerificationFailed));
    return r.status;
  }

  TempDir dir_;
  const Bytes source_ = pattern_bytes(kSourceLength, 4);
};

TEST_P(Stage2, SignedImageIsTheSourceFollowedByItsSignature) {
  const Set& set = GetParam();
  sign("BL2.bin", "s.bin");
  const Bytes image = read_bytes(dir_ / "s.bin");
  ASSERT_EQ(image.size(), kSourceLength + set.signature);
  EXPECT_EQ(Bytes(image.begin(), image.begin() + kSourceLength), source_);
  EXPECT_EQ(verify("s.bin", set.publicKey), 0);
}

TEST_P(Stage2, EmptySourceGivesAFileThatIsOnlyTheSignature) {
  const Set& set = GetParam();
  write_bytes(dir_ / "empty.bin", {});
  sign("empty.bin", "s.bin");
  EXPECT_EQ(fs::file_size(dir_ / "s.bin"), set.signature);
  EXPECT_EQ(verify("s.bin", set.publicKey), 0);
}

TEST_P(Stage2, VerifyRejectsAnyFlippedImageOrSignatureByte) {
  const Set& set = GetParam();
  sign("BL2.bin", "s.bin");
  const Bytes good = read_bytes(dir_ / "s.bin");
  const std::size_t end = kSourceLength + set.signature;
  for (const std::size_t offset : {std::size_t{0}, kSourceLength / 2, kSourceLength - 1,
                                   kSourceLength, kSourceLength + set.signature / 2, end - 1}) {
    write_bytes(dir_ / "s.bin", good);
    e2e::flip_byte(dir_ / "s.bin", offset, 0x40);
    EXPECT_EQ(verify("s.bin", set.publicKey), 255) << "offset " << offset;
  }
}

TEST_P(Stage2, VerifyRejectsAnotherPairsKeyAndImagesShorterThanASignature) {
  const Set& set = GetParam();
  sign("BL2.bin", "s.bin");
  EXPECT_EQ(verify("s.bin", set.otherPublicKey), 255);
  write_bytes(dir_ / "short.bin", pattern_bytes(set.signature - 1, 5));
  EXPECT_EQ(verify("short.bin", set.publicKey), 255);
}

TEST_P(Stage2, ReadOnlyFolderFailsWithOpenErrorAndNoSuccessLine) {
  const Set& set = GetParam();
  e2e::hand_to_nobody(dir_.path());
  fs::permissions(dir_.path(), fs::perms::owner_read | fs::perms::owner_exec);
  const Captured r =
      run({set.selector, "BL2.bin", "s.bin", set.privateKey, "-STAGE2"}, e2e::unprivileged());
  EXPECT_EQ(r.output, set.banner + kFileOpenError);
  EXPECT_EQ(r.status, 255);
  EXPECT_FALSE(fs::exists(dir_ / "s.bin"));
}

TEST_P(Stage2, FullDeviceFailsWithWriteError) {
  const Set& set = GetParam();
  const Captured r = run({set.selector, "BL2.bin", "/dev/full", set.privateKey, "-STAGE2"});
  EXPECT_EQ(r.output, set.banner + kFileWriteError);
  EXPECT_EQ(r.status, 255);
}

TEST_P(Stage2, FailedWriteLeavesTheExistingImageIntact) {
  const Set& set = GetParam();
  const Bytes old = pattern_bytes(100, 6);
  write_bytes(dir_ / "s.bin", old);
  const Captured r = run({set.selector, "BL2.bin", "s.bin", set.privateKey, "-STAGE2"},
                         e2e::file_size_limit(2048));
  EXPECT_EQ(r.output, set.banner + kFileWriteError);
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(read_bytes(dir_ / "s.bin"), old);
  EXPECT_TRUE(e2e::temporary_files(dir_.path()).empty());
}

INSTANTIATE_TEST_SUITE_P(Sets, Stage2, ::testing::Values(kV21, kV11),
                         [](const auto& test) { return test.index == 0 ? "V21" : "V11"; });

// Only the key part of a v2.1 public key file verifies an image: its tag and self-signature
// may be damaged.
TEST(Stage2Keys, V21PublicKeyWithDamagedTagAndSelfSignatureStillVerifies) {
  TempDir dir;
  e2e::copy_keys(dir.path(), {"alice_V21.prv", "alice_V21.spk"});
  write_bytes(dir / "BL2.bin", pattern_bytes(500, 8));
  ASSERT_EQ(e2e::run(dir.path(), {"-v2.1", "BL2.bin", "s.bin", "alice_V21.prv", "-STAGE2"}).status,
            0);
  for (const std::size_t offset : {270u, 290u, 300u, 547u}) {
    e2e::flip_byte(dir / "alice_V21.spk", offset);
  }
  const Captured r = e2e::run(dir.path(), {"-v2.1", "s.bin", "alice_V21.spk", "-STAGE2_VERIFY"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.output, kBannerV21 + kStage2Verified);
}

// ---------------------------------------------------------------------------------------------
// Key files: refused with the command's line (or, for a file that cannot even be unprotected,
// the protection's code alone), a non-zero status and no output file.

struct KeyFileCase {
  const char* what;
  const char* set;
  const char* file;  // copied from the shared keys, then damaged, as "key"
  std::function<void(Bytes&)> damage;
  bool signing;      // -STAGE2 with "key" as private key file, else -STAGE2_VERIFY with it
  std::string line;  // printed after the banner
};

void PrintTo(const KeyFileCase& c, std::ostream* os) {
  *os << c.what;
}

class Stage2KeyFiles : public ::testing::TestWithParam<KeyFileCase> {};

TEST_P(Stage2KeyFiles, DamagedKeyFileIsRefusedWithoutOutput) {
  const KeyFileCase& c = GetParam();
  const bool v21 = std::string(c.set) == "-v2.1";
  TempDir dir;
  e2e::copy_keys(dir.path(), {"alice_V21.prv", "alice.prv"});
  write_bytes(dir / "BL2.bin", pattern_bytes(700, 10));
  // A correctly signed image for the verification cases.
  ASSERT_EQ(e2e::run(dir.path(), {c.set, "BL2.bin", "signed.bin",
                                  v21 ? "alice_V21.prv" : "alice.prv", "-STAGE2"})
                .status,
            0);
  e2e::copy_key(dir.path(), c.file, "key");
  Bytes bytes = read_bytes(dir / "key");
  c.damage(bytes);
  write_bytes(dir / "key", bytes);

  const Captured r = c.signing
                         ? e2e::run(dir.path(), {c.set, "BL2.bin", "out.bin", "key", "-STAGE2"})
                         : e2e::run(dir.path(), {c.set, "signed.bin", "key", "-STAGE2_VERIFY"});
  EXPECT_EQ(r.output, (v21 ? kBannerV21 : kBannerV11) + c.line);
  EXPECT_EQ(r.status, 255);  // -1, or a protection code whose low byte is 0
  EXPECT_FALSE(fs::exists(dir / "out.bin"));
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
void keep(Bytes&) {}

INSTANTIATE_TEST_SUITE_P(
    Cases, Stage2KeyFiles,
    ::testing::Values(KeyFileCase{"v21 private key not whole blocks", "-v2.1", "alice_V21.prv",
                                  resize_to(1201), true, ""},
                      KeyFileCase{"v21 private key oversized", "-v2.1", "alice_V21.prv",
                                  resize_to(2064), true, kStage2GenerationFailed},
                      KeyFileCase{"v21 private key truncated to whole blocks", "-v2.1",
                                  "alice_V21.prv", resize_to(1184), true, kStage2GenerationFailed},
                      KeyFileCase{"v21 private key damaged", "-v2.1", "alice_V21.prv",
                                  [](Bytes& b) { flip(b, 0); }, true, kStage2GenerationFailed},
                      KeyFileCase{"v21 given a v11 private key", "-v2.1", "alice.prv", keep, true,
                                  kStage2GenerationFailed},
                      KeyFileCase{"v11 given a v21 private key", "-v1.1", "alice_V21.prv", keep,
                                  true, kStage2GenerationFailed},
                      KeyFileCase{"v11 private key damaged", "-v1.1", "alice.prv",
                                  [](Bytes& b) { flip(b, 20); }, true, kStage2GenerationFailed},
                      KeyFileCase{"v11 private key truncated", "-v1.1", "alice.prv", resize_to(639),
                                  true, kFileOpenError},
                      KeyFileCase{"v21 public key oversized", "-v2.1", "alice_V21.spk",
                                  resize_to(1025), false, kStage2VerificationFailed},
                      KeyFileCase{"v21 public key truncated", "-v2.1", "alice_V21.spk",
                                  resize_to(267), false, kStage2VerificationFailed},
                      KeyFileCase{"v21 public key modulus length", "-v2.1", "alice_V21.spk",
                                  set_le32(0, 0x7FFFFFFF), false, kStage2VerificationFailed},
                      KeyFileCase{"v21 public key exponent length", "-v2.1", "alice_V21.spk",
                                  set_le32(260, 400), false, kStage2VerificationFailed},
                      KeyFileCase{"v11 given a v21 public key", "-v1.1", "alice_V21.spk", keep,
                                  false, kStage2VerificationFailed},
                      KeyFileCase{"v21 given a v11 public key", "-v2.1", "alice.spk", keep, false,
                                  kStage2VerificationFailed},
                      KeyFileCase{"v11 public key modulus length", "-v1.1", "alice.spk",
                                  set_le32(36, 129), false, kStage2VerificationFailed},
                      KeyFileCase{"v11 public key exponent length", "-v1.1", "alice.spk",
                                  set_le32(168, 5), false, kStage2VerificationFailed},
                      KeyFileCase{"v11 public key truncated", "-v1.1", "alice.spk", resize_to(307),
                                  false, kFileOpenError}),
    [](const auto& test) { return e2e::test_name(test.param.what); });

}  // namespace
