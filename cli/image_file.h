// Reading a whole image file for the verification commands.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

// The whole file at `path`. Open and read failures end the process inside the file helpers
// (files.h); nullopt means the memory for it could not be had.
[[nodiscard]] std::optional<std::vector<std::uint8_t>> read_image_file(const char* path);
