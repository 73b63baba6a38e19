// Where a PIN comes from. A PIN source is never waited on: a file is opened without blocking and
// must be a regular file before a byte is read (a named pipe without a writer would otherwise
// hang the program). An empty PIN is never handed to the token: on a card each log-in with it
// would spend one of the PIN's few retries.
#include "token/pin.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

#include "crypto/descriptor.h"

namespace token {

namespace {

const std::string kTooLong = " is longer than " + std::to_string(detail::kMaxPin) + " bytes";

// The local path a pin-source names: a path, "file:<path>", "file:///<path>" or
// "file://localhost/<path>" (RFC 8089); nullopt for a file on another host.
std::optional<std::string> pin_path(std::string source) {
  if (source.rfind("file://", 0) == 0) {
    source.erase(0, 7);
    if (source.rfind("localhost/", 0) == 0) source.erase(0, 9);
    if (source.empty() || source.front() != '/') return std::nullopt;
  } else if (source.rfind("file:", 0) == 0) {
    source.erase(0, 5);
  }
  return source;
}

// The first line of `text` (up to `length` bytes) as the PIN: the line end and all after it wiped.
bool take_first_line(detail::Pin& pin, std::size_t length, const std::string& what,
                     std::string& error) {
  char* const begin = pin.data();
  char* const end = std::find_if(begin, begin + length, [](char c) { return c == '\n' || c == '\r'; });
  const auto size = static_cast<std::size_t>(end - begin);
  qiv::wipe(end, pin.size() - size);
  if (size > detail::kMaxPin) {
    qiv::wipe(begin, pin.size());
    error = "the PIN " + what + kTooLong;
    return false;
  }
  if (size == 0) {
    error = "the PIN " + what + " is empty";
    return false;
  }
  return true;
}

bool read_pin_file(const std::string& source, detail::Pin& pin, std::string& error) {
  const auto path = pin_path(source);
  if (!path) {
    error = "the PIN source " + source + " is not a local file";
    return false;
  }
  const std::string what = "in " + *path;
  const qiv::Descriptor fd(::open(path->c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  struct stat info {};
  if (fd.get() < 0 || ::fstat(fd.get(), &info) != 0) {
    error = "the PIN file " + *path + " cannot be read: " + std::strerror(errno);
    return false;
  }
  if (!S_ISREG(info.st_mode)) {
    error = "the PIN source " + *path + " is not a regular file";
    return false;
  }
  // One byte more than a PIN may have: a first line that fills the whole array is too long.
  std::size_t length = 0;
  while (length < pin.size()) {
    const ssize_t got = ::read(fd.get(), pin.data() + length, pin.size() - length);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      qiv::wipe(pin.data(), pin.size());
      error = "the PIN file " + *path + " cannot be read: " + std::strerror(errno);
      return false;
    }
    if (got == 0) break;
    length += static_cast<std::size_t>(got);
  }
  return take_first_line(pin, length, what, error);
}

// The signals that end the program early. While the terminal's echo is off they are held, and
// the wait for a key checks for them, so a Ctrl-C puts the echo back before the program ends.
sigset_t cleanup_signals() {
  sigset_t set;
  sigemptyset(&set);
  for (const int s : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaddset(&set, s);
  return set;
}

bool cleanup_signal_pending(const sigset_t& watched) {
  sigset_t pending;
  if (sigpending(&pending) != 0) return false;
  for (const int s : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
    if (sigismember(&watched, s) == 1 && sigismember(&pending, s) == 1) return true;
  }
  return false;
}

enum class Typed { kLine, kInterrupted, kFailed };

// Reads one line into pin with echo off. The caller holds the cleanup signals.
Typed read_line_quietly(int tty, const sigset_t& watched, detail::Pin& pin, std::size_t& length) {
  char c = 0;
  for (;;) {
    if (cleanup_signal_pending(watched)) return Typed::kInterrupted;
    pollfd wait{tty, POLLIN, 0};
    const int ready = ::poll(&wait, 1, 100);
    if (ready < 0 && errno != EINTR) return Typed::kFailed;
    if (ready <= 0) continue;
    const ssize_t got = ::read(tty, &c, 1);
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (got <= 0 || c == '\n' || c == '\r') return got <= 0 && length == 0 ? Typed::kFailed : Typed::kLine;
    if (length < pin.size()) pin[length] = c;
    ++length;  // counted past the array, so a long PIN is refused rather than cut
  }
}

// Reads the PIN from the terminal without echo; false (error set) when there is no terminal.
bool prompt_pin(const std::string& tokenLabel, detail::Pin& pin, std::string& error) {
  error = "no PIN: give pin-source or pin-value in the key reference, or run on a terminal";
  const qiv::Descriptor tty(::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC));
  termios saved{};
  if (tty.get() < 0 || ::tcgetattr(tty.get(), &saved) != 0) return false;
  const std::string prompt = "PIN for token " + tokenLabel + ": ";
  if (::write(tty.get(), prompt.data(), prompt.size()) < 0) return false;

  const sigset_t watched = cleanup_signals();
  sigset_t before;
  ::pthread_sigmask(SIG_BLOCK, &watched, &before);
  termios quiet = saved;
  quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  ::tcsetattr(tty.get(), TCSAFLUSH, &quiet);
  std::size_t length = 0;
  const Typed typed = read_line_quietly(tty.get(), watched, pin, length);
  ::tcsetattr(tty.get(), TCSAFLUSH, &saved);
  static_cast<void>(::write(tty.get(), "\n", 1));
  // A signal that came meanwhile is delivered here (or when an outer hold ends).
  ::pthread_sigmask(SIG_SETMASK, &before, nullptr);

  if (typed == Typed::kInterrupted) {
    qiv::wipe(pin.data(), pin.size());
    error = "the PIN prompt was interrupted";
    return false;
  }
  if (typed == Typed::kFailed) {
    qiv::wipe(pin.data(), pin.size());
    error = "the PIN could not be read from the terminal";
    return false;
  }
  return take_first_line(pin, std::min(length, pin.size()), "typed", error);
}

}  // namespace

bool detail::pin_for(const Uri& uri, const std::string& tokenLabel, Pin& pin, std::string& error) {
  if (auto value = uri.query("pin-value")) {
    const bool fits = value->size() <= kMaxPin;
    std::copy_n(value->data(), std::min(value->size(), kMaxPin), pin.data());
    qiv::wipe(value->data(), value->size());
    if (!fits) {
      qiv::wipe(pin.data(), pin.size());
      error = "the PIN in pin-value" + kTooLong;
      return false;
    }
    if (pin[0] == '\0') {
      error = "the PIN in pin-value is empty";
      return false;
    }
    return true;
  }
  if (auto source = uri.query("pin-source")) return read_pin_file(*source, pin, error);
  return prompt_pin(tokenLabel, pin, error);
}

std::optional<std::string> pin_file_warning(const Uri& uri) {
  const auto source = uri.query("pin-source");
  const auto path = source ? pin_path(*source) : std::nullopt;
  struct stat info {};
  if (!path || ::stat(path->c_str(), &info) != 0 || !S_ISREG(info.st_mode) ||
      (info.st_mode & (S_IRGRP | S_IROTH)) == 0) {
    return std::nullopt;
  }
  return "the PIN file " + *path + " can be read by other users";
}

}  // namespace token
