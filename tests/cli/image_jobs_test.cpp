// The dispatcher's image buffer: sizes, what the command sees, what is appended, and that an
// output is written only when the command succeeded.
#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "cli/image_jobs.h"
#include "tests/cli/child_process.h"
#include "tests/cli/temp_dir.h"

namespace {

std::vector<std::uint8_t> seen;  // the image as the command received it
std::array<std::uint8_t, 8> context{};
std::int32_t result = 0;
std::uint32_t reportedSignatureLength = 0;

// Records its input, changes the image in place and finishes the context, as a command does.
std::int32_t fake_secure(std::uint8_t* image, std::uint32_t length) {
  seen.assign(image, image + length);
  for (std::uint32_t i = 0; i < length; ++i) image[i] ^= 0xFF;
  context.fill(0xC7);
  return result;
}

std::int32_t fake_sign(const char* keyFile, std::uint8_t* image, std::uint32_t length,
                       std::uint8_t* signature, std::uint32_t* signatureLength) {
  seen.assign(image, image + length);
  EXPECT_STREQ(keyFile, "key.prv");
  EXPECT_EQ(signature, image + length);
  std::fill(signature, signature + *signatureLength, std::uint8_t{0x5A});
  if (reportedSignatureLength != 0) *signatureLength = reportedSignatureLength;
  return result;
}

std::vector<std::uint8_t> inverted(std::vector<std::uint8_t> bytes) {
  for (auto& b : bytes) b ^= 0xFF;
  return bytes;
}

struct Job {
  TempDir dir;
  std::vector<std::uint8_t> source = pattern_bytes(40, 11);
  std::string src = (dir / "src.bin").string();
  std::string dst = (dir / "dst.bin").string();
  Job() { write_bytes(src, source); }
};

TEST(ImageJobs, Stage1AppendsTheFinishedContextAfterImageAndBlock) {
  for (const std::uint32_t block : {0u, 48u}) {
    Job job;
    result = 0;
    context.fill(0);
    ASSERT_EQ(run_stage1_job(fake_secure, context, block, job.src.c_str(), job.dst.c_str()), 0);
    std::vector<std::uint8_t> image = job.source;
    image.resize(40 + block);  // the block reaches the command zeroed
    EXPECT_EQ(seen, image);
    std::vector<std::uint8_t> expected = inverted(image);
    expected.insert(expected.end(), 8, 0xC7);
    EXPECT_EQ(read_bytes(job.dst), expected);
  }
}

TEST(ImageJobs, Stage2AppendsTheSignatureAfterTheImage) {
  Job job;
  result = 0;
  reportedSignatureLength = 0;
  ASSERT_EQ(run_stage2_job(fake_sign, 256, job.src.c_str(), job.dst.c_str(), "key.prv"), 0);
  EXPECT_EQ(seen, job.source);
  std::vector<std::uint8_t> expected = job.source;
  expected.insert(expected.end(), 256, 0x5A);
  EXPECT_EQ(read_bytes(job.dst), expected);
}

// A failed command, a signature of the wrong size or an unwritable output: no output file.
TEST(ImageJobs, NothingIsWrittenUnlessTheCommandSucceeded) {
  Job job;
  result = -540672;
  EXPECT_EQ(run_stage1_job(fake_secure, context, 0, job.src.c_str(), job.dst.c_str()), -540672);
  EXPECT_EQ(run_stage2_job(fake_sign, 128, job.src.c_str(), job.dst.c_str(), "key.prv"), -540672);
  result = 0;
  reportedSignatureLength = 256;
  EXPECT_EQ(run_stage2_job(fake_sign, 128, job.src.c_str(), job.dst.c_str(), "key.prv"), -1);
  reportedSignatureLength = 0;
  EXPECT_EQ(job.dir.entries(), std::vector<std::string>{"src.bin"});

  const std::string unwritable = (job.dir / "no" / "dst.bin").string();
  testing::internal::CaptureStdout();
  EXPECT_EQ(run_stage1_job(fake_secure, context, 0, job.src.c_str(), unwritable.c_str()), -1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "file open error\n");
}

TEST(ImageJobs, MissingSourceEndsTheProcessBeforeTheCommand) {
  TempDir dir;
  const std::string src = (dir / "missing").string();
  const Captured run = run_in_child([&] {
    return run_stage2_job(fake_sign, 256, src.c_str(), "dst", "key.prv") + 100;
  });
  EXPECT_EQ(run.output, "file open error\n");
  EXPECT_EQ(run.status, 255);
}

}  // namespace
