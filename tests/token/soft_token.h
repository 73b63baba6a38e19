// A SoftHSM2 token of a test's own: its token folder and configuration live in a temporary
// folder, so suites run in parallel and leave nothing behind. Making one points SOFTHSM2_CONF
// at it; the program started afterwards (a child inherits the environment) sees only this token.
//
//   SoftToken token;                     // label "signing", PIN 1234
//   run_tarnwick(work, {"-v2.1", token.uri("maker"), "-KEYGEN"});
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "tests/cli/child_process.h"
#include "tests/cli/temp_dir.h"
#include "token/token.h"

namespace soft_token {

namespace fs = std::filesystem;

inline constexpr std::string_view kLabel = "signing";
inline constexpr std::string_view kPin = "1234";
inline const token::KeyShape kShapeV21{2048, 3, "v2.1"};
inline const token::KeyShape kShapeV11{1024, 65537, "v1.1"};

// How a URI carries its PIN.
enum class Pin {
  kSource,          // pin-source=<file holding the right PIN>
  kWrongSource,     // pin-source=<file holding a wrong PIN>
  kValue,           // pin-value=1234 (a reference drops it)
  kNone,            // neither: the PIN could come only from a terminal
};

class SoftToken {
 public:
  // Initialises the token and sets SOFTHSM2_CONF; throws if softhsm2-util fails.
  SoftToken();

  // "pkcs11:token=signing;object=<object>?module-path=<module>&<pin>", with `extraPath`
  // (";name=value...") appended to the path part and `module` in place of SoftHSM's.
  [[nodiscard]] std::string uri(std::string_view object, Pin pin = Pin::kSource,
                                std::string_view extraPath = {},
                                std::string_view module = {}) const;

  // Initialises a second token with the same label and PIN (a set-up done twice).
  void add_token_of_the_same_label() const;

  // With false, the token offers only PKCS#1 v1.5 signing and key generation (same token folder).
  void offer_pss(bool offered) const;

  // Generates a key pair of the shape under the object label (and `extraPath`, e.g. ";id=%01")
  // through the token layer.
  void make_key(std::string_view object, const token::KeyShape& shape,
                std::string_view extraPath = {}) const;

  // The opened token with the object's key in use (fails the test, nullptr, otherwise).
  [[nodiscard]] std::unique_ptr<token::Token> open_key(std::string_view object,
                                                       const token::KeyShape& shape) const;

 private:
  TempDir dir_;
};

// The module every URI names unless told otherwise.
[[nodiscard]] std::string module_path();

// The module that forwards to SoftHSM2 and misbehaves as `fault` asks (misbehaving_module.cpp;
// "" behaves). Sets the environment the program started next inherits.
[[nodiscard]] std::string misbehaving_module(const std::string& fault,
                                             const fs::path& marker = {});

// The built program with stdin from /dev/null, in a new session: no controlling terminal, so a
// PIN prompt cannot open /dev/tty (and hang under an interactive ctest).
[[nodiscard]] Captured run_detached(const fs::path& folder, const std::vector<std::string>& args);

// The built program started in `folder` as run_detached does, its output discarded; and its
// end: the exit status, or 128 + the signal that ended it.
[[nodiscard]] pid_t start_detached(const fs::path& folder, const std::vector<std::string>& args);
[[nodiscard]] int wait_for(pid_t child);

// The program started as above but on a new terminal of its own (a pseudo-terminal: its
// controlling terminal, standard input and output); `slave` is that terminal, `master` its
// other end. The caller closes both. -1 when no terminal could be had.
[[nodiscard]] pid_t start_on_terminal(const fs::path& folder, const std::vector<std::string>& args,
                                      int& master, int& slave);

// Every file of the folder (not recursing) with its bytes: "nothing written" is equality.
[[nodiscard]] std::map<std::string, std::vector<std::uint8_t>> snapshot(const fs::path& folder);

void write_text(const fs::path& file, std::string_view text);
[[nodiscard]] std::string read_text(const fs::path& file);

// Uppercase hex of bytes, for handing keys to the independent checker.
[[nodiscard]] std::string hex(std::span<const std::uint8_t> bytes);

}  // namespace soft_token
