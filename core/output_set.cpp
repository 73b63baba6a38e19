// The output set: outputs prepared in temporaries beside their targets and installed together,
// or written into files that a rename cannot replace with their old contents kept until the
// whole set stands.
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <optional>
#include <utility>

#include "core/files.h"
#include "core/digest.h"
#include "core/files_seam.h"
#include "core/posix_files.h"
#include "core/process_guard.h"
#include "core/temporary_files.h"
#include "crypto/descriptor.h"
#include "crypto/wipe.h"

namespace {

using core::Class;
using core::Event;

std::string errno_text(int error) {
  std::string text = std::strerror(error);
  if (!text.empty()) text.front() = static_cast<char>(std::tolower(text.front()));
  return text;
}

using posix_files::folder_of;
using posix_files::make_blocking;
using posix_files::open_retrying;
using qiv::Descriptor;

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

struct OutputSet::Output {
  std::string given;   // the name the command was given, for its report
  std::string what;    // what the file holds, for its report
  std::size_t size = 0;
  std::array<std::uint8_t, 32> sha256{};
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

OutputSet::OutputSet(core::Report& report) : report_(report) {}

namespace {

// A second name (a hard link) for the file an output replaces, so that a later failure of the
// set can bring it back. Where the file system or its protections refuse the link, the output
// goes on without one: its rename is still atomic on its own.
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
                             FileAccess access, Existing existing, std::string what) {
  borrowing_ = true;
  const bool added = add(path, bytes, access, existing, std::move(what));
  borrowing_ = false;
  return added;
}

bool OutputSet::add(const char* path, std::span<const std::uint8_t> bytes, FileAccess access,
                    Existing existing, std::string what) {
  auto out = std::make_unique<Output>();
  out->access = access;
  out->existing = existing;
  out->what = std::move(what);
  out->size = bytes.size();
  out->sha256 = sha256_of(bytes);
  const auto cannot_open = [&](const char* cause = nullptr) {
    report_.refuse(Class::kOutput, Event::kFileOpenError, path == nullptr ? "" : path,
                   cause != nullptr ? cause : "cannot be written: " + errno_text(errno));
    return false;
  };
  const bool ok = [&] {
    if (path == nullptr || *path == '\0') return cannot_open("an empty file name");
    const std::optional<std::string> target = resolve_links(path);
    if (!target) return cannot_open("a symbolic link that leads nowhere readable");
    out->target = *target;
    out->given = path;

    struct stat st {};
    out->existed = ::stat(out->target.c_str(), &st) == 0;
    if (!out->existed && errno != ENOENT) return cannot_open();
    bool inPlace = false;
    if (out->existed && existing == Existing::kReplace) {
      // Opening for writing asks the kernel the question the user's permissions answer; it
      // changes nothing, and for a named pipe without a reader it fails instead of waiting.
      out->inPlace =
          open_retrying(out->target.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
      if (!out->inPlace.valid() || !make_blocking(out->inPlace)) return cannot_open();
      inPlace = needs_in_place(out->target, st);
    }
    if (!inPlace &&
        !out->temp.create(folder_of(out->target), access == FileAccess::kOwnerOnly ? 0600 : 0666)) {
      // A writable file in a folder that is not: the file itself can still take the bytes.
      if (!out->inPlace.valid() || (errno != EACCES && errno != EPERM && errno != EROFS)) {
        return cannot_open();
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
      const int error = errno;
      out->temp.remove();
      report_.refuse(Class::kOutput, Event::kFileWriteError, path,
                     "cannot be written: " + errno_text(error));
      return false;
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
  std::string failing;  // the output whose step failed
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
    const int error = errno;
    undo();
    if (result == Result::kFailed) {
      report_.refuse(Class::kOutput, Event::kFileWriteError, failing,
                     "cannot be written: " + errno_text(error));
    }
    return result;
  };

  // Exclusive names first: a set that finds one of them taken gives up before it has replaced
  // anything. link() never replaces, so of two commands racing for a name exactly one gets it.
  std::vector<std::string> folders;
  for (auto& out : outputs_) {
    if (!out->temp.exists() || out->existing != Existing::kRefuse) continue;
    if (::link(out->temp.path().c_str(), out->target.c_str()) != 0) {
      failing = out->target;
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
      failing = out->target;
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
    if (!overwrite(*out)) {
      failing = out->target;
      return fail(Result::kFailed);
    }
    out->installed = true;
  }
  for (auto& out : outputs_) {
    if (!out->inPlace.valid() || out->installed) continue;
    if (!write_all(out->inPlace.get(), out->view) || !out->inPlace.close()) {
      failing = out->target;
      return fail(Result::kFailed);
    }
  }
  for (auto& out : outputs_) {
    out->backup.remove();
    out->old.discard();
    out->inPlace = Descriptor();  // flushed: its close has nothing left to report
    report_.wrote({out->given, out->size, out->sha256, out->what});
  }
  return Result::kInstalled;
}

std::int32_t write_file(core::Report& report, const char* path, const std::uint8_t* buffer,
                        std::int32_t count, FileAccess access, Existing existing,
                        std::string what) {
  if (count < 0 || (count > 0 && buffer == nullptr)) {
    report.refuse(Class::kOutput, Event::kFileWriteError, path, "nothing to write");
    return -1;
  }
  OutputSet set(report);  // installed before the caller's buffer can change
  if (!set.add_borrowed(path, std::span(buffer, static_cast<std::size_t>(count)), access,
                        existing, std::move(what))) {
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
