#include "cli/image_jobs.h"

#include <algorithm>
#include <cstdio>
#include <new>
#include <optional>
#include <vector>

#include "cli/files.h"

namespace {

// The whole source, zero-filled by `trailer` bytes. Lengths are at most kMaxFileLength and
// trailers small, so the sum fits the signed 32-bit counts the file helpers take.
std::optional<std::vector<std::uint8_t>> read_image(const char* source, std::uint32_t trailer,
                                                    std::uint32_t& imageLength) {
  const std::int32_t length = get_file_length(source);
  std::optional<std::vector<std::uint8_t>> buffer;
  try {
    buffer.emplace(static_cast<std::size_t>(length) + trailer);
  } catch (const std::bad_alloc&) {
    std::fputs("file read error\n", stdout);
    return std::nullopt;
  }
  read_file(source, buffer->data(), length);
  imageLength = static_cast<std::uint32_t>(length);
  return buffer;
}

std::int32_t write_output(const char* destination, const std::vector<std::uint8_t>& buffer) {
  return write_file(destination, buffer.data(), static_cast<std::int32_t>(buffer.size())) == 0 ? 0
                                                                                               : -1;
}

}  // namespace

std::int32_t run_stage1_job(SecureStage1Fn secure, std::span<const std::uint8_t> context,
                            std::uint32_t blockSize, const char* source, const char* destination) {
  std::uint32_t codeLength = 0;
  auto buffer =
      read_image(source, blockSize + static_cast<std::uint32_t>(context.size()), codeLength);
  if (!buffer) return -1;
  const std::uint32_t imageLength = codeLength + blockSize;
  if (const std::int32_t rc = secure(buffer->data(), imageLength); rc != 0) return rc;
  std::copy(context.begin(), context.end(), buffer->begin() + imageLength);
  return write_output(destination, *buffer);
}

std::int32_t run_stage2_job(SignStage2Fn sign, std::uint32_t signatureSize, const char* source,
                            const char* destination, const char* keyFile) {
  std::uint32_t imageLength = 0;
  auto buffer = read_image(source, signatureSize, imageLength);
  if (!buffer) return -1;
  std::uint32_t signatureLength = signatureSize;
  const std::int32_t rc =
      sign(keyFile, buffer->data(), imageLength, buffer->data() + imageLength, &signatureLength);
  if (rc != 0) return rc;
  if (signatureLength != signatureSize) return -1;
  return write_output(destination, *buffer);
}
