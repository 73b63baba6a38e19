// tarnwick, the command line for teams and build scripts: the command core with named options,
// key folders, one error line on standard error naming the file, exit statuses by class and a
// JSON result.
#pragma once

#include <span>
#include <string>
#include <string_view>

namespace tarnwick {

// Exit statuses by class (the sysexits.h values where one fits).
inline constexpr int kExitVerify = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitKey = 65;     // EX_DATAERR
inline constexpr int kExitInput = 66;   // EX_NOINPUT
inline constexpr int kExitToken = 69;   // EX_UNAVAILABLE
inline constexpr int kExitSystem = 71;  // EX_OSERR
inline constexpr int kExitOutput = 73;  // EX_CANTCREAT

// Runs the command line (without the program name). What goes to standard output is appended
// to `out`, the error line and warnings to `err`, except that a token's PIN prompt talks to the
// terminal itself. Returns the exit status.
[[nodiscard]] int run(std::span<const std::string_view> args, std::string& out, std::string& err);

}  // namespace tarnwick
