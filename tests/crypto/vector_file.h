// Reader for the NIST/RFC known-answer files: blocks of "KEY = VALUE" lines separated by blank
// lines, "[SECTION]" headers that apply to the blocks after them, and "#" comment lines.
#pragma once

#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace qiv::test {

using Bytes = std::vector<std::uint8_t>;

struct VectorRecord {
  std::string section;  // text of the last "[...]" header, without the brackets
  std::map<std::string, std::string> fields;

  bool has(const std::string& key) const { return fields.count(key) != 0; }
  const std::string& text(const std::string& key) const;  // throws when absent
  Bytes hex(const std::string& key) const;
  unsigned long number(const std::string& key) const;
};

// Throws std::runtime_error when the file cannot be read, so a missing vector file fails the
// test instead of passing with nothing checked.
std::vector<VectorRecord> read_vector_file(const std::string& path);

Bytes from_hex(std::string_view hex);
std::string to_hex(std::span<const std::uint8_t> bytes);

#ifdef QIV_VECTORS_DIR
inline std::string vector_path(const std::string& relative) {
  return std::string(QIV_VECTORS_DIR) + "/" + relative;
}
#endif

}  // namespace qiv::test
