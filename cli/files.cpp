// Whole-file reading and writing on POSIX descriptors, each owned by an RAII holder so that no
// path out of a routine leaks one.
#include "cli/files.h"

#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "cli/files_seam.h"
#include "cli/process_guard.h"
#include "crypto/descriptor.h"
#include "crypto/wipe.h"

namespace {

constexpr const char* kOpenError = "file open error\n";
constexpr const char* kReadError = "file read error\n";
constexpr const char* kWriteError = "file write error\n";

// Reading failures end the process: the command has written nothing yet and cannot go on.
[[noreturn]] void end_on_read_failure(const char* message) {
  std::fputs(message, stdout);
  std::exit(-1);
}

bool report(const char* message) {
  std::fputs(message, stdout);
  return false;
}

using qiv::Descriptor;

Descriptor open_retrying(const char* path, int flags, mode_t mode = 0) {
  int fd = -1;
  do {
    fd = ::open(path, flags, mode);
  } while (fd < 0 && errno == EINTR);
  return Descriptor(fd);
}

// Drops O_NONBLOCK once a descriptor is open: the open must not wait (a named pipe without a
// peer), but the reads and writes that follow should, as for any file.
bool make_blocking(const Descriptor& fd) {
  const int flags = ::fcntl(fd.get(), F_GETFL);
  return flags >= 0 && ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) == 0;
}

// ---------------------------------------------------------------------------------------------
// Reading

// An input opened once, with its size at the time it was opened. A named pipe opened for
// reading would wait for a writer forever, so the open does not wait; a folder opens but is
// not a file a command can read.
struct Input {
  Descriptor fd;
  struct stat st {};
};

Input open_input(const char* path) {
  Input in{open_retrying(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY), {}};
  if (!in.fd.valid() || ::fstat(in.fd.get(), &in.st) != 0 || S_ISDIR(in.st.st_mode) ||
      !make_blocking(in.fd)) {
    end_on_read_failure(kOpenError);
  }
  return in;
}

// The size of a regular file, bounded by `limit`.
std::size_t regular_size(const Input& in, std::int64_t limit) {
  if (!S_ISREG(in.st.st_mode) || in.st.st_size > limit) end_on_read_failure(kReadError);
  return static_cast<std::size_t>(in.st.st_size);
}

// Reads exactly `count` bytes from the start; read() returns 0 at the end of the file, so a
// file shorter than count ends here instead of being asked for the missing bytes forever.
void read_exactly(const Input& in, std::uint8_t* buffer, std::size_t count) {
  std::size_t done = 0;
  while (done < count) {
    const ssize_t n = ::read(in.fd.get(), buffer + done, count - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) end_on_read_failure(kOpenError);
    done += static_cast<std::size_t>(n);
  }
}

// A regular file that grew or shrank while it was read was being written by someone else: its
// bytes are no file that ever existed as a whole. Whole-file reads also make sure that nothing
// follows the bytes they took.
void require_unchanged(const char* path, const Input& in, bool wholeFile) {
  if (files_seam::after_read != nullptr) files_seam::after_read(path);
  if (!S_ISREG(in.st.st_mode)) return;
  struct stat now {};
  if (::fstat(in.fd.get(), &now) != 0 || now.st_size != in.st.st_size) {
    end_on_read_failure(kReadError);
  }
  if (!wholeFile) return;
  std::uint8_t extra = 0;
  ssize_t n = 0;
  do {
    n = ::read(in.fd.get(), &extra, 1);
  } while (n < 0 && errno == EINTR);
  if (n != 0) end_on_read_failure(kReadError);
}

// ---------------------------------------------------------------------------------------------
// Temporary files and the signal handlers' view of them

// The handlers may call unlink(2) and nothing that allocates or locks, so the names of the
// temporaries alive now live in fixed storage. A slot is claimed and released only while the
// cleanup signals are held (SignalsHeld), so a handler never sees half a name.
constexpr std::size_t kMaxTemporaries = 16;
std::array<std::array<char, PATH_MAX>, kMaxTemporaries> sTemporaryNames{};
std::array<volatile sig_atomic_t, kMaxTemporaries> sTemporaryInUse{};

int claim_slot(const std::string& path) {
  if (path.size() >= PATH_MAX) return -1;
  for (std::size_t i = 0; i < kMaxTemporaries; ++i) {
    if (sTemporaryInUse[i] != 0) continue;
    std::memcpy(sTemporaryNames[i].data(), path.c_str(), path.size() + 1);
    sTemporaryInUse[i] = 1;
    return static_cast<int>(i);
  }
  return -1;
}

void release_slot(int slot) {
  if (slot >= 0) sTemporaryInUse[static_cast<std::size_t>(slot)] = 0;
}

std::string folder_of(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// A new file in `folder` (empty, or ending with '/') under a name no other process uses; it is
// removed again unless release() is called once it has been installed.
class TemporaryFile {
 public:
  TemporaryFile() = default;
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;
  ~TemporaryFile() { remove(); }

  // O_EXCL guarantees the file is ours; a name taken by a leftover of an earlier run is
  // skipped. False with errno from the last attempt.
  [[nodiscard]] bool create(const std::string& folder, mode_t mode) {
    static unsigned serial = 0;
    for (int attempt = 0; attempt < 100; ++attempt) {
      std::string candidate = folder + ".Tarnwick_V21-" + std::to_string(::getpid()) + "-" +
                              std::to_string(serial++) + ".tmp";
      const SignalsHeld held;
      fd_ = open_retrying(candidate.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, mode);
      if (fd_.valid()) {
        slot_ = claim_slot(candidate);
        path_ = std::move(candidate);
        if (slot_ >= 0) return true;
        remove();
        errno = EMFILE;
        return false;
      }
      if (errno != EEXIST) return false;
    }
    return false;
  }

  [[nodiscard]] Descriptor& descriptor() { return fd_; }
  [[nodiscard]] const std::string& path() const { return path_; }
  [[nodiscard]] bool exists() const { return !path_.empty(); }

  // The name is no longer ours to remove (it was renamed into place).
  void release() {
    const SignalsHeld held;
    release_slot(std::exchange(slot_, -1));
    path_.clear();
  }

  void remove() {
    if (path_.empty()) return;
    const SignalsHeld held;
    ::unlink(path_.c_str());
    release();
  }

 private:
  Descriptor fd_;
  std::string path_;
  int slot_ = -1;
};

// ---------------------------------------------------------------------------------------------
// Writing

bool write_all(int fd, std::span<const std::uint8_t> bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes = bytes.subspan(static_cast<std::size_t>(n));
  }
  return true;
}

// Data and size of the file on disk before anything that relies on them.
bool flush(int fd, const std::string& path) {
  if (files_seam::step != nullptr) files_seam::step("flush", path.c_str());
  return ::fsync(fd) == 0;
}

// The path a write lands on: symbolic links are followed to the name they lead to, which need
// not exist yet (a dangling link creates its target). nullopt for a loop or an unreadable link.
std::optional<std::string> resolve_links(const char* path) {
  std::string current = path;
  for (int hop = 0; hop < 40; ++hop) {
    struct stat st {};
    if (::lstat(current.c_str(), &st) != 0) {
      if (errno == ENOENT) return current;
      return std::nullopt;
    }
    if (!S_ISLNK(st.st_mode)) return current;
    std::array<char, PATH_MAX> target{};
    const ssize_t n = ::readlink(current.c_str(), target.data(), target.size() - 1);
    if (n <= 0) return std::nullopt;
    const std::string link(target.data(), static_cast<std::size_t>(n));
    current = link.front() == '/' ? link : folder_of(current) + link;
  }
  return std::nullopt;
}

void fsync_folder(const std::string& folder) {
  const Descriptor fd =
      open_retrying(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd.valid()) ::fsync(fd.get());  // some file systems refuse it on folders; nothing to do then
}

// ---------------------------------------------------------------------------------------------
// Writing into an existing file
//
// A file that a rename cannot replace is overwritten where it stands, so a write that stopped
// part way would leave neither the old file nor the new one. The writer never starts what it
// cannot take back: it keeps the old bytes, length and mode, reserves room for every byte it
// will write (a size limit or a full disk then fails the reservation, before a byte changed),
// writes, flushes, cuts the old tail only once the new bytes are on disk, and on any failure
// puts the old state back.

constexpr std::size_t kCopyChunk = std::size_t{1} << 16;

bool read_at(int fd, std::uint8_t* to, std::size_t count, off_t offset) {
  while (count > 0) {
    const ssize_t n = ::pread(fd, to, count, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    to += n;
    count -= static_cast<std::size_t>(n);
    offset += n;
  }
  return true;
}

// `failAt` (negative: never) plays a device error once that many bytes are written.
bool write_at(int fd, std::span<const std::uint8_t> bytes, off_t offset, std::int64_t failAt = -1) {
  while (!bytes.empty()) {
    std::size_t count = bytes.size();
    if (failAt >= 0) {
      if (offset >= failAt) {
        errno = EIO;
        return false;
      }
      count = std::min(count, static_cast<std::size_t>(failAt - offset));
    }
    const ssize_t n = ::pwrite(fd, bytes.data(), count, offset);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes = bytes.subspan(static_cast<std::size_t>(n));
    offset += n;
  }
  return true;
}

// Copies `length` bytes from the start of one descriptor to the start of another through a
// buffer that is wiped: the file may be a key.
bool copy_bytes(int from, int to, off_t length) {
  qiv::SecretBuffer chunk(std::min(kCopyChunk, static_cast<std::size_t>(length)));
  if (length > 0 && !chunk.ok()) return false;
  for (off_t at = 0; at < length;) {
    const std::size_t n = std::min(chunk.size(), static_cast<std::size_t>(length - at));
    if (!read_at(from, chunk.data(), n, at) || !write_at(to, std::span(chunk.data(), n), at)) {
      return false;
    }
    at += static_cast<off_t>(n);
  }
  return true;
}

// What a file written in place held: its bytes, in a 0600 temporary beside it or, where its
// folder takes none (the usual reason for writing in place), in wiped memory; its length; its
// mode. Kept until the whole set is installed, so that a later output's failure can still
// bring it back.
class OldContents {
 public:
  // Nothing of the file changes. False when its bytes cannot be read or kept anywhere.
  [[nodiscard]] bool save(const std::string& target, const struct stat& st) {
    length_ = st.st_size;
    mode_ = st.st_mode & 07777;
    saved_ = true;
    if (length_ == 0) return true;
    // The descriptor being written may be write-only; the same file is opened again to read.
    const Descriptor reader =
        open_retrying(target.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    struct stat now {};
    if (!reader.valid() || ::fstat(reader.get(), &now) != 0 || now.st_dev != st.st_dev ||
        now.st_ino != st.st_ino) {
      saved_ = false;
      return false;
    }
    if (file_.create(folder_of(target), 0600) &&
        copy_bytes(reader.get(), file_.descriptor().get(), length_)) {
      return true;
    }
    file_.remove();
    memory_.emplace(static_cast<std::size_t>(length_));
    saved_ = memory_->ok() && read_at(reader.get(), memory_->data(), memory_->size(), 0);
    return saved_;
  }

  // Puts the saved bytes, length and mode back into the file open as `fd`.
  bool restore(int fd) {
    if (!saved_) return true;
    const bool bytesBack =
        length_ == 0 ||
        (file_.exists()
             ? copy_bytes(file_.descriptor().get(), fd, length_)
             : write_at(fd, std::span<const std::uint8_t>(memory_->data(), memory_->size()), 0));
    struct stat now {};
    const bool modeBack =
        ::fstat(fd, &now) == 0 && ((now.st_mode & 07777) == mode_ || ::fchmod(fd, mode_) == 0);
    const bool lengthBack = ::ftruncate(fd, length_) == 0;
    return bytesBack && modeBack && lengthBack && ::fsync(fd) == 0;
  }

  void discard() {
    file_.remove();
    memory_.reset();
    saved_ = false;
  }

 private:
  TemporaryFile file_;
  std::optional<qiv::SecretBuffer> memory_;
  off_t length_ = 0;
  mode_t mode_ = 0;
  bool saved_ = false;
};

}  // namespace

// ---------------------------------------------------------------------------------------------

struct OutputSet::Output {
  std::string target;  // links resolved
  FileAccess access = FileAccess::kShared;
  Existing existing = Existing::kReplace;
  bool existed = false;
  TemporaryFile temp;                  // rename (or link) into place
  Descriptor inPlace;                  // or write into the existing file
  std::vector<std::uint8_t> bytes;     // kept only for an in-place write
  std::span<const std::uint8_t> view;  // what an in-place write writes: bytes, or borrowed
  TemporaryFile backup;  // the old file under a second name while the set is installed
  OldContents old;       // what an in-place write overwrote, until the set is installed
  bool installed = false;
};

OutputSet::OutputSet() = default;

namespace {

void keep_second_name(OutputSet::Output& out) {
  if (!out.backup.create(folder_of(out.target), 0600)) return;
  out.backup.descriptor() = Descriptor();
  const std::string name = out.backup.path();
  ::unlink(name.c_str());  // the unique name is what was wanted, not the empty file
  if (::link(out.target.c_str(), name.c_str()) != 0) out.backup.release();
}

}  // namespace

OutputSet::~OutputSet() {
  for (auto& out : outputs_) qiv::wipe(out->bytes.data(), out->bytes.size());
}

namespace {

// Why a rename could not stand in for the existing file: it is not a regular file, other names
// share it (they would keep the old bytes), it is mounted over (rename gives EBUSY), or it sits
// in a sticky folder (such as /tmp) where only its owner or the folder's may replace it.
bool needs_in_place(const std::string& target, const struct stat& st) {
  if (!S_ISREG(st.st_mode) || st.st_nlink > 1) return true;
  struct stat folder {};
  const std::string f = folder_of(target);
  if (::stat(f.empty() ? "." : f.c_str(), &folder) != 0 || folder.st_dev != st.st_dev) return true;
  const uid_t me = ::geteuid();
  return (folder.st_mode & S_ISVTX) != 0 && me != 0 && me != st.st_uid && me != folder.st_uid;
}

// The temporary's permissions and owner, as the file it replaces should have them.
bool dress_like(int fd, const struct stat* old, FileAccess access) {
  if (access == FileAccess::kOwnerOnly) return ::fchmod(fd, 0600) == 0;
  if (old == nullptr) return true;  // a new file: open() applied the umask
  if (::fchmod(fd, old->st_mode & 0777) != 0) return false;
  return ::geteuid() != 0 || ::fchown(fd, old->st_uid, old->st_gid) == 0;
}

}  // namespace

bool OutputSet::add_borrowed(const char* path, std::span<const std::uint8_t> bytes,
                             FileAccess access) {
  borrowing_ = true;
  const bool added = add(path, bytes, access);
  borrowing_ = false;
  return added;
}

bool OutputSet::add(const char* path, std::span<const std::uint8_t> bytes, FileAccess access,
                    Existing existing) {
  auto out = std::make_unique<Output>();
  out->access = access;
  out->existing = existing;
  const bool ok = [&] {
    if (path == nullptr || *path == '\0') return report(kOpenError);
    const std::optional<std::string> target = resolve_links(path);
    if (!target) return report(kOpenError);
    out->target = *target;

    struct stat st {};
    out->existed = ::stat(out->target.c_str(), &st) == 0;
    if (!out->existed && errno != ENOENT) return report(kOpenError);
    bool inPlace = false;
    if (out->existed && existing == Existing::kReplace) {
      // Opening for writing asks the kernel the question the user's permissions answer; it
      // changes nothing, and for a named pipe without a reader it fails instead of waiting.
      out->inPlace =
          open_retrying(out->target.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
      if (!out->inPlace.valid() || !make_blocking(out->inPlace)) return report(kOpenError);
      inPlace = needs_in_place(out->target, st);
    }
    if (!inPlace &&
        !out->temp.create(folder_of(out->target), access == FileAccess::kOwnerOnly ? 0600 : 0666)) {
      // A writable file in a folder that is not: the file itself can still take the bytes.
      if (!out->inPlace.valid() || (errno != EACCES && errno != EPERM && errno != EROFS)) {
        return report(kOpenError);
      }
      inPlace = true;
    }
    if (inPlace) {
      if (!borrowing_) out->bytes.assign(bytes.begin(), bytes.end());
      out->view = borrowing_ ? bytes : std::span<const std::uint8_t>(out->bytes);
      return true;
    }
    out->inPlace = Descriptor();
    Descriptor& fd = out->temp.descriptor();
    if (!dress_like(fd.get(), out->existed ? &st : nullptr, access) ||
        !write_all(fd.get(), bytes) || !flush(fd.get(), out->temp.path()) || !fd.close()) {
      out->temp.remove();
      return report(kWriteError);
    }
    return true;
  }();
  if (!ok) {
    failed_ = true;
    return false;
  }
  outputs_.push_back(std::move(out));
  return true;
}

namespace {

// A second name (a hard link) for the file an output replaces, so that a later failure of the
// set can bring it back. Where the file system or its protections refuse the link, the output
// goes on without one: its rename is still atomic on its own.
void keep_second_name(OutputSet::Output& out);

}  // namespace

namespace {

// Writes an in-place output over the regular file it names (see OldContents). False after a
// failure, with the file as it was.
bool overwrite(OutputSet::Output& out) {
  const int fd = out.inPlace.get();
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !out.old.save(out.target, st)) return false;
  const off_t length = static_cast<off_t>(out.view.size());
  // Set-user and set-group bits never carry over to new content (the kernel drops them itself
  // when an unprivileged user writes, so its refusal to change another user's file is fine);
  // a secret is the owner's alone.
  const bool secret = out.access == FileAccess::kOwnerOnly;
  const mode_t mode = secret ? 0600 : st.st_mode & 0777;
  const bool dressed =
      mode == (st.st_mode & 07777) || ::fchmod(fd, mode) == 0 || (!secret && errno == EPERM);
  if (dressed && (length == 0 || ::posix_fallocate(fd, 0, length) == 0) &&
      write_at(fd, out.view, 0, files_seam::fail_in_place_write_at) && flush(fd, out.target) &&
      ::ftruncate(fd, length) == 0 && flush(fd, out.target)) {
    return true;
  }
  out.old.restore(fd);
  return false;
}

}  // namespace

OutputSet::Result OutputSet::install() {
  if (failed_) return Result::kFailed;
  const SignalsHeld held;  // from the first step to the last: a signal here waits for the end
  // Every step below can be undone until the last one: new names are unlinked again, the old
  // files come back from their second names and files written in place get their old bytes.
  const auto undo = [&] {
    for (auto& out : outputs_) {
      if (!out->installed) continue;
      if (out->inPlace.valid()) {
        out->old.restore(out->inPlace.get());
      } else if (out->backup.exists()) {
        if (::rename(out->backup.path().c_str(), out->target.c_str()) == 0) out->backup.release();
      } else if (!out->existed) {
        ::unlink(out->target.c_str());
      }  // else the old file had no second name: the new one is better than none
      out->installed = false;
    }
  };
  const auto fail = [&](Result result) {
    undo();
    if (result == Result::kFailed) report(kWriteError);
    return result;
  };

  // Exclusive names first: a set that finds one of them taken gives up before it has replaced
  // anything. link() never replaces, so of two commands racing for a name exactly one gets it.
  std::vector<std::string> folders;
  for (auto& out : outputs_) {
    if (!out->temp.exists() || out->existing != Existing::kRefuse) continue;
    if (::link(out->temp.path().c_str(), out->target.c_str()) != 0) {
      if (errno != EEXIST) return fail(Result::kFailed);
      existing_ = out->target;
      return fail(Result::kExists);
    }
    out->temp.remove();
    out->existed = false;  // the name is ours alone: undo removes it
    out->installed = true;
    folders.push_back(folder_of(out->target));
  }
  for (auto& out : outputs_) {
    if (!out->temp.exists()) continue;
    // Whether a file stands under the name is asked now, not when the output was prepared:
    // another process may have made one meanwhile, and undo must give it back.
    out->existed = name_is_taken(out->target.c_str());
    if (out->existed) keep_second_name(*out);
    if (files_seam::step != nullptr) files_seam::step("rename", out->temp.path().c_str());
    if (::rename(out->temp.path().c_str(), out->target.c_str()) != 0) {
      return fail(Result::kFailed);
    }
    out->temp.release();
    out->installed = true;
    folders.push_back(folder_of(out->target));
  }
  std::sort(folders.begin(), folders.end());
  folders.erase(std::unique(folders.begin(), folders.end()), folders.end());
  for (const std::string& folder : folders) fsync_folder(folder);

  // Files that a rename cannot replace take their bytes after every rename: regular files
  // first, each one undone again if a later step fails; devices and pipes last, because what
  // is written to them cannot be taken back.
  const auto regular = [](const Output& out) {
    struct stat st {};
    return ::fstat(out.inPlace.get(), &st) == 0 && S_ISREG(st.st_mode);
  };
  for (auto& out : outputs_) {
    if (!out->inPlace.valid() || !regular(*out)) continue;
    if (!overwrite(*out)) return fail(Result::kFailed);
    out->installed = true;
  }
  for (auto& out : outputs_) {
    if (!out->inPlace.valid() || out->installed) continue;
    if (!write_all(out->inPlace.get(), out->view) || !out->inPlace.close()) {
      return fail(Result::kFailed);
    }
  }
  for (auto& out : outputs_) {
    out->backup.remove();
    out->old.discard();
    out->inPlace = Descriptor();  // flushed: its close has nothing left to report
  }
  return Result::kInstalled;
}

std::int32_t write_file(const char* path, const std::uint8_t* buffer, std::int32_t count,
                        FileAccess access) {
  if (count < 0 || (count > 0 && buffer == nullptr)) {
    report(kWriteError);
    return -1;
  }
  OutputSet set;  // installed before the caller's buffer can change
  if (!set.add_borrowed(path, std::span(buffer, static_cast<std::size_t>(count)), access)) {
    return -1;
  }
  return set.install() == OutputSet::Result::kInstalled ? 0 : -1;
}

bool name_is_taken(const char* path) {
  struct stat st {};
  return ::lstat(path, &st) == 0;
}

bool same_file(const char* a, const char* b) {
  struct stat sa {};
  struct stat sb {};
  return ::stat(a, &sa) == 0 && ::stat(b, &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

void remove_temporary_files_now() noexcept {
  for (std::size_t i = 0; i < kMaxTemporaries; ++i) {
    if (sTemporaryInUse[i] != 0) ::unlink(sTemporaryNames[i].data());
  }
}

// ---------------------------------------------------------------------------------------------

std::int32_t get_file_length(const char* path) {
  const Input in = open_input(path);
  return static_cast<std::int32_t>(regular_size(in, kMaxFileLength));
}

void read_file(const char* path, std::uint8_t* buffer, std::int32_t count) {
  const Input in = open_input(path);
  if (count < 0) end_on_read_failure(kOpenError);
  read_exactly(in, buffer, static_cast<std::size_t>(count));
  require_unchanged(path, in, false);
}

std::int32_t read_whole_file(const char* path, std::span<std::uint8_t> room) {
  std::fill(room.begin(), room.end(), std::uint8_t{0});
  const Input in = open_input(path);
  const std::size_t length = regular_size(in, kMaxFileLength);
  if (length > room.size()) return -1;
  read_exactly(in, room.data(), length);
  require_unchanged(path, in, true);
  return static_cast<std::int32_t>(length);
}

std::optional<qiv::SecretBuffer> read_file_with_trailer(const char* path, std::uint32_t trailer) {
  const Input in = open_input(path);
  const std::int64_t limit = std::int64_t{kMaxFileLength} - std::int64_t{trailer};
  const std::size_t length = regular_size(in, limit);
  std::optional<qiv::SecretBuffer> buffer(std::in_place, length + trailer);
  if (!buffer->ok()) {
    std::fputs(kOutOfMemory, stdout);
    return std::nullopt;
  }
  read_exactly(in, buffer->data(), length);
  require_unchanged(path, in, true);
  return buffer;
}
