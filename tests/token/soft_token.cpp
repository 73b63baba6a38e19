#include "tests/token/soft_token.h"

#include <fcntl.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace soft_token {

namespace {

void write_conf(const fs::path& file, const fs::path& tokens, std::string_view extra) {
  write_text(file, "directories.tokendir = " + tokens.string() +
                       "\nobjectstore.backend = file\nlog.level = ERROR\n" + std::string(extra));
}

void point_at(const fs::path& conf) {
  if (::setenv("SOFTHSM2_CONF", conf.c_str(), 1) != 0) throw std::runtime_error("setenv");
}

}  // namespace

std::string module_path() {
  return QIV_SOFTHSM2_MODULE;
}

std::string misbehaving_module(const std::string& fault, const fs::path& marker) {
  if (::setenv("QIV_TEST_FAULT", fault.c_str(), 1) != 0 ||
      ::setenv("QIV_TEST_MARKER", marker.c_str(), 1) != 0) {
    throw std::runtime_error("setenv");
  }
  return QIV_MISBEHAVING_MODULE;
}

namespace {

void init_token(const fs::path& folder) {
  const Captured init =
      run_program(QIV_SOFTHSM2_UTIL,
                  {"--init-token", "--free", "--label", std::string(kLabel), "--pin",
                   std::string(kPin), "--so-pin", "12345678"},
                  folder);
  if (init.status != 0) throw std::runtime_error("softhsm2-util: " + init.output + init.errors);
}

}  // namespace

void SoftToken::add_token_of_the_same_label() const {
  init_token(dir_.path());
}

SoftToken::SoftToken() {
  fs::create_directory(dir_ / "tokens");
  write_conf(dir_ / "softhsm2.conf", dir_ / "tokens", "");
  write_conf(dir_ / "no-pss.conf", dir_ / "tokens",
             "slots.mechanisms = CKM_RSA_PKCS,CKM_RSA_PKCS_KEY_PAIR_GEN\n");
  write_text(dir_ / "pin", std::string(kPin) + "\n");
  write_text(dir_ / "wrong-pin", "4321\n");
  // Owner-only, as a PIN file should be (the program warns about any other).
  for (const char* name : {"pin", "wrong-pin"})
    fs::permissions(dir_ / name, fs::perms::owner_read | fs::perms::owner_write);
  point_at(dir_ / "softhsm2.conf");
  init_token(dir_.path());
}

std::string SoftToken::uri(std::string_view object, Pin pin, std::string_view extraPath,
                           std::string_view module) const {
  std::string text = "pkcs11:token=" + std::string(kLabel) + ";object=" + std::string(object) +
                     std::string(extraPath) + "?module-path=" +
                     (module.empty() ? module_path() : std::string(module));
  switch (pin) {
    case Pin::kSource:
      return text + "&pin-source=" + (dir_ / "pin").string();
    case Pin::kWrongSource:
      return text + "&pin-source=" + (dir_ / "wrong-pin").string();
    case Pin::kValue:
      return text + "&pin-value=" + std::string(kPin);
    case Pin::kNone:
      break;
  }
  return text;
}

void SoftToken::offer_pss(bool offered) const {
  point_at(dir_ / (offered ? "softhsm2.conf" : "no-pss.conf"));
}

void SoftToken::make_key(std::string_view object, const token::KeyShape& shape,
                         std::string_view extraPath) const {
  std::string error;
  const auto parsed = token::Uri::parse(uri(object, Pin::kSource, extraPath));
  auto opened = parsed ? token::Token::open(*parsed, error) : nullptr;
  if (!opened || !opened->generate_key(shape)) {
    throw std::runtime_error("cannot make token key " + std::string(object) + ": " + error +
                             (opened ? opened->error() : ""));
  }
}

std::unique_ptr<token::Token> SoftToken::open_key(std::string_view object,
                                                  const token::KeyShape& shape) const {
  std::string error;
  const auto parsed = token::Uri::parse(uri(object));
  auto opened = parsed ? token::Token::open(*parsed, error) : nullptr;
  if (!opened) {
    ADD_FAILURE() << "cannot open the token: " << error;
    return nullptr;
  }
  if (!opened->use_key(shape)) {
    ADD_FAILURE() << "no usable key " << object << ": " << opened->error();
    return nullptr;
  }
  return opened;
}

namespace {

// The program's argv: its path, then `args` (which must outlive it).
std::vector<char*> program_argv(const std::vector<std::string>& args) {
  std::vector<char*> argv{const_cast<char*>(QIV_TARNWICK_PROGRAM)};
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  return argv;
}

// Starts the program in `folder` in a session of its own, standard input and outputs on `io`
// (made its controlling terminal when `terminal`); `other`, if not -1, is closed in the child.
pid_t start_in_session(const fs::path& folder, const std::vector<std::string>& args, int io,
                       bool terminal, int other) {
  std::vector<char*> argv = program_argv(args);
  const pid_t child = ::fork();
  if (child == 0) {
    ::setsid();
    if (terminal) ::ioctl(io, TIOCSCTTY, 0);
    for (const int fd : {0, 1, 2}) ::dup2(io, fd);
    if (other >= 0) ::close(other);
    if (::chdir(folder.c_str()) == 0) ::execv(QIV_TARNWICK_PROGRAM, argv.data());
    ::_exit(127);
  }
  return child;
}

}  // namespace

Captured run_detached(const fs::path& folder, const std::vector<std::string>& args) {
  return run_in_child([&]() -> int {
    ::setsid();
    if (::chdir(folder.c_str()) != 0) return 126;
    std::vector<char*> argv = program_argv(args);
    ::execv(QIV_TARNWICK_PROGRAM, argv.data());
    return 127;
  });
}

pid_t start_detached(const fs::path& folder, const std::vector<std::string>& args) {
  const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  const pid_t child = start_in_session(folder, args, null, false, -1);
  if (null >= 0) ::close(null);
  return child;
}

pid_t start_on_terminal(const fs::path& folder, const std::vector<std::string>& args,
                        int& master, int& slave) {
  if (::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) return -1;
  return start_in_session(folder, args, slave, true, master);
}

int wait_for(pid_t child) {
  int status = 0;
  while (::waitpid(child, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
}

std::map<std::string, std::vector<std::uint8_t>> snapshot(const fs::path& folder) {
  std::map<std::string, std::vector<std::uint8_t>> files;
  for (const auto& entry : fs::directory_iterator(folder)) {
    files[entry.path().filename()] =
        entry.is_regular_file() ? read_bytes(entry.path()) : std::vector<std::uint8_t>{};
  }
  return files;
}

void write_text(const fs::path& file, std::string_view text) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out << text;
  if (!out) throw std::runtime_error("cannot write " + file.string());
}

std::string read_text(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string hex(std::span<const std::uint8_t> bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string out;
  for (const std::uint8_t b : bytes) {
    out.push_back(kDigits[b >> 4]);
    out.push_back(kDigits[b & 0x0F]);
  }
  return out;
}

}  // namespace soft_token
