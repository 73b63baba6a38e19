#include "cli/image_jobs.h"

#include <algorithm>
#include <cstdio>
#include <string>

#include "cli/files.h"
#include "format/format.h"
#include "cli/usage.h"

namespace {

// Key files are what the whole chain of trust rests on; an image written over one of them (a
// slip in the argument order) would destroy the maker's key.
bool output_is_a_key_file(const char* destination, std::span<const char* const> keyFiles) {
  for (const char* key : keyFiles) {
    if (same_file(destination, key)) {
      print_text("The output file is the key file " + printable(key) + ".\n");
      return true;
    }
  }
  return false;
}

std::int32_t write_output(const char* destination, std::span<const std::uint8_t> buffer,
                          std::string_view successLine) {
  if (write_file(destination, buffer.data(), static_cast<std::int32_t>(buffer.size())) != 0) {
    return -1;
  }
  print_text(successLine);
  return 0;
}

}  // namespace

std::int32_t run_stage1_job(SecureStage1Fn secure, std::span<const std::uint8_t> context,
                            std::uint32_t blockSize, const char* source, const char* destination,
                            const JobOutput& output) {
  if (output_is_a_key_file(destination, output.keyFiles)) return -1;
  auto buffer =
      read_file_with_trailer(source, blockSize + static_cast<std::uint32_t>(context.size()));
  if (!buffer) return -1;
  const auto imageLength = static_cast<std::uint32_t>(buffer->size() - context.size());
  if (const std::int32_t rc = secure(buffer->data(), imageLength); rc != 0) return rc;
  std::copy(context.begin(), context.end(), buffer->data() + imageLength);
  return write_output(destination, {buffer->data(), buffer->size()}, output.successLine);
}

std::int32_t run_stage2_job(SignStage2Fn sign, std::uint32_t signatureSize, const char* source,
                            const char* destination, const char* keyFile, const JobOutput& output) {
  if (output_is_a_key_file(destination, output.keyFiles)) return -1;
  auto buffer = read_file_with_trailer(source, signatureSize);
  if (!buffer) return -1;
  const auto imageLength = static_cast<std::uint32_t>(buffer->size() - signatureSize);
  std::uint32_t signatureLength = signatureSize;
  const std::int32_t rc =
      sign(keyFile, buffer->data(), imageLength, buffer->data() + imageLength, &signatureLength);
  if (rc != 0) return rc;
  if (signatureLength != signatureSize) return -1;
  return write_output(destination, {buffer->data(), buffer->size()}, output.successLine);
}
