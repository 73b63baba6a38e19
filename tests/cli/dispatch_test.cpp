// The dispatcher's table, observed through a command set of recording fakes: the action each
// row reaches, its arguments, and what becomes of its result.
#include "cli/dispatch.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli/usage.h"
#include "sbl/sbl.h"
#include "tests/cli/expected_texts.h"

namespace {

std::vector<std::string> lastCall;  // action name, then its arguments
std::int32_t fakeResult = 0;

std::int32_t record(std::vector<std::string> call) {
  lastCall = std::move(call);
  return fakeResult;
}
std::int32_t key_pair(std::int32_t mode, const char* base) {
  return record({"keyPair", std::to_string(mode), base == nullptr ? "(null)" : base});
}
std::int32_t stage1(const char* s, const char* d) {
  return record({"stage1", s, d});
}
std::int32_t stage1P(const char* s, const char* d) {
  return record({"stage1P", s, d});
}
std::int32_t verify1(const char* i, const char* e) {
  return record({"verify1", i, e});
}
std::int32_t stage2(const char* s, const char* d, const char* k) {
  return record({"stage2", s, d, k});
}
std::int32_t verify2(const char* i, const char* k) {
  return record({"verify2", i, k});
}
void usage() {
  print_text("USAGE\n");
}

const CommandSet kFake = {"TITLE\n", "GENERATING\n", usage,  key_pair, stage1,
                          stage1P,   verify1,        stage2, verify2};
const std::string kFakeBanner = "\nTITLE\n" + kNoticeText;

struct Outcome {
  std::string output;
  int result;
};

Outcome run(const CommandSet& set, std::vector<std::string> args) {
  std::vector<char*> argv;
  for (auto& arg : args) argv.push_back(arg.data());
  lastCall.clear();
  testing::internal::CaptureStdout();
  const int result = dispatch(set, static_cast<int>(argv.size()), argv.data());
  return {testing::internal::GetCapturedStdout(), result};
}

struct Row {
  std::vector<std::string> args;
  std::vector<std::string> call;
};
const std::vector<Row> kRows = {
    {{"p", "-v2.1", "-KEYGEN"}, {"keyPair", "1", "(null)"}},
    {{"p", "-v2.1", "base", "-STAGE2_KEYGEN"}, {"keyPair", "2", "base"}},
    {{"p", "-v2.1", "src", "dst", "-STAGE1"}, {"stage1", "src", "dst"}},
    {{"p", "-v2.1", "img", "fuse", "-VERIFY"}, {"verify1", "img", "fuse"}},
    {{"p", "-v2.1", "img", "key", "-STAGE2_VERIFY"}, {"verify2", "img", "key"}},
    {{"p", "-v2.1", "src", "dst", "ignored", "-P"}, {"stage1P", "src", "dst"}},
    {{"p", "-v2.1", "src", "dst", "key", "-STAGE2"}, {"stage2", "src", "dst", "key"}},
};

// Key pairs print the generating line first; a failed key pair fails the process (-1), while
// image commands pass their result on unchanged.
TEST(Dispatch, EachRowReachesItsActionAndPassesItsResult) {
  for (const std::int32_t result : {0, QIV_SBL_SIGN_FAILED}) {
    fakeResult = result;
    for (const Row& row : kRows) {
      SCOPED_TRACE(row.args.back());
      const bool keyPair = row.call[0] == "keyPair";
      const Outcome outcome = run(kFake, row.args);
      EXPECT_EQ(outcome.output, kFakeBanner + (keyPair ? "GENERATING\n" : ""));
      EXPECT_EQ(outcome.result, result == 0 ? 0 : keyPair ? -1 : result);
      EXPECT_EQ(lastCall, row.call);
    }
  }
  EXPECT_EQ(kCommandSetV21.generatingLine, kGeneratingV21);
  EXPECT_EQ(kCommandSetV11.generatingLine, kGeneratingV11);
}

// Counts main never passes, and "-P" in a set without it, end in the usage.
TEST(Dispatch, UnlistedCombinationsPrintUsageAndFail) {
  CommandSet withoutP = kFake;
  withoutP.stage1WithBuildInfo = nullptr;
  for (const auto& args :
       std::vector<std::vector<std::string>>{{"p", "-v2.1"},
                                             {"p", "-v2.1", "a", "b", "c", "d", "-STAGE2"},
                                             {"p", "-v1.1", "a", "b", "c", "-P"}}) {
    const Outcome outcome = run(withoutP, args);
    EXPECT_EQ(outcome.output, kFakeBanner + "USAGE\n");
    EXPECT_EQ(outcome.result, -1);
    EXPECT_TRUE(lastCall.empty());
  }
}

// Only the low 8 bits of a status survive: a failure must never read as 0.
TEST(ExitStatus, ResultsWithAZeroLowByteBecomeMinusOne) {
  const std::vector<std::pair<int, int>> cases = {
      {0, 0},
      {-1, -1},
      {QIV_SBL_AES_ENCRYPT_FAILED, -1},   // 0xFFF7C000
      {QIV_SBL_CTX_GEN_SIGN_FAILED, -1},  // 0xFFF40000
      {256, -1},
      {QIV_SBL_VERIFY_FAILED, QIV_SBL_VERIFY_FAILED},  // 0xFFF20090
      {1, 1},
  };
  for (const auto& [result, status] : cases) EXPECT_EQ(exit_status_for(result), status) << result;
}

}  // namespace
