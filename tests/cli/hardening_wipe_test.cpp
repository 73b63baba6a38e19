// Private keys do not outlive the command that needed them: after each command function returns,
// on success and on failure, the working buffers that held a private key blob or record are
// zero. The commands run in-process, in a forked child working in a staged folder.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "core/key_store.h"
#include "core/working_buffers.h"
#include "tests/cli/e2e_support.h"

namespace {

namespace fs = std::filesystem;

bool all_zero(const auto& buffer) {
  return std::all_of(buffer.begin(), buffer.end(), [](std::uint8_t b) { return b == 0; });
}

// Status 0: the command returned `expected` and left no key behind; 1: a key was left; 2: the
// command did not end as the case expects (so the check would prove nothing).
int run_and_check(const std::function<std::int32_t()>& command, bool expectSuccess) {
  const std::int32_t rc = command();
  if ((rc == 0) != expectSuccess) return 2;
  return all_zero(privateKey) && privateKeyLen == 0 && all_zero(sb10_privkey_file) ? 0 : 1;
}

struct WipeCase {
  std::string what;
  std::function<void(const fs::path&)> stage;
  std::function<std::int32_t()> command;
  bool succeeds;
};

void PrintTo(const WipeCase& c, std::ostream* os) {
  *os << c.what;
}

void staged(const fs::path& dir) {
  e2e::stage_v21(dir);
  e2e::stage_v11(dir);
}

// A stage-2 signature over a short image with the given key file.
std::function<std::int32_t()> stage2(bool v21, const char* keyFile) {
  return [v21, keyFile] {
    write_bytes("BL2.bin", std::vector<std::uint8_t>(600, 0x42));
    return v21 ? sb20_Generate_Stage2("BL2.bin", "out.bin", keyFile)
               : sb10_Generate_Stage2("BL2.bin", "out.bin", keyFile);
  };
}

std::function<std::int32_t()> stage1(std::int32_t (*secure)(const char*, const char*),
                                     std::uint32_t length) {
  return [secure, length] {
    write_bytes("BL1.bin", std::vector<std::uint8_t>(length, 0x17));
    return secure("BL1.bin", "out.bin");
  };
}

class HardeningWipe : public ::testing::TestWithParam<WipeCase> {};

TEST_P(HardeningWipe, NoPrivateKeyIsLeftInTheWorkingBuffers) {
  const WipeCase& c = GetParam();
  TempDir dir;
  c.stage(dir.path());
  const Captured r = run_in_child([&] {
    if (::chdir(dir.path().c_str()) != 0) return 126;
    return run_and_check(c.command, c.succeeds);
  });
  EXPECT_EQ(r.status, 0) << r.output;
}

// The check sees a key that is left: the loader alone keeps it for the command that called it.
TEST(HardeningWipeCheck, SeesTheKeyALoaderLeavesForItsCommand) {
  TempDir dir;
  staged(dir.path());
  const Captured r = run_in_child([&] {
    if (::chdir(dir.path().c_str()) != 0) return 126;
    return run_and_check(
        [] {
          core::Report report;
          core::SigningKey key;
          return load_sb20_private_key(report, core::Event::kSilent, "alice_V21.prv", key);
        },
        true);
  });
  EXPECT_EQ(r.status, 1);
}

INSTANTIATE_TEST_SUITE_P(
    Commands, HardeningWipe,
    ::testing::Values(
        WipeCase{"v21 stage 2 signed", staged, stage2(true, "alice_V21.prv"), true},
        WipeCase{"v11 stage 2 signed", staged, stage2(false, "alice.prv"), true},
        WipeCase{"v21 stage 2 key of the other set", staged, stage2(true, "alice.prv"), false},
        WipeCase{"v11 stage 2 key of the other set", staged, stage2(false, "alice_V21.prv"), false},
        WipeCase{"v21 stage 1 secured", staged, stage1(sb20_Generate_Stage1, 4096), true},
        WipeCase{"v21 stage 1 with build information", staged,
                 stage1(sb20_Generate_Stage1_Polymorphic, 4096), true},
        WipeCase{"v11 stage 1 secured", staged, stage1(sb10_Generate_Stage1, 4096), true},
        // The maker key is loaded and used; the self-check then fails.
        WipeCase{"v21 stage 1 self-check fails",
                 [](const fs::path& dir) {
                   staged(dir);
                   e2e::copy_key(dir, "other/privateKey_V21.dat", "privateKey_V21.dat");
                 },
                 stage1(sb20_Generate_Stage1, 4096), false},
        // The key is loaded, then the code cannot be encrypted.
        WipeCase{"v21 stage 1 code not whole blocks", staged, stage1(sb20_Generate_Stage1, 4095),
                 false},
        WipeCase{"v21 customer key pair", [](const fs::path&) {},
                 [] { return sb20_Generate_KeyPair(kCustomerMode, "cust"); }, true},
        WipeCase{"v11 customer key pair", [](const fs::path&) {},
                 [] { return sb10_Generate_KeyPair(kCustomerMode, "cust"); }, true},
        WipeCase{"v11 maker key pair", [](const fs::path&) {},
                 [] { return sb10_Generate_KeyPair(kMakerMode, nullptr); }, true}),
    [](const auto& test) { return e2e::test_name(test.param.what); });

}  // namespace
