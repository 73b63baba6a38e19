#include "tarnwick/import.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <string>

#include "crypto/descriptor.h"
#include "core/files.h"
#include "crypto/wipe.h"

namespace tarnwick {

namespace {

using core::Class;
using core::Event;

// Longest passphrase taken; a longer file or line is refused rather than cut.
constexpr std::size_t kMaxPassphrase = 1024;

// The passphrase is the first line of the file, without its line break (as openssl's
// -passin file: reads it).
bool from_file(core::Report& report, const std::string& path, qiv::SecretBuffer& out) {
  qiv::SecretBuffer room(kMaxPassphrase + 2);
  const WholeFile got =
      ::read_whole_file(report, path.c_str(), {room.data(), room.size()});
  if (got.status == WholeFile::kFailed) return false;
  std::size_t n = 0;
  while (n < got.length && room.data()[n] != '\n' && room.data()[n] != '\r') ++n;
  if (got.status == WholeFile::kTooLong || n > kMaxPassphrase) {
    report.refuse(Class::kInput, Event::kSilent, path, "the passphrase is longer than 1024 bytes");
    return false;
  }
  if (!out.resize(n)) return false;
  std::copy(room.data(), room.data() + n, out.data());
  return true;
}

// Typed on the terminal with echo off.
bool from_terminal(core::Report& report, const std::string& keyFile, qiv::SecretBuffer& out) {
  const qiv::Descriptor tty(::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC));
  termios saved{};
  if (tty.get() < 0 || ::tcgetattr(tty.get(), &saved) != 0) {
    report.refuse(Class::kUsage, Event::kSilent, keyFile,
                  "the key is encrypted: give --passphrase-file or run on a terminal");
    return false;
  }
  const std::string prompt = "Passphrase for " + keyFile + ": ";
  if (::write(tty.get(), prompt.data(), prompt.size()) < 0) return false;
  if (!out.resize(kMaxPassphrase + 1)) return false;
  // The cleanup signals wait while echo is off: the terminal is always given back as it was,
  // and a signal that came meanwhile ends the prompt, then the process when it is let through.
  sigset_t watched;
  sigset_t before;
  sigemptyset(&watched);
  for (const int s : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaddset(&watched, s);
  ::pthread_sigmask(SIG_BLOCK, &watched, &before);
  termios quiet = saved;
  quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  ::tcsetattr(tty.get(), TCSAFLUSH, &quiet);
  std::size_t n = 0;
  bool interrupted = false;
  char c = 0;
  for (;;) {
    sigset_t pending;
    sigemptyset(&pending);
    if (::sigpending(&pending) == 0) {
      for (const int s : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
        interrupted = interrupted || sigismember(&pending, s) == 1;
      }
    }
    if (interrupted) break;
    pollfd wait{tty.get(), POLLIN, 0};
    if (::poll(&wait, 1, 100) <= 0) continue;
    if (::read(tty.get(), &c, 1) != 1 || c == '\n' || c == '\r') break;
    if (n < out.size()) out.data()[n] = static_cast<std::uint8_t>(c);
    ++n;
  }
  c = 0;
  ::tcsetattr(tty.get(), TCSAFLUSH, &saved);
  static_cast<void>(::write(tty.get(), "\n", 1));
  ::pthread_sigmask(SIG_SETMASK, &before, nullptr);
  if (interrupted) {
    report.refuse(Class::kUsage, Event::kSilent, keyFile, "the passphrase prompt was interrupted");
    return false;
  }
  if (n > kMaxPassphrase) {
    report.refuse(Class::kUsage, Event::kSilent, keyFile, "the passphrase is longer than 1024 bytes");
    return false;
  }
  return out.resize(n);
}

}  // namespace

std::int32_t import_key(core::Report& report, const CommandLine& line,
                        const core::KeyPairJob& pair) {
  core::ImportJob job;
  job.pair = pair;
  job.keyFile = line.importKey->c_str();
  job.passphrase = [&](qiv::SecretBuffer& out) {
    return line.passphraseFile ? from_file(report, *line.passphraseFile, out)
                               : from_terminal(report, *line.importKey, out);
  };
  return core::import_key_pair(report, job);
}

}  // namespace tarnwick
