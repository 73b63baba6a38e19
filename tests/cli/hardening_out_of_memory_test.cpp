// Memory that runs out ends a command with one line, "Out of memory.", and status 255, wherever it
// runs out: the image buffer of a verification, the code encryption's scratch copies. The
// commands run in-process, in a forked child, so that the allocation can be made to fail.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "cli/dispatch.h"
#include "cli/usage.h"
#include "core/files.h"
#include "sbl/code_crypt_seam.h"
#include "tests/cli/e2e_support.h"
#include "tests/cli/expected_texts.h"

namespace {

namespace fs = std::filesystem;

struct OomCase {
  std::string what;
  std::vector<std::string> args;
  bool scratchFails;      // the code encryption's allocation fails
  rlim_t addressSpace;    // else a 300 MiB image under this address-space limit
  friend void PrintTo(const OomCase& c, std::ostream* os) { *os << c.what; }
};

class HardeningOutOfMemory : public ::testing::TestWithParam<OomCase> {};

TEST_P(HardeningOutOfMemory, PrintsOneLineEndsWith255AndWritesNothing) {
  const OomCase& c = GetParam();
  if (c.addressSpace != 0 && e2e::sanitized()) GTEST_SKIP() << "ASan needs the address space";
  TempDir dir;
  e2e::stage_v21(dir.path());
  e2e::stage_v11(dir.path());
  write_bytes(dir / "BL1.bin", pattern_bytes(4096, 1));
  write_bytes(dir / "big.bin", {});
  fs::resize_file(dir / "big.bin", 300u << 20);
  const auto before = dir.entries();
  const Captured r = run_in_child([&]() -> int {
    if (::chdir(dir.path().c_str()) != 0) return 126;
    sbl::seam::scratch_unavailable = c.scratchFails;
    const rlimit as{c.addressSpace, c.addressSpace};
    if (c.addressSpace != 0) ::setrlimit(RLIMIT_AS, &as);
    std::vector<std::string> words = {"Tarnwick_V21"};
    words.insert(words.end(), c.args.begin(), c.args.end());
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    const int argc = static_cast<int>(words.size());
    return exit_status_for(c.args[0] == "-v2.1" ? sb20_main(argc, argv.data())
                                                : sb10_main(argc, argv.data()));
  });
  EXPECT_EQ(r.output, (c.args[0] == "-v2.1" ? kBannerV21 : kBannerV11) + kOutOfMemory);
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(dir.entries(), before);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, HardeningOutOfMemory,
    ::testing::Values(
        OomCase{"v21 STAGE1 scratch", {"-v2.1", "BL1.bin", "out.bin", "-STAGE1"}, true, 0},
        OomCase{"v21 P scratch", {"-v2.1", "BL1.bin", "out.bin", "x", "-P"}, true, 0},
        OomCase{"v21 VERIFY image", {"-v2.1", "big.bin", "eFuseData_V21.dat", "-VERIFY"}, false,
                150u << 20},
        OomCase{"v11 VERIFY image", {"-v1.1", "big.bin", "eFuseData.dat", "-VERIFY"}, false,
                150u << 20},
        OomCase{"v21 STAGE2_VERIFY image", {"-v2.1", "big.bin", "alice_V21.spk", "-STAGE2_VERIFY"},
                false, 150u << 20},
        OomCase{"v11 STAGE2_VERIFY image", {"-v1.1", "big.bin", "alice.spk", "-STAGE2_VERIFY"},
                false, 150u << 20}),
    [](const auto& p) { return e2e::test_name(p.param.what); });

}  // namespace
