#include "cli/image_file.h"

#include <new>

#include "cli/files.h"

std::optional<std::vector<std::uint8_t>> read_image_file(const char* path) {
  const std::int32_t length = get_file_length(path);
  std::optional<std::vector<std::uint8_t>> image;
  try {
    image.emplace(static_cast<std::size_t>(length));
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  }
  read_file(path, image->data(), length);
  return image;
}
