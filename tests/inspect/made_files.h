// Every kind of file the tool chain writes, made by the built Tarnwick_V21 in a temporary
// folder: the shared key files (e2e_support.h), a plain BL1 and BL2, secured BL1 images of both
// sets (and "-P"), and signed BL2 images of both sets.
#pragma once

#include <cstdint>
#include <ctime>
#include <filesystem>
#include <string>

#include "inspect/inspect.h"
#include "tests/cli/e2e_support.h"

namespace inspect_test {

namespace fs = std::filesystem;

inline constexpr std::size_t kCodeLength = 4096;  // whole AES blocks
inline constexpr std::size_t kBl2Length = 3001;

// The files, by name in folder():
//   eFuseData_V21.dat publicKeyInfo_V21.dat privateKey_V21.dat alice_V21.spk alice_V21.prv
//   eFuseData.dat publicKeyInfo.dat privateKey.dat alice.spk alice.prv bob_V21.spk
//   BL1.bin BL2.bin s21.bin (-STAGE1) s21p.bin (-P) s11.bin b21.bin b11.bin
class MadeFiles {
 public:
  MadeFiles();
  [[nodiscard]] const fs::path& folder() const { return dir_.path(); }
  [[nodiscard]] fs::path operator/(const std::string& name) const { return dir_ / name; }
  // The clock around the "-P" run, for the build-information block's time.
  [[nodiscard]] std::time_t before() const { return before_; }
  [[nodiscard]] std::time_t after() const { return after_; }

 private:
  TempDir dir_;
  std::time_t before_ = 0;
  std::time_t after_ = 0;
};

// Inspects folder/name with the given eFuse and key files (paths; empty for none).
[[nodiscard]] inspect::Report inspect_with(const fs::path& file, const fs::path& eFuse = {},
                                           const fs::path& key = {});

// The field of that name in the section of that name; a test failure when there is none.
[[nodiscard]] const inspect::Field& field_of(const inspect::Report& report,
                                             const std::string& section, const std::string& name);
[[nodiscard]] std::string text_of(const inspect::Report& report, const std::string& section,
                                  const std::string& name);
[[nodiscard]] std::uint64_t number_of(const inspect::Report& report, const std::string& section,
                                      const std::string& name);

}  // namespace inspect_test
