// The PIN a token is logged in with (internal to this layer): given in the URI (pin-value), read
// from a file (pin-source) or typed at the terminal. Never empty, never cut short.
#pragma once

#include <cstddef>
#include <string>

#include "crypto/wipe.h"
#include "token/token.h"

namespace token::detail {

// PKCS#11 carries a PIN as a counted string; this program keeps at most this many bytes, plus
// the terminating NUL it hands to the log-in call's length.
inline constexpr std::size_t kMaxPin = 255;
using Pin = qiv::SecretArray<char, kMaxPin + 1>;

// Fills pin, NUL-terminated, from the URI or (neither pin-value nor pin-source given) the
// terminal. False, with error set, for an empty, unreadable or too long PIN, a PIN source that
// is not a regular file, and when there is no terminal to ask.
[[nodiscard]] bool pin_for(const Uri& uri, const std::string& tokenLabel, Pin& pin,
                           std::string& error);

}  // namespace token::detail
