// What the program sets up about its own process before it touches a key.
#pragma once

#include <signal.h>

#include <array>

// Signals that end a command early and should not leave half-written outputs behind: their
// handler removes the temporary files of the outputs being written (files.h), then the signal
// takes its usual course (the process ends with 128 + its number).
inline constexpr std::array<int, 4> kCleanupSignals = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// Holds the cleanup signals for its lifetime; a signal that arrives meanwhile is delivered
// when it ends, after the state it would have seen half-made is whole again. Holds nest.
class SignalsHeld {
 public:
  SignalsHeld();
  ~SignalsHeld();
  SignalsHeld(const SignalsHeld&) = delete;
  SignalsHeld& operator=(const SignalsHeld&) = delete;

  // True when a cleanup signal arrived while held: it will end the process once the hold ends,
  // so whatever the held section was about to make permanent should be undone instead.
  [[nodiscard]] static bool signal_pending();

 private:
  sigset_t old_{};
};

// - The process becomes non-dumpable and its core size limit 0: a decrypted private key must not
//   land in a core file (SIGQUIT, a crash) or be read through /proc by another process of the
//   same user.
// - SIGXFSZ is ignored: a write over the file-size limit then fails with EFBIG and is reported
//   as "file write error" like any failed write, instead of killing the process mid-way.
// - The cleanup signals get the handler above, unless they are ignored already (nohup).
void guard_process();
