// Key reference URIs: what parses, what is shown (never a pin-value, wherever it sits), and the
// decoded values.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "token/token.h"

namespace {

struct Row {
  const char* text;
  std::optional<std::string> shown;  // nullopt: refused
  std::optional<std::string> object = std::nullopt;
};

const Row kRows[] = {
    {"pkcs11:token=a;object=b?module-path=/m&pin-value=1234", "pkcs11:token=a;object=b?module-path=/m",
     "b"},
    {"pkcs11:token=a;pin-value=1234;object=b", "pkcs11:token=a;object=b", "b"},
    {"pkcs11:pin-value=1;object=b?pin-value=2&module-name=x", "pkcs11:object=b?module-name=x", "b"},
    {"pkcs11:object=a%0a%1bb", "pkcs11:object=a%0a%1bb", "a\n\x1b" "b"},
    {"pkcs11:object=a%20b%3b", "pkcs11:object=a%20b%3b", "a b;"},
    {"pkcs11:token=a;token=b", std::nullopt},
    {"pkcs11:object=a?module-path=/m&module-path=/n", std::nullopt},
    {"pkcs11:object=a?pin-value=1&pin-source=/p", std::nullopt},
    {"pkcs11:object=a%00b", std::nullopt},
    {"pkcs11:object=a b", std::nullopt},
    {"pkcs11:object=%4", std::nullopt},
    {"pkcs11:=a", std::nullopt},
    {"pkcs1:object=a", std::nullopt},
};

TEST(Uri, ParsesShowsWithoutPinValueAndDecodes) {
  for (const Row& row : kRows) {
    SCOPED_TRACE(row.text);
    const auto uri = token::Uri::parse(row.text);
    ASSERT_EQ(uri.has_value(), row.shown.has_value());
    EXPECT_EQ(token::without_pin_value(row.text).find("pin-value"), std::string::npos);
    if (!uri) continue;
    EXPECT_EQ(uri->shown(), *row.shown);
    EXPECT_EQ(uri->path("object"), row.object);
  }
}

}  // namespace
