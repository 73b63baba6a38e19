// Command selection within a set. A dispatcher prints the banner first, whatever follows, then
// picks the command from the argument count and the last argument, an exact case-sensitive
// match against the rows of its table; anything else prints the set's usage and fails.
//
//   argc  last argument        action
//   3     "-KEYGEN"            generating line, maker key pair          0, or -1 on failure
//   3     "-help"              the set's usage                          0
//   3     "-v", "-version"     "tarnWick version 2.1\n"                 0
//   4     "-STAGE2_KEYGEN"     generating line, customer key pair argv[2]   0, or -1
//   5     "-STAGE1"            secure argv[2] into argv[3]              the command's result
//   5     "-VERIFY"            check image argv[2] with eFuse argv[3]   0 or -1
//   5     "-STAGE2_VERIFY"     check image argv[2] with key argv[3]     0 or -1
//   6     "-P"   (v2.1 only)   as -STAGE1 with a build-information block; argv[4] unused
//   6     "-STAGE2"            sign argv[2] into argv[3] with key argv[4]   the command's result
//
// Keys in a hardware token (the URI argument must begin "pkcs11:", else the usage):
//   4     "-KEYGEN"            generating line, maker key pair in token argv[2]     0, or -1
//   5     "-STAGE2_KEYGEN"     generating line, customer key pair argv[2] in token argv[3]
//   6     "-TOKEN_IMPORT"      store key file argv[2] in token argv[3], reference argv[4]
#pragma once

#include <cstdint>
#include <string_view>

// The argc and argv of main, unchanged (argv[1] is the set selector). They return the result
// that main turns into the exit status.
int sb10_main(int argc, char** argv);
int sb20_main(int argc, char** argv);

// The exit status for a command result. Only the low 8 bits of a status survive, so a failure
// code whose low byte is 0 (0xFFF7C000, say) would read as success: such a result becomes -1
// (status 255). Every other result passes unchanged.
[[nodiscard]] int exit_status_for(int result);

// A command set as the dispatcher sees it: its texts and the action behind each row. The two
// real sets are kCommandSetV11 and kCommandSetV21; tests build their own to observe dispatch.
struct CommandSet {
  std::string_view title;           // banner title line
  std::string_view generatingLine;  // printed before a key pair is generated
  void (*printUsage)();
  std::int32_t (*generateKeyPair)(std::int32_t mode, const char* baseName);
  std::int32_t (*stage1)(const char* source, const char* destination);
  // Null in a set without the "-P" command.
  std::int32_t (*stage1WithBuildInfo)(const char* source, const char* destination);
  std::int32_t (*verifyStage1)(const char* image, const char* eFuseFile);
  std::int32_t (*stage2)(const char* source, const char* destination, const char* keyFile);
  std::int32_t (*verifyStage2)(const char* image, const char* keyFile);
  std::int32_t (*generateKeyPairInToken)(std::int32_t mode, const char* baseName,
                                         const char* uri) = nullptr;
  std::int32_t (*storeKeyInToken)(const char* keyFile, const char* uri,
                                  const char* referenceFile) = nullptr;
};

extern const CommandSet kCommandSetV11;
extern const CommandSet kCommandSetV21;

// Banner, then the row's action or the usage screen; returns the row's result or -1.
int dispatch(const CommandSet& set, int argc, char** argv);
