#include "tarnwick/face.h"

#include <sys/stat.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "core/commands.h"
#include "core/report.h"
#include "core/signing_key.h"
#include "format/format.h"
#include "inspect/inspect.h"
#include "sbl/layout.h"
#include "tarnwick/command_line.h"
#include "tarnwick/external.h"
#include "tarnwick/import.h"
#include "tarnwick/export.h"

namespace tarnwick {

namespace {

using core::Class;

constexpr std::string_view kVersion = "2.1";

int status_of(Class kind) {
  switch (kind) {
    case Class::kVerify:
      return kExitVerify;
    case Class::kUsage:
      return kExitUsage;
    case Class::kKey:
      return kExitKey;
    case Class::kInput:
      return kExitInput;
    case Class::kToken:
      return kExitToken;
    case Class::kSystem:
      return kExitSystem;
    case Class::kOutput:
      return kExitOutput;
  }
  return kExitSystem;
}

std::string_view class_name(Class kind) {
  switch (kind) {
    case Class::kVerify:
      return "verify";
    case Class::kUsage:
      return "usage";
    case Class::kKey:
      return "key";
    case Class::kInput:
      return "input";
    case Class::kToken:
      return "token";
    case Class::kSystem:
      return "system";
    case Class::kOutput:
      return "output";
  }
  return "system";
}

// What one run found out, whichever way it ends.
struct Result {
  const CommandLine* line = nullptr;
  const sbl::KeySetLayout* set = nullptr;
  core::Report report;
  std::vector<inspect::Check> checks;
  std::optional<core::Refusal> error;
  std::vector<std::string> lines;  // success lines, in order
  std::vector<std::string> warnings;
  std::string text;  // help
};

// ---------------------------------------------------------------------------------------------
// Which set

const sbl::KeySetLayout* set_named(const std::optional<std::string>& name) {
  if (!name) return nullptr;
  return *name == "v1.1" ? &sbl::kKeySetV11 : &sbl::kKeySetV21;
}

std::optional<std::uint64_t> size_of(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  return static_cast<std::uint64_t>(st.st_size);
}

// The set a key file belongs to, told by its size (every file of ours has a fixed one); null
// when the size is no key file's. A missing file tells nothing: the command reports it.
enum class KeyKind { kPublic, kPrivate, kEFuse };
std::optional<const sbl::KeySetLayout*> set_of_file(const std::string& path, KeyKind kind) {
  const auto size = size_of(path);
  if (!size) return std::nullopt;
  switch (kind) {
    case KeyKind::kEFuse:
      if (*size == sbl::EFuseV21::kSize) return &sbl::kKeySetV21;
      if (*size == sbl::EFuseV11::kSize) return &sbl::kKeySetV11;
      break;
    case KeyKind::kPublic:
      if (*size == SignedPublicKeyFileV21::kSize) return &sbl::kKeySetV21;
      if (*size == PublicKeyRecordV11::kSize) return &sbl::kKeySetV11;
      break;
    case KeyKind::kPrivate:
      if (core::read_key_reference(path.c_str())) return std::nullopt;  // the token tells
      if (*size == ProtectedPrivateKeyFile::kSizeV21) return &sbl::kKeySetV21;
      if (*size == PrivateKeyRecordV11::kSize || *size == ProtectedPrivateKeyFile::kSizeV11) {
        return &sbl::kKeySetV11;
      }
      break;
  }
  return nullptr;
}

// Settles the set from --set and the key files named (file, kind); refuses files of different
// sets, or a file of neither when nothing else tells the set.
bool settle_set(Result& result, std::initializer_list<std::pair<std::string, KeyKind>> files) {
  const sbl::KeySetLayout* chosen = set_named(result.line->set);
  std::string chosenBy = chosen ? "--set" : "";
  for (const auto& [path, kind] : files) {
    if (path.empty()) continue;
    const auto found = set_of_file(path, kind);
    if (!found) continue;
    if (*found == nullptr) {
      if (chosen != nullptr) continue;  // the command refuses it in its own words
      result.report.refuse(Class::kKey, core::Event::kSilent, path,
                           std::to_string(*size_of(path)) +
                               " bytes: no key file of either set has that size");
      return false;
    }
    if (chosen != nullptr && chosen != *found) {
      result.report.refuse(Class::kKey, core::Event::kSilent, path,
                           std::string("a ") + (*found)->name + " file, but " + chosenBy +
                               " is " + chosen->name);
      return false;
    }
    if (chosen == nullptr) {
      chosen = *found;
      chosenBy = path;
    }
  }
  result.set = chosen;
  return true;
}

std::string in_folder(const std::string& dir, const char* name) {
  if (dir.empty() || dir == ".") return name;
  return dir + (dir.back() == '/' ? "" : "/") + name;
}

// ---------------------------------------------------------------------------------------------
// Commands

Existing existing_for(const CommandLine& line) {
  return line.force ? Existing::kReplace : Existing::kRefuse;
}

// An image command never writes over its own input, --force or not: the input is the only copy
// of what was secured or signed, and a slip in the arguments must not lose it.
bool output_is_the_input(Result& result) {
  const CommandLine& line = *result.line;
  const std::string& input = line.operands.front();
  if (!same_file(line.output->c_str(), input.c_str())) return false;
  result.report.refuse(Class::kOutput, core::Event::kSilent, *line.output,
                       "is the input " + input + "; write the output to another file");
  return true;
}

void make_keys(Result& result) {
  const CommandLine& line = *result.line;
  const sbl::KeySetLayout& set = set_named(line.set) ? *set_named(line.set) : sbl::kKeySetV21;
  result.set = &set;
  const std::string dir = line.dir.value_or(".");
  if (line.dir && ::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
    result.report.refuse(Class::kOutput, core::Event::kSilent, dir,
                         "the key folder cannot be made: " + std::string(std::strerror(errno)));
    return;
  }
  core::KeyPairJob job{&set, line.command == Command::kKeysMaker, {}, {}, {},
                       line.token ? line.token->c_str() : nullptr};
  if (line.command == Command::kKeysImport) job.maker = line.importMaker;
  if (job.maker) {
    job.privateKey = in_folder(dir, set.files.makerPrivateKey);
    job.publicKey = in_folder(dir, set.files.makerPublicKey);
    job.eFuse = in_folder(dir, set.files.makerEFuse);
  } else {
    const std::string& name = line.operands.front();
    const auto names = name.find('/') == std::string::npos
                           ? core::customer_files(set, in_folder(dir, name.c_str()))
                           : std::nullopt;
    if (!names) {
      result.report.refuse(Class::kUsage, core::Event::kSilent, name,
                           "a customer NAME is a plain name of at most 119 bytes; the folder is "
                           "--dir");
      return;
    }
    job.privateKey = names->privateKey;
    job.publicKey = names->publicKey;
  }
  if (line.command == Command::kKeysImport) {
    static_cast<void>(import_key(result.report, line, job));
    return;
  }
  static_cast<void>(core::make_key_pair(result.report, job));
}

void secure(Result& result) {
  const CommandLine& line = *result.line;
  if (output_is_the_input(result)) return;
  const std::string makerDir = *line.maker;
  // The set is the next-stage key's; the maker folder must hold that set's files.
  if (!settle_set(result, {{*line.nextKey, KeyKind::kPublic}})) return;
  if (result.set == nullptr) result.set = &sbl::kKeySetV21;
  const sbl::KeySetLayout& set = *result.set;
  if (line.buildInfo && !set.crtSigning) {
    result.report.refuse(Class::kUsage, core::Event::kSilent, *line.nextKey,
                         "--build-info is for v2.1 BL1s; this next-stage key is v1.1");
    return;
  }
  const std::string privateKey = in_folder(makerDir, set.files.makerPrivateKey);
  const std::string eFuse = in_folder(makerDir, set.files.makerEFuse);
  const std::string publicKey = in_folder(makerDir, set.files.makerPublicKey);
  const std::array<const char*, 4> keyFiles = {privateKey.c_str(), eFuse.c_str(),
                                                publicKey.c_str(), line.nextKey->c_str()};
  core::SecureJob job;
  job.set = &set;
  job.image = line.operands.front().c_str();
  job.output = line.output->c_str();
  job.makerPrivateKey = privateKey.c_str();
  job.makerEFuse = eFuse.c_str();
  job.makerPublicKey = publicKey.c_str();
  job.nextStageKey = line.nextKey->c_str();
  job.buildInfo = line.buildInfo;
  job.pad = line.pad;
  job.existing = existing_for(line);
  job.keyFiles = keyFiles;
  if (line.external) {
    secure_external(result.report, line, job);
    return;
  }
  static_cast<void>(core::secure_bl1(result.report, job));
}

void sign(Result& result) {
  const CommandLine& line = *result.line;
  if (output_is_the_input(result)) return;
  if (line.external) {  // --key is the public key file the signature must verify with
    if (const auto found = set_of_file(*line.key, KeyKind::kPrivate); found && *found) {
      result.report.refuse(Class::kKey, core::Event::kSilent, *line.key,
                           "a private key file; --external takes the public key file the "
                           "signature must verify with");
      return;
    }
    if (!settle_set(result, {{*line.key, KeyKind::kPublic}})) return;
    if (result.set == nullptr) result.set = &sbl::kKeySetV21;
    sign_external(result.report, line, *result.set);
    return;
  }
  if (!settle_set(result, {{*line.key, KeyKind::kPrivate}})) return;
  const std::array<const char*, 1> keyFiles = {line.key->c_str()};
  core::SignJob job;
  job.set = result.set;  // null for a key reference: the token key's size tells
  job.image = line.operands.front().c_str();
  job.output = line.output->c_str();
  job.privateKey = line.key->c_str();
  job.existing = existing_for(line);
  job.keyFiles = keyFiles;
  static_cast<void>(core::sign_bl2(result.report, job));
  if (result.set == nullptr && !result.report.keys().empty()) {
    const std::string& name = result.report.keys().front().set;
    result.set = name == "v1.1" ? &sbl::kKeySetV11 : &sbl::kKeySetV21;
  }
}

// A signature made elsewhere into its prepared image: the set from --key or --efuse, else from
// the signature's length.
void attach_signature(Result& result) {
  const CommandLine& line = *result.line;
  if (output_is_the_input(result)) return;
  if (!settle_set(result, {{line.key.value_or(""), KeyKind::kPublic},
                           {line.efuse.value_or(""), KeyKind::kEFuse}})) {
    return;
  }
  attach(result.report, line, result.set, result.checks);
}

// A device's checks one by one, as sbinspect makes them, over the same files.
void device_checks(Result& result, const std::string& image) {
  const CommandLine& line = *result.line;
  inspect::DeviceInputs device;
  const auto give = [&](const std::optional<std::string>& path, bool eFuse) {
    if (!path) return true;
    const inspect::Input input = inspect::read_input(*path);
    if (input.status != inspect::Input::Status::kRead) return false;
    return eFuse ? device.set_efuse(input.view()) : device.set_key(input.view());
  };
  if (!give(line.efuse, true) || !give(line.efuse ? line.nextKey : line.key, false)) return;
  const inspect::Report report = inspect::inspect_file(image, device);
  result.checks = report.checks;
}

void verify(Result& result) {
  const CommandLine& line = *result.line;
  const std::string& image = line.operands.front();
  if (line.efuse) {
    if (!settle_set(result, {{*line.efuse, KeyKind::kEFuse},
                             {line.nextKey.value_or(""), KeyKind::kPublic}})) {
      return;
    }
    if (result.set == nullptr) result.set = &sbl::kKeySetV21;
    if (core::verify_bl1(result.report, *result.set, image.c_str(), line.efuse->c_str()) != 0) {
      return;
    }
  } else {
    if (!settle_set(result, {{*line.key, KeyKind::kPublic}})) return;
    if (result.set == nullptr) result.set = &sbl::kKeySetV21;
    if (core::verify_bl2(result.report, *result.set, image.c_str(), line.key->c_str()) != 0) {
      return;
    }
  }
  // The device's check passed; each check on its own must pass as well (the code decrypts, the
  // next-stage key is the one given).
  device_checks(result, image);
  for (const inspect::Check& check : result.checks) {
    if (!check.passed) {
      result.report.refuse(Class::kVerify, core::Event::kSilent, image,
                           check.name + ": " + check.detail);
      return;
    }
  }
}

// ---------------------------------------------------------------------------------------------
// Rendering

std::string keys_text(const core::Report& report) {
  std::string text;
  for (const core::KeyUse& key : report.keys()) text += ", " + key.role + " " + key.fingerprint;
  return text;
}

void success_lines(Result& result) {
  const core::Report& report = result.report;
  const Command command = result.line->command;
  if (command == Command::kKeysExport) return export_lines(report, result.lines);
  for (const core::Note& note : report.notes()) {
    if (note.event == core::Event::kPadded) {
      result.lines.push_back(printable(note.file) + ": padded " + note.cause);
    }
  }
  for (const core::Written& file : report.written()) {
    std::string line = printable(file.path) + ": " + file.what + ", " +
                       std::to_string(file.size) + " bytes";
    const bool keys = command == Command::kKeysMaker || command == Command::kKeysCustomer ||
                      command == Command::kKeysImport;
    if (keys && file.what.find("public key") != std::string::npos && !report.keys().empty()) {
      line += ", fingerprint " + report.keys().front().fingerprint;
    } else if (!keys) {
      line += keys_text(report);
    }
    result.lines.push_back(line);
  }
  if (command == Command::kAttach) {
    for (const inspect::Check& check : result.checks) {
      result.lines.push_back(printable(result.line->output.value_or("")) + ": " + check.name +
                             ": " + check.detail);
    }
  }
  if (command == Command::kVerify) {
    const char* what = result.line->efuse ? " secured BL1" : " signed BL2";
    result.lines.push_back(printable(result.line->operands.front()) + ": verified, " +
                           result.set->name + what + keys_text(report));
  }
}

std::string json_of(const Result& result, bool ok) {
  using inspect::json_string;
  const CommandLine* line = result.line;
  const std::string_view name = line ? command_name(line->command) : "";
  std::string out = "{\"command\":" + (name.empty() ? "null" : json_string(name));
  out += std::string(",\"ok\":") + (ok ? "true" : "false");
  out += ",\"set\":" + (result.set ? json_string(result.set->name) : "null");
  out += ",\"outputs\":[";
  const char* comma = "";
  for (const core::Written& file : result.report.written()) {
    out += comma;
    out += "{\"path\":" + json_string(file.path) + ",\"size\":" + std::to_string(file.size) +
           ",\"sha256\":\"" + hex_text(file.sha256) + "\"}";
    comma = ",";
  }
  out += "],\"keys\":[";
  comma = "";
  for (const core::KeyUse& key : result.report.keys()) {
    out += comma;
    out += "{\"role\":" + json_string(key.role) + ",\"set\":" + json_string(key.set) +
           ",\"fingerprint\":" + json_string(key.fingerprint) + "}";
    comma = ",";
  }
  out += "],\"checks\":[";
  comma = "";
  for (const inspect::Check& check : result.checks) {
    out += comma;
    out += "{\"name\":" + json_string(check.name) + ",\"pass\":" +
           (check.passed ? "true" : "false") + ",\"reason\":" + json_string(check.detail) + "}";
    comma = ",";
  }
  out += "],\"error\":";
  if (result.error) {
    out += "{\"class\":" + json_string(class_name(result.error->kind)) +
           ",\"status\":" + std::to_string(status_of(result.error->kind)) +
           ",\"file\":" + (result.error->file.empty() ? "null" : json_string(result.error->file)) +
           ",\"message\":" + json_string(result.error->cause) + "}";
  } else {
    out += "null";
  }
  if (line && line->command == Command::kVersion) out += ",\"version\":" + json_string(kVersion);
  if (!result.text.empty()) out += ",\"text\":" + json_string(result.text);
  return out + "}\n";
}

std::string error_line(const core::Refusal& refusal) {
  std::string text = "tarnwick: ";
  if (!refusal.file.empty()) text += printable(refusal.file) + ": ";
  return text + printable(refusal.cause) + "\n";
}

}  // namespace

int run(std::span<const std::string_view> args, std::string& out, std::string& err) {
  CommandLine seen;
  std::string usage;
  const std::optional<CommandLine> parsed = parse(args, seen, usage);
  Result result;
  result.report = core::Report([&result](const core::Note& note) {
    if (note.event == core::Event::kTokenWarning) result.warnings.push_back(note.cause);
  });
  if (!parsed) {
    result.error = core::Refusal{Class::kUsage, "", usage + "; tarnwick help shows the usage"};
    if (seen.json) out += json_of(result, false);
    err += error_line(*result.error);
    return kExitUsage;
  }
  const CommandLine& line = *parsed;
  result.line = &line;
  if (line.command == Command::kVersion) {
    if (line.json) {
      out += json_of(result, true);
    } else {
      out += "tarnwick " + std::string(kVersion) + "\n";
    }
    return 0;
  }
  if (line.command == Command::kHelp || line.help) {
    Command about = line.command;
    if (line.command == Command::kHelp && !line.operands.empty()) {
      const std::string_view word = line.operands.front();
      about = word == "keys"     ? Command::kKeysMaker
              : word == "secure" ? Command::kSecure
              : word == "sign"   ? Command::kSign
              : word == "verify" ? Command::kVerify
              : word == "attach" ? Command::kAttach
                                 : Command::kHelp;
      if (word == "keys") {
        result.text = help_text(Command::kKeysMaker) + help_text(Command::kKeysCustomer);
        result.text += help_text(Command::kKeysImport) + help_text(Command::kKeysExport);
      }
    }
    if (result.text.empty()) result.text = help_text(about);
    out += line.json ? json_of(result, true) : result.text;
    return 0;
  }
  switch (line.command) {
    case Command::kKeysMaker:
    case Command::kKeysCustomer:
    case Command::kKeysImport:
      make_keys(result);
      break;
    case Command::kSecure:
      secure(result);
      break;
    case Command::kSign:
      sign(result);
      break;
    case Command::kVerify:
      verify(result);
      break;
    case Command::kAttach:
      attach_signature(result);
      break;
    case Command::kKeysExport:
      export_key(line, result.report, result.set);
      break;
    default:
      break;
  }
  for (const std::string& warning : result.warnings) {
    err += "tarnwick: warning: " + printable(warning) + "\n";
  }
  if (result.report.refused()) {
    result.error = result.report.refusal();
    if (line.json) out += json_of(result, false);
    err += error_line(*result.error);
    return status_of(result.error->kind);
  }
  if (line.json) {
    out += json_of(result, true);
  } else if (!line.quiet) {
    success_lines(result);
    for (const std::string& text : result.lines) out += text + "\n";
  }
  return 0;
}

}  // namespace tarnwick
