// A fresh folder under the system's temporary directory, removed with its contents (even
// read-only parts) when the object goes away.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

class TempDir {
 public:
  TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir();

  [[nodiscard]] const std::filesystem::path& path() const { return path_; }
  [[nodiscard]] std::filesystem::path operator/(const std::string& name) const {
    return path_ / name;
  }
  // Names of the entries in the folder (or in another one), sorted.
  [[nodiscard]] std::vector<std::string> entries() const { return entries_of(path_); }
  [[nodiscard]] static std::vector<std::string> entries_of(const std::filesystem::path& folder);

 private:
  std::filesystem::path path_;
};

void write_bytes(const std::filesystem::path& file, const std::vector<std::uint8_t>& bytes);
[[nodiscard]] std::vector<std::uint8_t> read_bytes(const std::filesystem::path& file);
// n bytes of a fixed pseudo-random pattern that depends on seed.
[[nodiscard]] std::vector<std::uint8_t> pattern_bytes(std::size_t n, std::uint32_t seed);
