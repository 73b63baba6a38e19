// The dispatcher's table, observed through a command set of recording fakes: which action each
// row reaches, with which arguments, and what becomes of the action's result.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli/commands.h"
#include "cli/dispatch.h"
#include "cli/usage.h"
#include "sbl/sbl.h"
#include "tests/cli/expected_texts.h"

namespace {

struct Call {
  std::string action;
  std::vector<std::string> args;
};
Call lastCall;
std::int32_t fakeResult = 0;

std::int32_t record(std::string action, std::vector<std::string> args) {
  lastCall = {std::move(action), std::move(args)};
  return fakeResult;
}

std::int32_t fake_key_pair(std::int32_t mode, const char* base) {
  return record("keyPair", {std::to_string(mode), base == nullptr ? "(null)" : base});
}
std::int32_t fake_stage1(const char* s, const char* d) { return record("stage1", {s, d}); }
std::int32_t fake_stage1_block(const char* s, const char* d) { return record("stage1P", {s, d}); }
std::int32_t fake_verify1(const char* i, const char* e) { return record("verify1", {i, e}); }
std::int32_t fake_stage2(const char* s, const char* d, const char* k) {
  return record("stage2", {s, d, k});
}
std::int32_t fake_verify2(const char* i, const char* k) { return record("verify2", {i, k}); }
void fake_usage() { print_text("USAGE\n"); }

const CommandSet kFake = {"TITLE\n",    "GENERATING\n",  fake_usage,  fake_key_pair, fake_stage1,
                          fake_stage1_block, fake_verify1, fake_stage2, fake_verify2};

struct Outcome {
  std::string output;
  int result;
};

Outcome run(const CommandSet& set, std::vector<std::string> args) {
  std::vector<char*> argv;
  for (auto& arg : args) argv.push_back(arg.data());
  lastCall = {};
  testing::internal::CaptureStdout();
  const int result = dispatch(set, static_cast<int>(argv.size()), argv.data());
  return {testing::internal::GetCapturedStdout(), result};
}

const std::string kFakeBanner = "\nTITLE\n" + kNoticeText;

struct RowCase {
  std::vector<std::string> args;
  Call call;
  std::string printed;  // after the banner, before the action
};

const std::vector<RowCase> kRowCases = {
    {{"p", "-v2.1", "-KEYGEN"}, {"keyPair", {"1", "(null)"}}, "GENERATING\n"},
    {{"p", "-v2.1", "base", "-STAGE2_KEYGEN"}, {"keyPair", {"2", "base"}}, "GENERATING\n"},
    {{"p", "-v2.1", "src", "dst", "-STAGE1"}, {"stage1", {"src", "dst"}}, ""},
    {{"p", "-v2.1", "img", "fuse", "-VERIFY"}, {"verify1", {"img", "fuse"}}, ""},
    {{"p", "-v2.1", "img", "key", "-STAGE2_VERIFY"}, {"verify2", {"img", "key"}}, ""},
    {{"p", "-v2.1", "src", "dst", "ignored", "-P"}, {"stage1P", {"src", "dst"}}, ""},
    {{"p", "-v2.1", "src", "dst", "key", "-STAGE2"}, {"stage2", {"src", "dst", "key"}}, ""},
};

TEST(Dispatch, EachRowReachesItsActionWithItsArguments) {
  fakeResult = 0;
  for (const RowCase& row : kRowCases) {
    SCOPED_TRACE(row.args.back());
    const Outcome outcome = run(kFake, row.args);
    EXPECT_EQ(outcome.output, kFakeBanner + row.printed);
    EXPECT_EQ(outcome.result, 0);
    EXPECT_EQ(lastCall.action, row.call.action);
    EXPECT_EQ(lastCall.args, row.call.args);
  }
}

// A failed key pair fails the process (-1); image commands pass their code on unchanged.
TEST(Dispatch, KeyPairFailuresBecomeMinusOneOtherResultsPassThrough) {
  fakeResult = QIV_SBL_SIGN_FAILED;
  for (const RowCase& row : kRowCases) {
    SCOPED_TRACE(row.args.back());
    const bool keyPair = row.call.action == "keyPair";
    EXPECT_EQ(run(kFake, row.args).result, keyPair ? -1 : QIV_SBL_SIGN_FAILED);
  }
}

TEST(Dispatch, HelpAndVersionPrintAndSucceedWithoutAnAction) {
  EXPECT_EQ(run(kFake, {"p", "-v2.1", "-help"}).output, kFakeBanner + "USAGE\n");
  for (const char* keyword : {"-v", "-version"}) {
    const Outcome outcome = run(kFake, {"p", "-v1.1", keyword});
    EXPECT_EQ(outcome.output, kFakeBanner + kVersionText);
    EXPECT_EQ(outcome.result, 0);
  }
  EXPECT_EQ(lastCall.action, "");
}

// Argument counts that main would never pass, and a set without "-P", end in the usage.
TEST(Dispatch, UnlistedCombinationsPrintUsageAndFail) {
  CommandSet withoutP = kFake;
  withoutP.stage1WithBuildInfo = nullptr;
  const std::vector<std::vector<std::string>> cases = {
      {"p", "-v2.1"}, {"p", "-v2.1", "a", "b", "c", "d", "-STAGE2"}, {"p", "-v1.1", "a", "b", "c", "-P"}};
  for (const auto& args : cases) {
    const Outcome outcome = run(withoutP, args);
    EXPECT_EQ(outcome.output, kFakeBanner + "USAGE\n");
    EXPECT_EQ(outcome.result, -1);
    EXPECT_EQ(lastCall.action, "");
  }
}

TEST(Dispatch, EachSetIsWiredToItsOwnGeneration) {
  EXPECT_EQ(kCommandSetV21.title, "***Tarnwick v2.1 for Orvalle Application Processor***\n");
  EXPECT_EQ(kCommandSetV11.title, "***Tarnwick v1.1 for Orvalle Application Processor***\n");
  EXPECT_EQ(kCommandSetV21.generatingLine, "RSA 2048 bits key is generating...\n");
  EXPECT_EQ(kCommandSetV11.generatingLine, "RSA 1024 bits key is generating...\n");
  EXPECT_EQ(kCommandSetV21.generateKeyPair, &sb20_Generate_KeyPair);
  EXPECT_EQ(kCommandSetV11.generateKeyPair, &sb10_Generate_KeyPair);
  EXPECT_EQ(kCommandSetV21.verifyStage1, &sb20_Verify_Stage1);
  EXPECT_EQ(kCommandSetV11.verifyStage1, &sb10_Verify_Stage1);
  EXPECT_EQ(kCommandSetV21.verifyStage2, &sb20_Verify_Stage2);
  EXPECT_EQ(kCommandSetV11.verifyStage2, &sb10_Verify_Stage2);
  EXPECT_NE(kCommandSetV21.stage1WithBuildInfo, nullptr);
  EXPECT_EQ(kCommandSetV11.stage1WithBuildInfo, nullptr);
}

// Only the low 8 bits of a status survive: a failure must never read as 0.
TEST(ExitStatus, ResultsWithAZeroLowByteBecomeMinusOne) {
  const std::vector<std::pair<int, int>> cases = {
      {0, 0},
      {-1, -1},
      {QIV_SBL_AES_ENCRYPT_FAILED, -1},  // 0xFFF7C000
      {QIV_SBL_AES_SETUP_FAILED, -1},    // 0xFFF7B000
      {QIV_SBL_CTX_GEN_SIGN_FAILED, -1},  // 0xFFF40000
      {256, -1},
      {QIV_SBL_VERIFY_FAILED, QIV_SBL_VERIFY_FAILED},  // 0xFFF20090: low byte 0x90
      {QIV_SBL_SIGN_FAILED, QIV_SBL_SIGN_FAILED},
      {1, 1},
  };
  for (const auto& [result, status] : cases) EXPECT_EQ(exit_status_for(result), status) << result;
}

}  // namespace
