// The dispatcher's image buffer: what the command sees, what is appended after it, and that an
// output is written only when the command succeeded.
#include "core/image_jobs.h"

#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "tests/cli/expected_texts.h"
#include "tests/cli/temp_dir.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
Bytes seen;  // the image as the command received it
std::array<std::uint8_t, 8> context{};
std::int32_t result = 0;
std::uint32_t signatureLength = 0;  // what the fake signer reports; 0: as preset

// Changes the image in place and finishes the context, as a stage-1 command does.
std::int32_t fake_secure(std::uint8_t* image, std::uint32_t length) {
  seen.assign(image, image + length);
  std::fill(image, image + length, std::uint8_t{0x11});
  context.fill(0xC7);
  return result;
}

std::int32_t fake_sign(const char*, std::uint8_t* image, std::uint32_t length,
                       std::uint8_t* signature, std::uint32_t* length_inout) {
  seen.assign(image, image + length);
  std::fill(signature, signature + *length_inout, std::uint8_t{0x5A});
  if (signatureLength != 0) *length_inout = signatureLength;
  return result;
}

TEST(ImageJobs, ContextOrSignatureFollowsTheImageAndItsBlock) {
  TempDir dir;
  const Bytes source = pattern_bytes(40, 11);
  write_bytes(dir / "src", source);
  const std::string src = (dir / "src").string();
  const std::string dst = (dir / "dst").string();
  result = 0;
  context.fill(0);
  ASSERT_EQ(run_stage1_job(fake_secure, context, 48, src.c_str(), dst.c_str()), 0);
  Bytes expected = source;
  expected.resize(88);  // the 48-byte block reaches the command zeroed
  EXPECT_EQ(seen, expected);
  expected.assign(88, 0x11);
  expected.insert(expected.end(), 8, 0xC7);  // the context as the command left it
  EXPECT_EQ(read_bytes(dir / "dst"), expected);

  ASSERT_EQ(run_stage2_job(fake_sign, 256, src.c_str(), dst.c_str(), "key"), 0);
  EXPECT_EQ(seen, source);
  expected = source;
  expected.insert(expected.end(), 256, 0x5A);
  EXPECT_EQ(read_bytes(dir / "dst"), expected);
}

// A failed command, a signature of the wrong size or an unwritable output: no output file.
TEST(ImageJobs, NothingIsWrittenUnlessTheCommandSucceeded) {
  TempDir dir;
  write_bytes(dir / "src", pattern_bytes(16, 12));
  const std::string src = (dir / "src").string();
  const std::string dst = (dir / "dst").string();
  result = -540672;
  EXPECT_EQ(run_stage1_job(fake_secure, context, 0, src.c_str(), dst.c_str()), -540672);
  EXPECT_EQ(run_stage2_job(fake_sign, 128, src.c_str(), dst.c_str(), "key"), -540672);
  result = 0;
  signatureLength = 256;
  EXPECT_EQ(run_stage2_job(fake_sign, 128, src.c_str(), dst.c_str(), "key"), -1);
  signatureLength = 0;
  EXPECT_EQ(dir.entries(), std::vector<std::string>{"src"});

  const std::string unwritable = (dir / "no" / "dst").string();
  testing::internal::CaptureStdout();
  EXPECT_EQ(run_stage1_job(fake_secure, context, 0, src.c_str(), unwritable.c_str()), -1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), kFileOpenError);
}

}  // namespace
