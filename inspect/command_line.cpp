// The command line: options, the files one after the other, the exit status.
#include <algorithm>

#include "inspect/inspect.h"

namespace inspect {

namespace {

constexpr std::string_view kUsage =
    "usage: sbinspect [--efuse FILE] [--key FILE] [--json] FILE...\n"
    "  --efuse FILE  a device's eFuse value (20 bytes: v2.1, 16 bytes: v1.1); adds the checks\n"
    "                of the record's tag and, for v2.1, the code's decryption; without it the\n"
    "                context signature is still checked, the maker key not\n"
    "  --key FILE    a customer's public key file (v2.1 _V21.spk or v1.1 .spk); adds the check\n"
    "                of a secured BL1's next-stage key, and recognises and checks signed BL2\n"
    "                images\n"
    "  --json        one JSON object per file, one per line\n"
    "  --version     the version line\n"
    "exit status: 0 every check made passed, 1 a check failed, 2 a usage error or a file\n"
    "that could not be read\n";

struct Options {
  std::string eFuseFile;
  std::string keyFile;
  bool json = false;
  bool help = false;
  bool version = false;
  std::vector<std::string> files;
};

// Returns the error text, or an empty string when the arguments are sound.
std::string parse(std::span<const std::string_view> args, Options& options) {
  bool optionsEnded = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string_view arg = args[i];
    if (optionsEnded || arg.size() < 2 || arg.substr(0, 1) != "-") {
      options.files.emplace_back(arg);
      continue;
    }
    if (arg == "--") {
      optionsEnded = true;
      continue;
    }
    if (arg == "--json") {
      options.json = true;
      continue;
    }
    if (arg == "-h" || arg == "--help") {
      options.help = true;
      continue;
    }
    if (arg == "--version") {
      options.version = true;
      continue;
    }
    std::string* target = nullptr;
    std::string_view name = arg;
    std::string_view value;
    bool inlineValue = false;
    if (const auto eq = arg.find('='); eq != std::string_view::npos) {
      name = arg.substr(0, eq);
      value = arg.substr(eq + 1);
      inlineValue = true;
    }
    if (name == "--efuse") target = &options.eFuseFile;
    if (name == "--key") target = &options.keyFile;
    if (target == nullptr) return "unknown option " + std::string(arg);
    if (!inlineValue) {
      if (i + 1 == args.size()) return std::string(name) + " needs a file";
      value = args[++i];
    }
    if (value.empty()) return std::string(name) + " needs a file";
    if (!target->empty()) return std::string(name) + " given twice";
    *target = std::string(value);
  }
  if (options.files.empty() && !options.help && !options.version) return "no file to inspect";
  return {};
}

// Reads a device input; an empty result means it was taken.
template <typename Take>
std::string load_device_input(const std::string& option, const std::string& path, Take take) {
  const Input input = read_input(path);
  if (input.status == Input::Status::kUnreadable) {
    return option + " " + path + ": cannot be read: " + input.reason;
  }
  if (input.status == Input::Status::kTooLarge || !take(input.view())) {
    return option + " " + path + ": " + std::to_string(input.size) + " bytes is not " +
           (option == "--efuse" ? "an eFuse value (20 bytes for v2.1, 16 for v1.1)"
                                : "a public key file (v2.1 _V21.spk of 548 bytes or v1.1 .spk "
                                  "record of 308 bytes)");
  }
  return {};
}

}  // namespace

Report inspect_file(const std::string& path, const DeviceInputs& device) {
  const Input input = read_input(path);
  if (input.status == Input::Status::kRead) return inspect_bytes(path, input.view(), device);
  Report report;
  report.file = path;
  report.size = input.size;
  report.kind = input.status == Input::Status::kTooLarge ? Kind::kTooLarge : Kind::kUnreadable;
  report.note = input.reason;
  return report;
}

int exit_status(std::span<const Report> reports) {
  const auto notInspected = [](const Report& r) {
    return r.kind == Kind::kUnreadable || r.kind == Kind::kTooLarge;
  };
  if (std::any_of(reports.begin(), reports.end(), notInspected)) return kExitUsage;
  const auto anyFailed = [](const Report& r) {
    return std::any_of(r.checks.begin(), r.checks.end(), [](const Check& c) { return !c.passed; });
  };
  return std::any_of(reports.begin(), reports.end(), anyFailed) ? 1 : 0;
}

int run(std::span<const std::string_view> args, std::string& out, std::string& err) {
  Options options;
  if (const std::string error = parse(args, options); !error.empty()) {
    err += "sbinspect: " + error + "\n";
    err += kUsage;
    return kExitUsage;
  }
  if (options.help) {
    out += kUsage;
    return 0;
  }
  if (options.version) {
    out += "sbinspect version 2.1\n";
    return 0;
  }
  DeviceInputs device;
  std::string error;
  if (!options.eFuseFile.empty()) {
    error = load_device_input("--efuse", options.eFuseFile,
                              [&](ByteView bytes) { return device.set_efuse(bytes); });
  }
  if (error.empty() && !options.keyFile.empty()) {
    error = load_device_input("--key", options.keyFile,
                              [&](ByteView bytes) { return device.set_key(bytes); });
  }
  if (!error.empty()) {
    err += "sbinspect: " + error + "\n";
    return kExitUsage;
  }
  std::vector<Report> reports;
  for (const std::string& file : options.files) {
    reports.push_back(inspect_file(file, device));
    out += options.json ? render_json(reports.back()) : render_text(reports.back());
  }
  return exit_status(reports);
}

}  // namespace inspect
