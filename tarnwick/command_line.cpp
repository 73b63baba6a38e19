#include "tarnwick/command_line.h"

#include <algorithm>
#include <array>

namespace tarnwick {

namespace {

// Each option once: its names, whether it takes a value, and the commands that accept it.
enum Bit : unsigned {
  kKeysMakerBit = 1u << 0,
  kKeysCustomerBit = 1u << 1,
  kSecureBit = 1u << 2,
  kSignBit = 1u << 3,
  kVerifyBit = 1u << 4,
  kAttachBit = 1u << 5,
  kKeysImportBit = 1u << 6,
  kKeysExportBit = 1u << 7,
};
constexpr unsigned kKeys = kKeysMakerBit | kKeysCustomerBit | kKeysImportBit;
constexpr unsigned kAll = kKeys | kSecureBit | kSignBit | kVerifyBit | kAttachBit;

struct Option {
  std::string_view name;
  std::string_view shortName;
  bool takesValue;
  unsigned commands;
  std::optional<std::string> CommandLine::*value;
  bool CommandLine::*flag;
};

constexpr std::array<Option, 19> kOptions = {{
    {"--output", "-o", true, kSecureBit | kSignBit | kAttachBit | kKeysExportBit, &CommandLine::output, nullptr},
    {"--maker", "", true, kSecureBit, &CommandLine::maker, nullptr},
    {"--next-key", "", true, kSecureBit | kVerifyBit, &CommandLine::nextKey, nullptr},
    {"--key", "", true, kSignBit | kVerifyBit | kAttachBit, &CommandLine::key, nullptr},
    {"--efuse", "", true, kVerifyBit | kAttachBit, &CommandLine::efuse, nullptr},
    {"--dir", "", true, kKeys, &CommandLine::dir, nullptr},
    {"--token", "", true, kKeys, &CommandLine::token, nullptr},
    {"--set", "", true, kAll, &CommandLine::set, nullptr},
    {"--force", "", false, kSecureBit | kSignBit | kAttachBit | kKeysExportBit, nullptr,
     &CommandLine::force},
    {"--pad", "", false, kSecureBit, nullptr, &CommandLine::pad},
    {"--build-info", "", false, kSecureBit, nullptr, &CommandLine::buildInfo},
    {"--help", "-h", false, kAll | kKeysExportBit, nullptr, &CommandLine::help},
    {"--external", "", false, kSecureBit | kSignBit, nullptr, &CommandLine::external},
    {"--digest-out", "", true, kSecureBit | kSignBit, &CommandLine::digestOut, nullptr},
    {"--hex", "", false, kSecureBit | kSignBit, nullptr, &CommandLine::hex},
    {"--signature", "", true, kAttachBit, &CommandLine::signature, nullptr},
    {"--passphrase-file", "", true, kKeysImportBit, &CommandLine::passphraseFile, nullptr},
    {"--format", "", true, kKeysExportBit, &CommandLine::format, nullptr},
    {"--pkcs1", "", false, kKeysExportBit, nullptr, &CommandLine::pkcs1},
}};

unsigned bit_of(Command command) {
  switch (command) {
    case Command::kKeysMaker:
      return kKeysMakerBit;
    case Command::kKeysCustomer:
      return kKeysCustomerBit;
    case Command::kSecure:
      return kSecureBit;
    case Command::kSign:
      return kSignBit;
    case Command::kVerify:
      return kVerifyBit;
    case Command::kAttach:
      return kAttachBit;
    case Command::kKeysImport:
      return kKeysImportBit;
    case Command::kKeysExport:
      return kKeysExportBit;
    default:
      return 0;
  }
}

// The operands each command takes, and what it must be given.
std::optional<std::string> missing(const CommandLine& line) {
  const auto need = [](const auto& value, std::string_view what) -> std::optional<std::string> {
    if (!value) return std::string(what) + " is missing";
    return std::nullopt;
  };
  const std::size_t operands = line.operands.size();
  if ((line.digestOut || line.hex) && !line.external) {
    return "--digest-out and --hex go with --external";
  }
  if (line.external && !line.digestOut) return "--external needs --digest-out D";
  switch (line.command) {
    case Command::kKeysMaker:
      if (operands != 0) return "keys maker takes no operand (the folder is --dir)";
      return std::nullopt;
    case Command::kKeysCustomer:
      if (operands != 1) return "keys customer takes one NAME";
      return std::nullopt;
    case Command::kSecure:
      if (operands != 1) return "secure takes one BL1 file";
      if (auto m = need(line.output, "-o OUT")) return m;
      if (auto m = need(line.maker, "--maker DIR")) return m;
      return need(line.nextKey, "--next-key KEY.spk");
    case Command::kSign:
      if (operands != 1) return "sign takes one BL2 file";
      if (auto m = need(line.output, "-o OUT")) return m;
      return need(line.key, "--key KEY.prv");
    case Command::kVerify:
      if (operands != 1) return "verify takes one image file";
      if (line.efuse.has_value() == line.key.has_value()) {
        return "verify takes either --efuse FILE (a secured BL1) or --key KEY.spk (a signed BL2)";
      }
      if (line.nextKey && !line.efuse) return "--next-key goes with --efuse";
      return std::nullopt;
    case Command::kAttach:
      if (operands != 1) return "attach takes one prepared image";
      if (auto m = need(line.output, "-o OUT")) return m;
      if (line.key && line.efuse) {
        return "attach takes --key KEY.spk (a BL2) or --efuse FILE (a BL1), not both";
      }
      return need(line.signature, "--signature SIG");
    case Command::kKeysImport:
      if (!line.importKey) return "keys import takes KEY maker|customer [NAME]";
      if (line.importMaker && operands != 0) return "keys import KEY maker takes no NAME";
      if (!line.importMaker && operands != 1) return "keys import KEY customer takes one NAME";
      return std::nullopt;
    case Command::kKeysExport:
      if (operands != 1) return "keys export takes one KEYFILE";
      if (line.format && *line.format != "pem" && *line.format != "der") {
        return "--format is pem or der, not " + *line.format;
      }
      return need(line.output, "-o OUT");
    case Command::kHelp:
      if (operands > 1) return "help takes at most one command";
      return std::nullopt;
    default:
      return std::nullopt;
  }
}

}  // namespace

std::string_view command_name(Command command) {
  switch (command) {
    case Command::kKeysMaker:
      return "keys maker";
    case Command::kKeysCustomer:
      return "keys customer";
    case Command::kSecure:
      return "secure";
    case Command::kSign:
      return "sign";
    case Command::kVerify:
      return "verify";
    case Command::kKeysImport:
      return "keys import";
    case Command::kHelp:
      return "help";
    case Command::kVersion:
      return "version";
    case Command::kAttach:
      return "attach";
    case Command::kKeysExport:
      return "keys export";
    case Command::kNone:
      break;
  }
  return "";
}

std::optional<CommandLine> parse(std::span<const std::string_view> args, CommandLine& line,
                                 std::string& error) {
  bool optionsEnd = false;
  bool keysWord = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string_view arg = args[i];
    if (!optionsEnd && arg == "--") {
      optionsEnd = true;
      continue;
    }
    if (!optionsEnd && arg.size() > 1 && arg.front() == '-') {
      if (arg == "--json") {
        line.json = true;
        continue;
      }
      if (arg == "--quiet" || arg == "-q") {
        line.quiet = true;
        continue;
      }
      if (arg == "--version" && line.command == Command::kNone) {
        line.command = Command::kVersion;
        continue;
      }
      const std::size_t equals = arg.find('=');
      const std::string_view name = arg.substr(0, equals);
      const auto option = std::find_if(kOptions.begin(), kOptions.end(), [&](const Option& o) {
        return o.name == name || (!o.shortName.empty() && o.shortName == name);
      });
      if (option == kOptions.end()) {
        error = "unknown option " + std::string(name);
        return std::nullopt;
      }
      if (option->name == "--help" && line.command == Command::kNone) {
        line.command = Command::kHelp;
        continue;
      }
      if ((option->commands & bit_of(line.command)) == 0) {
        error = line.command == Command::kNone || line.command == Command::kVersion ||
                        line.command == Command::kHelp
                    ? std::string(option->name) + " comes after a command"
                    : std::string(option->name) + " does not apply to " +
                          std::string(command_name(line.command));
        return std::nullopt;
      }
      if (!option->takesValue) {
        if (equals != std::string_view::npos) {
          error = std::string(option->name) + " takes no value";
          return std::nullopt;
        }
        line.*(option->flag) = true;
        continue;
      }
      std::string value;
      if (equals != std::string_view::npos) {
        value = std::string(arg.substr(equals + 1));
      } else if (i + 1 < args.size()) {
        value = std::string(args[++i]);
      } else {
        error = std::string(option->name) + " needs a value";
        return std::nullopt;
      }
      if (value.empty()) {
        error = std::string(option->name) + " needs a value";
        return std::nullopt;
      }
      if (line.*(option->value)) {
        error = std::string(option->name) + " is given twice";
        return std::nullopt;
      }
      line.*(option->value) = std::move(value);
      continue;
    }
    // A word: the command (two words for keys), then its operands.
    if (line.command == Command::kNone && !keysWord) {
      if (arg == "keys") {
        keysWord = true;
      } else if (arg == "secure") {
        line.command = Command::kSecure;
      } else if (arg == "sign") {
        line.command = Command::kSign;
      } else if (arg == "verify") {
        line.command = Command::kVerify;
      } else if (arg == "help") {
        line.command = Command::kHelp;
      } else if (arg == "attach") {
        line.command = Command::kAttach;
      } else {
        error = "unknown command " + std::string(arg);
        return std::nullopt;
      }
      continue;
    }
    if (keysWord && line.command == Command::kNone) {
      if (arg == "maker") {
        line.command = Command::kKeysMaker;
      } else if (arg == "customer") {
        line.command = Command::kKeysCustomer;
      } else if (arg == "import") {
        line.command = Command::kKeysImport;
      } else if (arg == "export") {
        line.command = Command::kKeysExport;
      } else {
        error = "keys takes maker, customer, import or export, not " + std::string(arg);
        return std::nullopt;
      }
      continue;
    }
    line.operands.emplace_back(arg);
  }
  if (keysWord && line.command == Command::kNone) {
    error = "keys takes maker, customer, import or export";
    return std::nullopt;
  }
  if (line.command == Command::kNone) {
    error = "no command given";
    return std::nullopt;
  }
  // keys import KEY maker|customer [NAME]: the first two operands are the import's own.
  if (line.command == Command::kKeysImport && line.operands.size() >= 2 &&
      (line.operands[1] == "maker" || line.operands[1] == "customer")) {
    line.importKey = line.operands[0];
    line.importMaker = line.operands[1] == "maker";
    line.operands.erase(line.operands.begin(), line.operands.begin() + 2);
  }
  if (line.command == Command::kVersion && !line.operands.empty()) {
    error = "--version takes no operand";
    return std::nullopt;
  }
  if (line.set && *line.set != "v2.1" && *line.set != "v1.1") {
    error = "--set is v2.1 or v1.1, not " + *line.set;
    return std::nullopt;
  }
  if (!line.help) {
    if (auto m = missing(line)) {
      error = *m;
      return std::nullopt;
    }
  }
  return line;
}

std::string help_text(Command command) {
  switch (command) {
    case Command::kKeysMaker:
      return "usage: tarnwick keys maker [--set v2.1|v1.1] [--dir DIR] [--token URI]\n"
             "  Makes the maker's key pair and the eFuse value devices will carry, in DIR\n"
             "  (default: the current folder) under the names Tarnwick_V21 uses. Key files\n"
             "  are never replaced. With --token the private key is made in the token.\n";
    case Command::kKeysCustomer:
      return "usage: tarnwick keys customer NAME [--set v2.1|v1.1] [--dir DIR] [--token URI]\n"
             "  Makes a customer's key pair NAME_V21.spk and NAME_V21.prv (v1.1: NAME.spk,\n"
             "  NAME.prv) in DIR. Key files are never replaced.\n";
    case Command::kKeysImport:
      return "usage: tarnwick keys import KEY maker|customer [NAME] [--set S] [--dir DIR]\n"
             "                      [--token URI] [--passphrase-file FILE]\n"
             "  Takes a private key made elsewhere (PEM or DER; PKCS#1, PKCS#8, or PKCS#8\n"
             "  encrypted with PBES2 and AES-CBC) as the maker's key or customer NAME's, once\n"
             "  it is the set's and signs; writes the set's files as keys maker/customer do.\n"
             "  An encrypted key's passphrase is read from FILE, else asked for.\n";
    case Command::kSecure:
      return "usage: tarnwick secure BL1 -o OUT --maker DIR --next-key KEY.spk [--set S]\n"
             "                      [--build-info] [--pad] [--force]\n"
             "  Secures a BL1 with the maker's files in DIR and embeds the next-stage key\n"
             "  once its self-signature verifies; the result is checked as a device would.\n"
             "  --pad pads a v2.1 BL1 with zero bytes to whole AES blocks; --build-info adds\n"
             "  the build-information block (time: SOURCE_DATE_EPOCH, else the clock).\n"
             "  --external --digest-out D [--hex]: no maker private key; writes the image\n"
             "  with its context unsigned and the SHA-1 digest to sign elsewhere.\n";
    case Command::kSign:
      return "usage: tarnwick sign BL2 -o OUT --key KEY.prv [--set S] [--force]\n"
             "       tarnwick sign BL2 -o OUT --key KEY.spk --external --digest-out D [--hex]\n"
             "  Signs a BL2 with a customer's private key file or key reference.\n"
             "  With --external: writes the BL2 and the SHA-1 digest to sign elsewhere.\n";
    case Command::kKeysExport:
      return "usage: tarnwick keys export KEYFILE -o OUT [--format pem|der] [--pkcs1] [--force]\n"
             "  Writes the public key of any key file (public or private, or a key reference)\n"
             "  as an X.509 SubjectPublicKeyInfo, or with --pkcs1 as an RSAPublicKey; PEM\n"
             "  unless --format der.\n";
    case Command::kVerify:
      return "usage: tarnwick verify IMAGE (--efuse FILE [--next-key KEY.spk] | --key KEY.spk)\n"
             "                      [--set S]\n"
             "  Checks a secured BL1 against an eFuse value, or a signed BL2 with a public\n"
             "  key file, as a device does; each check is listed with --json.\n";
    case Command::kAttach:
      return "usage: tarnwick attach IMAGE --signature SIG -o OUT [--key KEY.spk | --efuse FILE]\n"
             "                      [--set S] [--force]\n"
             "  Puts a signature made elsewhere (RSASSA-PSS, SHA-1, big-endian as openssl\n"
             "  pkeyutl writes it) into an image prepared with --external, once it verifies:\n"
             "  a BL2 with --key, a BL1 with the maker key in its record (and with --efuse\n"
             "  the whole device check).\n";
    default:
      break;
  }
  return "usage: tarnwick [--json] [--quiet] COMMAND [OPTIONS]\n"
         "  keys maker    [--set v2.1|v1.1] [--dir DIR] [--token URI]\n"
         "  keys customer NAME [--set ...] [--dir DIR] [--token URI]\n"
         "  keys import KEY maker|customer [NAME] [--passphrase-file F] [--set ...]\n"
         "  keys export   KEYFILE -o OUT [--format pem|der] [--pkcs1]\n"
         "  secure  BL1 -o OUT --maker DIR --next-key KEY.spk [--build-info] [--pad]\n"
         "  sign    BL2 -o OUT --key KEY.prv\n"
         "  verify  IMAGE (--efuse FILE [--next-key KEY.spk] | --key KEY.spk)\n"
         "  attach  IMAGE --signature SIG -o OUT [--key KEY.spk | --efuse FILE]\n"
         "  help [COMMAND], COMMAND --help, --version\n"
         "Outputs are never replaced without --force; key files never. See tarnwick(1).\n";
}

}  // namespace tarnwick
