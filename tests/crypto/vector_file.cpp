#include "tests/crypto/vector_file.h"

#include <fstream>
#include <stdexcept>

namespace qiv::test {
namespace {

std::string_view trim(std::string_view s) {
  const auto first = s.find_first_not_of(" \t\r");
  if (first == std::string_view::npos) return {};
  const auto last = s.find_last_not_of(" \t\r");
  return s.substr(first, last - first + 1);
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  throw std::runtime_error(std::string("bad hex digit: ") + c);
}

}  // namespace

const std::string& VectorRecord::text(const std::string& key) const {
  const auto it = fields.find(key);
  if (it == fields.end()) throw std::runtime_error("vector field missing: " + key);
  return it->second;
}

Bytes VectorRecord::hex(const std::string& key) const { return from_hex(text(key)); }

unsigned long VectorRecord::number(const std::string& key) const {
  return std::stoul(text(key));
}

std::vector<VectorRecord> read_vector_file(const std::string& path) {
  std::ifstream in(path);
  if (!in) throw std::runtime_error("cannot read vector file " + path);

  std::vector<VectorRecord> records;
  std::string section;
  VectorRecord current;
  auto flush = [&] {
    if (!current.fields.empty()) records.push_back(std::move(current));
    current = VectorRecord{};
  };

  std::string raw;
  while (std::getline(in, raw)) {
    const std::string_view line = trim(raw);
    if (line.empty()) {
      flush();
    } else if (line.front() == '#') {
      continue;
    } else if (line.front() == '[' && line.back() == ']') {
      flush();
      section = std::string(line.substr(1, line.size() - 2));
    } else if (const auto eq = line.find('='); eq != std::string_view::npos) {
      current.section = section;
      current.fields[std::string(trim(line.substr(0, eq)))] =
          std::string(trim(line.substr(eq + 1)));
    }
  }
  flush();
  return records;
}

Bytes from_hex(std::string_view hex) {
  if (hex.size() % 2 != 0) throw std::runtime_error("odd-length hex string");
  Bytes out(hex.size() / 2);
  for (std::size_t i = 0; i < out.size(); ++i) {
    out[i] = static_cast<std::uint8_t>(hex_digit(hex[2 * i]) << 4 | hex_digit(hex[2 * i + 1]));
  }
  return out;
}

std::string to_hex(std::span<const std::uint8_t> bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(2 * bytes.size());
  for (const std::uint8_t b : bytes) {
    out.push_back(kDigits[b >> 4]);
    out.push_back(kDigits[b & 0x0F]);
  }
  return out;
}

}  // namespace qiv::test
