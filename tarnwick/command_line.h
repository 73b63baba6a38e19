// The command line of tarnwick: a command, its operands and named options, read without
// guessing. Anything the command does not take is a usage error naming it.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tarnwick {

enum class Command { kNone, kKeysMaker, kKeysCustomer, kSecure, kSign, kVerify, kHelp, kVersion,
                     kAttach, kKeysImport, kKeysExport };

struct CommandLine {
  Command command = Command::kNone;
  bool json = false;
  bool quiet = false;
  bool help = false;  // --help or -h after a command: that command's help
  bool force = false;
  bool pad = false;
  bool buildInfo = false;
  bool external = false;  // sign, secure: the signature is made elsewhere
  bool hex = false;
  std::vector<std::string> operands;
  std::optional<std::string> output, maker, nextKey, key, efuse, dir, token, set;
  std::optional<std::string> digestOut, signature;
  // keys import: the key file, whether it becomes the maker's key, --passphrase-file.
  std::optional<std::string> importKey, passphraseFile;
  bool importMaker = false;
  std::optional<std::string> format;  // keys export: pem or der
  bool pkcs1 = false;
};

// The parsed command line, or the usage error in `error` (one plain sentence). `json` is set as
// soon as it is seen, so that even a usage error can be answered in JSON.
[[nodiscard]] std::optional<CommandLine> parse(std::span<const std::string_view> args,
                                               CommandLine& seen, std::string& error);

// "keys maker", "secure", ...; "" for none.
[[nodiscard]] std::string_view command_name(Command command);

// The help text: the overview, or one command's.
[[nodiscard]] std::string help_text(Command command);

}  // namespace tarnwick
