// Text shown on a terminal: every control character, and every byte that is no part of a UTF-8
// character, visible as \xNN; everything else untouched.
#include <gtest/gtest.h>

#include <string>

#include "format/format.h"

namespace {

TEST(Printable, EscapesEveryControlCharacterAndKeepsTheRest) {
  const struct {
    std::string in, out;
  } rows[] = {
      {"", ""},
      {"publicKeyInfo_V21.dat", "publicKeyInfo_V21.dat"},
      {"a\nStage 2: ok.\n", "a\\x0aStage 2: ok.\\x0a"},
      {"\x1b[8m", "\\x1b[8m"},
      {std::string("x\0y", 3), "x\\x00y"},
      {"\r\t\x7f", "\\x0d\\x09\\x7f"},
      {"\xc2\x9b" "2J", "\\xc2\\x9b2J"},            // C1 CSI in UTF-8
      {"\xc2\xa0\xc3\xa9t\xc3\xa9", "\xc2\xa0\xc3\xa9t\xc3\xa9"},  // no-break space, accents
      {"\xe2\x82\xac \xf0\x9f\x94\x91", "\xe2\x82\xac \xf0\x9f\x94\x91"},  // euro sign, key emoji
      {"\xc2", "\\xc2"},                          // a cut-off lead byte
      {"a\x9b" "2J", "a\\x9b2J"},                  // a lone CSI byte (8-bit terminals)
      {"\xe9t\xe9", "\\xe9t\\xe9"},               // Latin-1, not UTF-8
      {"\xc0\x9b", "\\xc0\\x9b"},                 // an overlong form hiding CSI
      {"\xed\xa0\x80", "\\xed\\xa0\\x80"},       // a surrogate
      {"back\\slash", "back\\slash"},
  };
  for (const auto& row : rows) EXPECT_EQ(printable(row.in), row.out) << row.in;
}

}  // namespace
