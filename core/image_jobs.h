// The image commands' common frame: one heap buffer per command holding the image and what is
// appended to it (context, build-information block, signature), and the output file, written
// only when the command succeeded. The buffer is the only copy of the image the command holds
// (the command works on it in place) and is wiped when the job ends.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "core/files.h"
#include "core/report.h"

namespace core {

// An output that is one of the key files (the same file, through any name or link): refused
// with kOutputIsKeyFile naming the key file, before anything is read. The image itself may be
// its own output.
[[nodiscard]] bool output_is_a_key_file(Report& report, const char* output,
                                        std::span<const char* const> keyFiles);

// Writes the finished image and reports the success event once it is on disk (never before: a
// log reader must not see success for a file that was not written). 0 or -1.
[[nodiscard]] std::int32_t write_image(Report& report, const char* output,
                                       std::span<const std::uint8_t> bytes, Existing existing,
                                       Event success, std::string what);

}  // namespace core
