#include "tests/cli/e2e_support.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cctype>
#include <csignal>
#include <cstdlib>
#include <stdexcept>

namespace e2e {

namespace {

constexpr uid_t kNobody = 65534;

// Closes the descriptor, releasing its lock, on every path.
class LockedFile {
 public:
  explicit LockedFile(const fs::path& path)
      : fd_(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644)) {
    if (fd_ < 0 || ::flock(fd_, LOCK_EX) != 0)
      throw std::runtime_error("cannot lock " + path.string());
  }
  LockedFile(const LockedFile&) = delete;
  LockedFile& operator=(const LockedFile&) = delete;
  ~LockedFile() { ::close(fd_); }

 private:
  int fd_;
};

void make(const fs::path& folder, const std::vector<std::string>& args) {
  const Captured result = run(folder, args);
  if (result.status != 0) {
    throw std::runtime_error("key generation failed: status " + std::to_string(result.status) +
                             "\n" + result.output);
  }
}

void make_keys(const fs::path& folder) {
  fs::create_directories(folder / "other");
  make(folder, {"-v2.1", "-KEYGEN"});
  make(folder, {"-v2.1", "alice", "-STAGE2_KEYGEN"});
  make(folder, {"-v2.1", "bob", "-STAGE2_KEYGEN"});
  make(folder, {"-v1.1", "-KEYGEN"});
  make(folder, {"-v1.1", "alice", "-STAGE2_KEYGEN"});
  make(folder, {"-v1.1", "bob", "-STAGE2_KEYGEN"});
  make(folder / "other", {"-v2.1", "-KEYGEN"});
  make(folder / "other", {"-v1.1", "-KEYGEN"});
}

std::string program_stamp() {
  const fs::path program = QIV_TARNWICK_PROGRAM;
  const auto time = fs::last_write_time(program).time_since_epoch().count();
  return "keys-" + std::to_string(fs::file_size(program)) + "-" + std::to_string(time);
}

fs::path find_or_make_keys() {
  const fs::path root = QIV_E2E_KEY_CACHE;
  fs::create_directories(root);
  const fs::path keys = root / program_stamp();
  // Several test processes may start at once; the first makes the keys, the others wait.
  const LockedFile lock(root / "lock");
  if (fs::exists(keys)) return keys;
  for (const auto& entry : fs::directory_iterator(root)) {
    if (entry.is_directory()) fs::remove_all(entry.path());  // keys of older programs
  }
  const fs::path partial = root / ("partial-" + std::to_string(::getpid()));
  fs::create_directories(partial);
  make_keys(partial);
  fs::rename(partial, keys);
  return keys;
}

// "nobody" may not be able to reach the build tree: as root, unprivileged runs start a copy of
// the program in a folder of its own, made before the first fork and removed at exit.
std::string program_for(const RunLimits& limits) {
  if (!limits.unprivileged || ::geteuid() != 0) return QIV_TARNWICK_PROGRAM;
  static const TempDir holder;
  static const std::string copy = [] {
    const fs::path path = holder / "Tarnwick_V21";
    fs::copy_file(QIV_TARNWICK_PROGRAM, path, fs::copy_options::overwrite_existing);
    const auto readAndRun = fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                            fs::perms::others_read | fs::perms::others_exec;
    fs::permissions(path, readAndRun);
    fs::permissions(holder.path(), readAndRun);
    return path.string();
  }();
  return copy;
}

}  // namespace

const fs::path& shared_key_folder() {
  static const fs::path folder = find_or_make_keys();
  return folder;
}

void copy_key(const fs::path& to, std::string_view name, std::string_view as) {
  const fs::path from = shared_key_folder() / name;
  const fs::path target = to / (as.empty() ? from.filename() : fs::path(as));
  fs::copy_file(from, target, fs::copy_options::overwrite_existing);
}

void copy_keys(const fs::path& to, std::initializer_list<std::string_view> names) {
  for (const std::string_view name : names) copy_key(to, name);
}

void stage_v21(const fs::path& folder) {
  copy_keys(folder, {"eFuseData_V21.dat", "publicKeyInfo_V21.dat", "privateKey_V21.dat",
                     "alice_V21.spk", "alice_V21.prv"});
  copy_key(folder, "alice_V21.spk", "publicKeyInfo_V21_stage2.dat");
}

void stage_v11(const fs::path& folder) {
  copy_keys(folder,
            {"eFuseData.dat", "publicKeyInfo.dat", "privateKey.dat", "alice.spk", "alice.prv"});
  copy_key(folder, "alice.spk", "stage2_key.spk");
}

Captured run(const fs::path& folder, const std::vector<std::string>& args, RunLimits limits) {
  const std::string program = program_for(limits);
  return run_in_child([&]() -> int {
    if (limits.fileSizeLimit) {
      // SIGXFSZ keeps its default action here: the program must deal with it itself.
      std::signal(SIGXFSZ, SIG_DFL);
      const auto limit = static_cast<rlim_t>(*limits.fileSizeLimit);
      const rlimit rl{limit, limit};
      if (::setrlimit(RLIMIT_FSIZE, &rl) != 0) return 125;
    }
    if (limits.unprivileged) drop_root_privileges();
    if (::chdir(folder.c_str()) != 0) return 126;
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    ::execv(program.c_str(), argv.data());
    return 127;
  });
}

void hand_to_nobody(const fs::path& folder) {
  if (::geteuid() != 0) return;
  if (::chown(folder.c_str(), kNobody, kNobody) != 0) throw std::runtime_error("chown");
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    if (::lchown(entry.path().c_str(), kNobody, kNobody) != 0) throw std::runtime_error("chown");
  }
}

void flip_byte(const fs::path& file, std::size_t offset, std::uint8_t mask) {
  Bytes bytes = read_bytes(file);
  bytes.at(offset) ^= mask;
  write_bytes(file, bytes);
}

fs::perms permissions_of(const fs::path& file) {
  return fs::status(file).permissions() & fs::perms::all;
}

std::uint32_t le32(const Bytes& bytes, std::size_t offset) {
  return std::uint32_t{bytes.at(offset)} | std::uint32_t{bytes.at(offset + 1)} << 8 |
         std::uint32_t{bytes.at(offset + 2)} << 16 | std::uint32_t{bytes.at(offset + 3)} << 24;
}

void put_le32(Bytes& bytes, std::size_t offset, std::uint32_t value) {
  for (std::size_t i = 0; i < 4; ++i)
    bytes.at(offset + i) = static_cast<std::uint8_t>(value >> (8 * i));
}

bool sanitized() {
  const char* value = std::getenv("QIV_SANITIZED");
  return value != nullptr && std::string_view(value) == "1";
}

std::string test_name(std::string_view what) {
  std::string name(what);
  for (char& ch : name) {
    if (std::isalnum(static_cast<unsigned char>(ch)) == 0) ch = '_';
  }
  return name;
}

std::vector<std::string> temporary_files(const fs::path& folder) {
  std::vector<std::string> found;
  for (const auto& entry : fs::directory_iterator(folder)) {
    const std::string name = entry.path().filename();
    if (name.starts_with(".Tarnwick_V21-")) found.push_back(name);
  }
  return found;
}

}  // namespace e2e
