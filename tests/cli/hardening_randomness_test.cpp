// The key-pair commands refuse to make keys when the kernel random device gives nothing: keys
// drawn from the clock, usage counters and a fixed-seed rand() alone would be guessable. The
// commands run in a forked child with the gatherer's device path pointed elsewhere (the
// internal seam of random/noise_internal.h); the program itself has no way to redirect it.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "cli/dispatch.h"
#include "random/noise_internal.h"
#include "random/random.h"
#include "tests/cli/child_process.h"
#include "tests/cli/expected_texts.h"
#include "tests/cli/temp_dir.h"

namespace {

namespace fs = std::filesystem;

// Runs body in a child whose working folder is dir and whose device path is `device`.
Captured in_child(const TempDir& dir, const fs::path& device, const std::function<int()>& body) {
  const std::string path = device.string();
  return run_in_child([&] {
    if (::chdir(dir.path().c_str()) != 0) return 126;
    qiv::noise::random_device_path = path.c_str();
    return body();
  });
}

// Stand-ins for a device that cannot be opened or read; each is made inside `dir`.
struct Unusable {
  const char* what;
  void (*make)(const fs::path& at);
};

const std::array<Unusable, 5> kUnusable = {{
    {"missing", [](const fs::path&) {}},
    {"folder", [](const fs::path& at) { fs::create_directory(at); }},
    {"empty file", [](const fs::path& at) { write_bytes(at, {}); }},
    {"pipe without writer", [](const fs::path& at) { ASSERT_EQ(::mkfifo(at.c_str(), 0600), 0); }},
    // what a file bind-mounted over the device looks like: bytes, but known ones
    {"regular file with bytes", [](const fs::path& at) { write_bytes(at, pattern_bytes(64, 9)); }},
}};

TEST(HardeningRandomDevice, CheckAcceptsTheSystemDeviceAndRefusesWhatGivesNoBytes) {
  EXPECT_TRUE(qiv::noise::random_device_gives_bytes(qiv::noise::kSystemSources.random_device));
  EXPECT_STREQ(qiv::noise::random_device_path, "/dev/random");  // the program never moves it
  const TempDir dir;
  for (const Unusable& u : kUnusable) {
    const fs::path at = dir / "device";
    u.make(at);
    EXPECT_FALSE(qiv::noise::random_device_gives_bytes(at.c_str())) << u.what;
    fs::remove(at);
  }
}

// Every mode of both sets: the refusal line alone, a failure result, and no file at all.
TEST(HardeningRandomDevice, KeyPairCommandsRefuseAndWriteNothing) {
  using Generate = std::int32_t (*)(std::int32_t, const char*);
  const std::array<std::pair<const char*, Generate>, 2> sets = {
      {{"v2.1", sb20_Generate_KeyPair}, {"v1.1", sb10_Generate_KeyPair}}};
  for (const Unusable& u : kUnusable) {
    for (const auto& [set, generate] : sets) {
      for (const std::int32_t mode : {kMakerMode, kCustomerMode}) {
        const TempDir dir;
        const TempDir deviceDir;
        u.make(deviceDir / "device");
        const Captured r = in_child(dir, deviceDir / "device", [&, generate = generate] {
          return generate(mode, mode == kMakerMode ? nullptr : "cust") == 0 ? 0 : 1;
        });
        const std::string where = std::string(u.what) + " " + set + " mode " + std::to_string(mode);
        EXPECT_EQ(r.output, kKeyPairNeedsRandomDevice) << where;
        EXPECT_EQ(r.status, 1) << where;
        EXPECT_TRUE(dir.entries().empty()) << where;
      }
    }
  }
}

// Through the dispatcher: its generating line first, then the refusal, status 255. A base name
// that is too long is still reported as such: the name is checked before the device.
TEST(HardeningRandomDevice, DispatcherPrintsTheGeneratingLineThenTheRefusal) {
  const TempDir dir;
  const fs::path missing = dir / "no-device";
  const auto run = [&](std::vector<std::string> args) {
    return in_child(dir, missing, [&] {
      std::vector<char*> argv;
      for (std::string& a : args) argv.push_back(a.data());
      return exit_status_for(sb20_main(static_cast<int>(argv.size()), argv.data()));
    });
  };
  const Captured maker = run({"Tarnwick_V21", "-v2.1", "-KEYGEN"});
  EXPECT_EQ(maker.output, kBannerV21 + kGeneratingV21 + kKeyPairNeedsRandomDevice);
  EXPECT_EQ(maker.status, 255);
  const Captured longName = run({"Tarnwick_V21", "-v2.1", std::string(120, 'a'), "-STAGE2_KEYGEN"});
  EXPECT_EQ(longName.output, kBannerV21 + kGeneratingV21 + kKeyFileNameTooLong);
  EXPECT_EQ(longName.status, 255);
  EXPECT_TRUE(dir.entries().empty());
}

// The gatherer keeps mixing what it has: without the device the target still changes.
TEST(HardeningRandomDevice, GathererStillMixesTheOtherSourcesWithoutTheDevice) {
  const TempDir dir;
  const Captured r = in_child(dir, dir / "no-device", [] {
    std::array<std::uint8_t, 40> target{};
    qiv_GetNoise(target.data(), static_cast<std::uint32_t>(target.size()));
    return target == std::array<std::uint8_t, 40>{} ? 1 : 0;
  });
  EXPECT_EQ(r.status, 0);
}

}  // namespace
