// The dispatcher's side of the image commands: one heap buffer per command holding the image
// and what is appended to it (context, build-information block, signature), and the output
// file, written only when the command succeeded. The buffer is the only copy of the image the
// command holds (the command works on it in place) and is wiped when the job ends.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <span>
#include <string_view>

#include "format/format.h"

using SecureStage1Fn = std::int32_t (*)(std::uint8_t* image, std::uint32_t length);
using SignStage2Fn = std::int32_t (*)(const char* keyFile, std::uint8_t* image,
                                      std::uint32_t length, std::uint8_t* signature,
                                      std::uint32_t* signatureLen);

// What a job says and guards besides its image: the line it prints once the output is safely
// on disk (never before: a log reader must not see success for a file that was not written),
// and the key files its output must never overwrite.
struct JobOutput {
  std::string_view successLine;
  std::span<const char* const> keyFiles;
};

// Before anything is read: an output that is one of the key files (the same file, through any
// name or link) is refused with "The output file is the key file <name>.\n", result -1. The
// image itself may be its own output.
//
// Reads source (L bytes, refused when L + the trailer would exceed kMaxFileLength) into a
// zeroed buffer of L + blockSize + context.size() bytes and calls secure(buffer, L + blockSize).
// Only when that returns 0: copies `context` (read after the call, when the command has
// finished it) to offset L + blockSize, writes the whole buffer to destination, then prints the
// success line. Returns secure's result, or -1 when the output could not be written.
[[nodiscard]] std::int32_t run_stage1_job(SecureStage1Fn secure,
                                          std::span<const std::uint8_t> context,
                                          std::uint32_t blockSize, const char* source,
                                          const char* destination, const JobOutput& output = {});

// Reads source (L bytes) into a zeroed buffer of L + signatureSize bytes and calls
// sign(keyFile, buffer, L, buffer + L, &n) with n preset to signatureSize. Only when that
// returns 0 with n == signatureSize: writes the L + signatureSize bytes to destination and
// prints the success line. Returns sign's result; -1 when the signer reported another
// signature size or the output could not be written. The output is guarded as above.
[[nodiscard]] std::int32_t run_stage2_job(SignStage2Fn sign, std::uint32_t signatureSize,
                                          const char* source, const char* destination,
                                          const char* keyFile, const JobOutput& output = {});
