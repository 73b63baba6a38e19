#include "core/process_guard.h"

#include <sys/prctl.h>
#include <sys/resource.h>

#include "core/files.h"

namespace {

// Async-signal-safe throughout: unlink(2) inside, then the default action re-raised. The
// signal is blocked while its handler runs, so the raise takes effect on return, by which time
// SA_RESETHAND has put the default action back.
void remove_temporaries_and_end(int signal) {
  remove_temporary_files_now();
  ::raise(signal);
}

}  // namespace

SignalsHeld::SignalsHeld() {
  sigset_t set;
  sigemptyset(&set);
  for (const int s : kCleanupSignals) sigaddset(&set, s);
  ::sigprocmask(SIG_BLOCK, &set, &old_);
}

SignalsHeld::~SignalsHeld() {
  ::sigprocmask(SIG_SETMASK, &old_, nullptr);
}

bool SignalsHeld::signal_pending() {
  sigset_t pending;
  sigemptyset(&pending);
  if (::sigpending(&pending) != 0) return false;
  for (const int s : kCleanupSignals) {
    if (sigismember(&pending, s) == 1) return true;
  }
  return false;
}

void guard_process() {
  ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
  const struct rlimit noCore = {0, 0};
  ::setrlimit(RLIMIT_CORE, &noCore);

  ::signal(SIGXFSZ, SIG_IGN);
  for (const int s : kCleanupSignals) {
    struct sigaction old {};
    if (::sigaction(s, nullptr, &old) != 0 || old.sa_handler == SIG_IGN) continue;
    struct sigaction action {};
    action.sa_handler = remove_temporaries_and_end;
    sigemptyset(&action.sa_mask);
    action.sa_flags = static_cast<int>(SA_RESETHAND);
    ::sigaction(s, &action, nullptr);
  }
}
