// The command line in-process: usage errors, the device inputs it refuses, and the exit
// status over several files (2 before 1 before 0).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/inspect/made_files.h"

namespace {

namespace fs = std::filesystem;

struct Outcome {
  int status;
  std::string out;
  std::string err;
};

Outcome run(const std::vector<std::string>& words) {
  const std::vector<std::string_view> args(words.begin(), words.end());
  Outcome outcome{0, {}, {}};
  outcome.status = inspect::run(args, outcome.out, outcome.err);
  return outcome;
}

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

TEST(CommandLine, UsageErrorsEndWithTwoAndTheUsage) {
  const std::vector<std::vector<std::string>> bad = {
      {},
      {"--json"},
      {"--frobnicate", "x"},
      {"--efuse"},
      {"--efuse=", "x"},
      {"--efuse", "a", "--efuse", "b", "x"},
      {"--key", "a", "--key=b", "x"},
  };
  for (const auto& args : bad) {
    const Outcome o = run(args);
    EXPECT_EQ(o.status, 2) << (args.empty() ? "" : args[0]);
    EXPECT_TRUE(contains(o.err, "usage: sbinspect")) << o.err;
    EXPECT_EQ(o.out, "") << "errors and their usage go to standard error";
  }
  const Outcome help = run({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_TRUE(contains(help.out, "usage: sbinspect"));
  EXPECT_EQ(help.err, "");
  const Outcome version = run({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, "sbinspect version 2.1\n");
}

class CommandLineFiles : public ::testing::Test {
 protected:
  std::string at(const std::string& name) const { return (files_ / name).string(); }
  inspect_test::MadeFiles files_;
};

TEST_F(CommandLineFiles, DeviceInputsThatAreNotWhatTheyShouldBeAreRefused) {
  write_bytes(files_ / "short.dat", pattern_bytes(13, 3));
  const std::vector<std::vector<std::string>> refused = {
      {"--efuse", at("short.dat"), at("s21.bin")},
      {"--efuse", at("alice_V21.spk"), at("s21.bin")},
      {"--efuse", at("missing.dat"), at("s21.bin")},
      {"--efuse", files_.folder().string(), at("s21.bin")},
      {"--key", at("eFuseData_V21.dat"), at("s21.bin")},
      {"--key", at("publicKeyInfo.dat"), at("s21.bin")},  // a maker file, not a customer key
      {"--key", at("missing.spk"), at("s21.bin")},
  };
  for (const auto& args : refused) {
    const Outcome o = run(args);
    EXPECT_EQ(o.status, 2) << args[1];
    EXPECT_TRUE(contains(o.err, "sbinspect: " + args[0] + " " + args[1])) << o.err;
    EXPECT_EQ(o.out, "") << "inspected despite the refusal, or the error on standard output";
    // With --json, standard output carries JSON lines only: here none.
    std::vector<std::string> json = args;
    json.insert(json.begin(), "--json");
    EXPECT_EQ(run(json).out, "") << args[1];
  }
}

TEST_F(CommandLineFiles, ExitStatusOverSeveralFiles) {
  const std::string eFuse = at("eFuseData_V21.dat");
  EXPECT_EQ(run({"--efuse", eFuse, at("s21.bin"), at("BL1.bin")}).status, 0);
  EXPECT_EQ(run({"--efuse=" + eFuse, "--key=" + at("alice_V21.spk"), at("s21p.bin")}).status, 0);
  // A customer key file against the maker's eFuse value: its tag check fails.
  EXPECT_EQ(run({"--efuse", eFuse, at("s21.bin"), at("alice_V21.spk")}).status, 1);
  // Without --efuse the checks that need no eFuse value still decide: a changed code byte fails
  // the context signature, and one line says the maker key was not checked against a device.
  auto tampered = read_bytes(files_ / "s21.bin");
  tampered[100] ^= 1;
  write_bytes(files_ / "tampered.bin", tampered);
  EXPECT_EQ(run({at("s21.bin"), at("s11.bin"), at("s21p.bin")}).status, 0);
  const Outcome bare = run({at("tampered.bin")});
  EXPECT_EQ(bare.status, 1);
  EXPECT_TRUE(contains(bare.out, " bytes\n  maker key not checked against a device: no eFuse "
                                 "value given\n  code @0,"))
      << bare.out;
  EXPECT_TRUE(contains(bare.out, "\n  check context signature                 FAIL  "));
  EXPECT_TRUE(contains(run({"--json", at("tampered.bin")}).out,
                       "{\"name\":\"context signature\",\"result\":\"FAIL\""));
  // A file that cannot be read outweighs a failed check.
  EXPECT_EQ(run({"--efuse", eFuse, at("alice_V21.spk"), at("missing")}).status, 2);
  EXPECT_EQ(run({at("BL1.bin"), files_.folder().string()}).status, 2);
  // Every file is reported, in order, even after one that cannot be read.
  const Outcome o = run({at("missing"), "--json", at("eFuseData.dat")});
  EXPECT_TRUE(contains(o.out, "\"kind\":\"unreadable\"")) << o.out;
  EXPECT_TRUE(contains(o.out, "\"kind\":\"efuse-v11\"")) << o.out;
  EXPECT_LT(o.out.find("unreadable"), o.out.find("efuse-v11"));
  // After "--" a name that starts with a dash is a file (here one that is not there).
  const Outcome dashed = run({"--", "-x"});
  EXPECT_EQ(dashed.status, 2);
  EXPECT_TRUE(contains(dashed.out, "-x: cannot be read")) << dashed.out;
}

}  // namespace
