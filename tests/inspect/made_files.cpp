#include "tests/inspect/made_files.h"

#include <stdexcept>
#include <variant>

namespace inspect_test {

namespace {

void make(const fs::path& folder, const std::vector<std::string>& args) {
  const Captured run = e2e::run(folder, args);
  if (run.status != 0) throw std::runtime_error("Tarnwick_V21 failed: " + run.output);
}

std::vector<std::uint8_t> bytes_of(const fs::path& file) {
  return read_bytes(file);
}

}  // namespace

MadeFiles::MadeFiles() {
  const fs::path& d = dir_.path();
  e2e::stage_v21(d);
  e2e::stage_v11(d);
  e2e::copy_key(d, "bob_V21.spk");
  write_bytes(d / "BL1.bin", pattern_bytes(kCodeLength, 1));
  write_bytes(d / "BL2.bin", pattern_bytes(kBl2Length, 2));
  make(d, {"-v2.1", "BL1.bin", "s21.bin", "-STAGE1"});
  before_ = std::time(nullptr);
  make(d, {"-v2.1", "BL1.bin", "s21p.bin", "unused", "-P"});
  after_ = std::time(nullptr);
  make(d, {"-v2.1", "BL2.bin", "b21.bin", "alice_V21.prv", "-STAGE2"});
  make(d, {"-v1.1", "BL1.bin", "s11.bin", "-STAGE1"});
  make(d, {"-v1.1", "BL2.bin", "b11.bin", "alice.prv", "-STAGE2"});
}

inspect::Report inspect_with(const fs::path& file, const fs::path& eFuse, const fs::path& key) {
  inspect::DeviceInputs device;
  if (!eFuse.empty() && !device.set_efuse(bytes_of(eFuse))) throw std::runtime_error("eFuse");
  if (!key.empty() && !device.set_key(bytes_of(key))) throw std::runtime_error("key");
  return inspect::inspect_file(file.string(), device);
}

const inspect::Field& field_of(const inspect::Report& report, const std::string& section,
                               const std::string& name) {
  for (const inspect::Section& s : report.sections) {
    if (s.name != section) continue;
    for (const inspect::Field& f : s.fields) {
      if (f.name == name) return f;
    }
  }
  throw std::runtime_error("no field '" + name + "' in section '" + section + "' of " +
                           report.file);
}

std::string text_of(const inspect::Report& report, const std::string& section,
                    const std::string& name) {
  return std::get<std::string>(field_of(report, section, name).value);
}

std::uint64_t number_of(const inspect::Report& report, const std::string& section,
                        const std::string& name) {
  return std::get<std::uint64_t>(field_of(report, section, name).value);
}

}  // namespace inspect_test
