// The noise gatherer, source by source on known targets, and whole calls on the real system.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <vector>

#include "crypto/endian.h"
#include "random/noise_internal.h"
#include "random/random.h"

namespace {

namespace nz = qiv::noise;
namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

// Runs a test in a fresh temporary directory and restores the working directory afterwards.
class InTempDir {
 public:
  InTempDir() : home_(fs::current_path()) {
    std::string pattern = (fs::temp_directory_path() / "qiv-noise-XXXXXX").string();
    dir_ = ::mkdtemp(pattern.data());
    fs::current_path(dir_);
  }
  ~InTempDir() {
    fs::current_path(home_);
    fs::remove_all(dir_);
  }

 private:
  fs::path home_, dir_;
};

Bytes pattern(std::size_t n) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(7 * i + 1);
  return b;
}

void write_file(const char* name, const Bytes& b) {
  std::ofstream(name, std::ios::binary)
      .write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}

std::ptrdiff_t walk_offset() {
  return nz::pCur - nz::pInit;
}

std::size_t open_descriptors() {
  return static_cast<std::size_t>(std::distance(fs::directory_iterator("/proc/self/fd"), {}));
}

TEST(NoiseFile, ContributesItsFirst256BytesAsWholeWords) {
  struct Case {
    std::size_t size;
    std::uint32_t words;
  };
  // 10 bytes: 3 words, the third with its last two bytes zero.
  const Case cases[] = {{0, 0},    {1, 1},    {3, 1},    {4, 1},    {10, 3},
                        {255, 64}, {256, 64}, {300, 64}, {5000, 64}};
  const InTempDir tmp;
  for (const Case& c : cases) {
    write_file(nz::kSystemSources.noise_file, pattern(c.size));
    Bytes target(256), expected(256);
    const Bytes file = pattern(std::min<std::size_t>(c.size, 256));
    std::copy(file.begin(), file.end(), expected.begin());
    nz::Scratch scratch{};
    ASSERT_TRUE(nz::start_walk(target.data(), 256));
    nz::mix_noise_file(nz::kSystemSources.noise_file, scratch);
    EXPECT_EQ(target, expected) << "size " << c.size;
    EXPECT_EQ(walk_offset(), 4 * c.words % 256) << "size " << c.size;
    EXPECT_EQ(scratch, nz::Scratch{}) << "scratch wiped";
  }
}

TEST(NoiseFile, MissingUnmeasurableOrUnreadableGivesNothingAndClosesIt) {
  const InTempDir tmp;
  const std::size_t fds = open_descriptors();
  const auto expect_nothing = [&](const char* what) {
    std::array<std::uint8_t, 40> target{};
    nz::Scratch scratch{};
    ASSERT_TRUE(nz::start_walk(target.data(), 40));
    nz::mix_noise_file("noise.dat", scratch);
    EXPECT_EQ(target, decltype(target){}) << what;
    EXPECT_EQ(walk_offset(), 0) << what;
    EXPECT_EQ(open_descriptors(), fds) << what;
  };
  expect_nothing("missing");
  ASSERT_EQ(::mkfifo("noise.dat", 0600), 0);  // opens without a writer, cannot be measured
  expect_nothing("fifo");
  fs::remove("noise.dat");
  fs::create_directory("noise.dat");  // opens, but cannot be read
  expect_nothing("directory");
}

TEST(RandomDevice, MixesAll64WordsWhateverTheReadDelivered) {
  const InTempDir tmp;
  write_file("short-device", pattern(10));
  std::array<std::uint8_t, 40> target{};
  nz::Scratch scratch{};
  ASSERT_TRUE(nz::start_walk(target.data(), 40));
  nz::mix_random_device("short-device", scratch);
  const Bytes delivered = pattern(10);
  EXPECT_TRUE(std::equal(delivered.begin(), delivered.end(), target.begin()));
  EXPECT_EQ(walk_offset(), 64 * 4 % 40);
  EXPECT_EQ(scratch, nz::Scratch{});

  ASSERT_TRUE(nz::start_walk(target.data(), 40));
  nz::mix_random_device("no-such-device", scratch);
  EXPECT_EQ(walk_offset(), 0);
}

TEST(Walk, WrapsToTheFirstWordAfterTenWordsOfA40ByteTarget) {
  std::array<std::uint8_t, 40> target{};
  ASSERT_TRUE(nz::start_walk(target.data(), 40));
  for (std::uint32_t i = 0; i < 11; ++i) nz::mix_word(0x01020304u * (i + 1));
  // Word 0 got words 0 and 10 (little-endian); words 1..9 got one each.
  const std::uint32_t w0 = 0x01020304u ^ 0x01020304u * 11;
  EXPECT_EQ(target[0], static_cast<std::uint8_t>(w0));
  EXPECT_EQ(target[3], static_cast<std::uint8_t>(w0 >> 24));
  EXPECT_EQ(target[36], 0x04u * 10);
  EXPECT_EQ(target[39], 0x01u * 10);
  EXPECT_EQ(walk_offset(), 4);
}

TEST(Walk, RejectsTargetsWithoutAWholeWordAndIgnoresATrailingPartialWord) {
  std::array<std::uint8_t, 8> target{};
  target.fill(0xEE);
  qiv_GetNoise(nullptr, 40);
  qiv_GetNoise(target.data(), 0);
  qiv_GetNoise(target.data(), 3);
  EXPECT_EQ(target, (std::array<std::uint8_t, 8>{0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE}));
  qiv_GetNoise(target.data(), 6);  // one word; bytes 4.. untouched
  EXPECT_EQ(target[4], 0xEE);
  EXPECT_EQ(target[5], 0xEE);
}

TEST(TimeAndUsage, MixTheSecondsFirstThenTwentyWordsInAll) {
  std::array<std::uint8_t, 256> target{};
  const auto before = static_cast<std::uint32_t>(std::time(nullptr));
  ASSERT_TRUE(nz::start_walk(target.data(), 256));
  nz::mix_time_of_day();
  EXPECT_EQ(walk_offset(), 8);
  const std::uint32_t seconds = qiv::load_le32(target.data());
  EXPECT_GE(seconds, before);
  EXPECT_LE(seconds, before + 2);
  nz::mix_resource_usage();
  EXPECT_EQ(walk_offset(), 80);
  EXPECT_NE(qiv::load_le32(target.data() + 8 + 4 * 4), 0u) << "maximum resident set size";
}

// The platform generator's 256 bytes for one seed: the low byte of every third rand().
Bytes platform_bytes(unsigned seed) {
  std::srand(seed);
  Bytes b(256);
  for (auto& x : b) {
    x = static_cast<std::uint8_t>(std::rand() & 0xFF);
    std::rand();
    std::rand();
  }
  return b;
}

TEST(PlatformRand, CallsAreSeeded0Then1InCallOrder) {
  nz::xx = 0;
  for (unsigned seed : {0u, 1u, 2u}) {
    Bytes target(256);
    nz::Scratch scratch{};
    ASSERT_TRUE(nz::start_walk(target.data(), 256));
    nz::mix_platform_rand(scratch);
    EXPECT_EQ(target, platform_bytes(seed)) << "seed " << seed;
    EXPECT_EQ(scratch, nz::Scratch{});
  }
  EXPECT_EQ(nz::xx, 3u);
  // The C library may treat seed 0 as seed 1; later seeds must differ.
  EXPECT_NE(platform_bytes(1), platform_bytes(2));
}

TEST(Gather, ChangesTheTargetWithoutNoiseFileOrRandomDevice) {
  const InTempDir tmp;
  const std::uint32_t calls = nz::xx;
  std::array<std::uint8_t, 40> target{};
  nz::gather(target.data(), 40, {"no-noise.dat", "no-random-device"});
  EXPECT_NE(target, decltype(target){});
  EXPECT_EQ(nz::xx, calls + 1);
}

TEST(Gather, SystemNoiseReadsNoiseDatAndClosesEveryDescriptor) {
  const InTempDir tmp;
  write_file("noise.dat", pattern(300));
  const std::size_t fds = open_descriptors();
  std::array<std::uint8_t, 40> a{}, b{};
  qiv_GetNoise(a.data(), 40);
  qiv_GetNoise(b.data(), 40);
  EXPECT_NE(a, b);
  EXPECT_EQ(open_descriptors(), fds);
  EXPECT_TRUE(fs::exists("noise.dat"));
  EXPECT_EQ(fs::file_size("noise.dat"), 300u);
}

}  // namespace
