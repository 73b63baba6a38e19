#include "cli/dispatch.h"

#include <algorithm>
#include <array>
#include <optional>

#include "cli/commands.h"
#include "cli/usage.h"
#include "sbl/layout.h"

namespace {

enum class Action {
  kMakerKeyPair,
  kHelp,
  kVersion,
  kCustomerKeyPair,
  kStage1,
  kVerifyStage1,
  kVerifyStage2,
  kStage1WithBuildInfo,
  kStage2,
  kMakerKeyPairInToken,
  kCustomerKeyPairInToken,
  kStoreInToken,
};

struct Row {
  int argc;
  std::string_view keyword;  // compared with argv[argc - 1]
  Action action;
};

// Rows are tried in this order; the first match wins.
constexpr std::array<Row, 13> kRows = {{
    {3, "-KEYGEN", Action::kMakerKeyPair},
    {3, "-help", Action::kHelp},
    {3, "-v", Action::kVersion},
    {3, "-version", Action::kVersion},
    {4, "-STAGE2_KEYGEN", Action::kCustomerKeyPair},
    {5, "-STAGE1", Action::kStage1},
    {5, "-VERIFY", Action::kVerifyStage1},
    {5, "-STAGE2_VERIFY", Action::kVerifyStage2},
    {6, "-P", Action::kStage1WithBuildInfo},
    {6, "-STAGE2", Action::kStage2},
    {4, "-KEYGEN", Action::kMakerKeyPairInToken},
    {5, "-STAGE2_KEYGEN", Action::kCustomerKeyPairInToken},
    {6, "-TOKEN_IMPORT", Action::kStoreInToken},
}};

// The token rows take a PKCS#11 URI at this argument; anything else there is a usage error.
int uri_argument(Action action) {
  switch (action) {
    case Action::kMakerKeyPairInToken:
      return 2;
    case Action::kCustomerKeyPairInToken:
    case Action::kStoreInToken:
      return 3;
    default:
      return 0;
  }
}

std::optional<Action> find_action(const CommandSet& set, int argc, char** argv) {
  if (argc < 3 || argc > 6) return std::nullopt;
  const std::string_view last = argv[argc - 1];
  for (const Row& row : kRows) {
    if (row.argc != argc || row.keyword != last) continue;
    if (row.action == Action::kStage1WithBuildInfo && set.stage1WithBuildInfo == nullptr) {
      return std::nullopt;
    }
    if (const int at = uri_argument(row.action);
        at != 0 && (set.generateKeyPairInToken == nullptr || set.storeKeyInToken == nullptr ||
                    std::string_view(argv[at]).substr(0, 7) != "pkcs11:")) {
      return std::nullopt;
    }
    return row.action;
  }
  return std::nullopt;
}

// A key-pair command that failed (generation, or any file not written in full) fails the
// process; it has printed its own message.
int generate_key_pair(const CommandSet& set, std::int32_t mode, const char* baseName,
                      const char* uri = nullptr) {
  print_text(set.generatingLine);
  const std::int32_t rc = uri == nullptr ? set.generateKeyPair(mode, baseName)
                                         : set.generateKeyPairInToken(mode, baseName, uri);
  return rc == 0 ? 0 : -1;
}

int run(const CommandSet& set, Action action, char** argv) {
  switch (action) {
    case Action::kMakerKeyPair:
      return generate_key_pair(set, kMakerMode, nullptr);
    case Action::kHelp:
      set.printUsage();
      return 0;
    case Action::kVersion:
      print_text(kVersionLine);
      return 0;
    case Action::kCustomerKeyPair:
      return generate_key_pair(set, kCustomerMode, argv[2]);
    case Action::kStage1:
      return set.stage1(argv[2], argv[3]);
    case Action::kVerifyStage1:
      return set.verifyStage1(argv[2], argv[3]);
    case Action::kVerifyStage2:
      return set.verifyStage2(argv[2], argv[3]);
    case Action::kStage1WithBuildInfo:
      return set.stage1WithBuildInfo(argv[2], argv[3]);
    case Action::kStage2:
      return set.stage2(argv[2], argv[3], argv[4]);
    case Action::kMakerKeyPairInToken:
      return generate_key_pair(set, kMakerMode, nullptr, argv[2]);
    case Action::kCustomerKeyPairInToken:
      return generate_key_pair(set, kCustomerMode, argv[2], argv[3]);
    case Action::kStoreInToken:
      return set.storeKeyInToken(argv[2], argv[3], argv[4]) == 0 ? 0 : -1;
  }
  return -1;
}

}  // namespace

int exit_status_for(int result) {
  const bool lowByteZero = (static_cast<unsigned>(result) & 0xFFu) == 0;
  return result != 0 && lowByteZero ? -1 : result;
}

int dispatch(const CommandSet& set, int argc, char** argv) {
  print_banner(set.title);
  const std::optional<Action> action = find_action(set, argc, argv);
  if (!action) {
    set.printUsage();
    return -1;
  }
  return run(set, *action, argv);
}

const CommandSet kCommandSetV11 = {
    kTitleV11,
    "RSA 1024 bits key is generating...\n",
    print_SB10_Usage,
    sb10_Generate_KeyPair,
    sb10_Generate_Stage1,
    nullptr,
    sb10_Verify_Stage1,
    sb10_Generate_Stage2,
    sb10_Verify_Stage2,
    sb10_Generate_KeyPair_InToken,
    [](const char* keyFile, const char* uri, const char* referenceFile) {
      return Store_Key_InToken(sbl::kKeySetV11, keyFile, uri, referenceFile);
    },
};

const CommandSet kCommandSetV21 = {
    kTitleV21,
    "RSA 2048 bits key is generating...\n",
    print_SB20_Usage,
    sb20_Generate_KeyPair,
    sb20_Generate_Stage1,
    sb20_Generate_Stage1_Polymorphic,
    sb20_Verify_Stage1,
    sb20_Generate_Stage2,
    sb20_Verify_Stage2,
    sb20_Generate_KeyPair_InToken,
    [](const char* keyFile, const char* uri, const char* referenceFile) {
      return Store_Key_InToken(sbl::kKeySetV21, keyFile, uri, referenceFile);
    },
};

int sb10_main(int argc, char** argv) {
  return dispatch(kCommandSetV11, argc, argv);
}
int sb20_main(int argc, char** argv) {
  return dispatch(kCommandSetV21, argc, argv);
}
