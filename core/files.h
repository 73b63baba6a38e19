// Whole-file helpers of the command core.
//
// Every command moves whole files between disk and memory through these routines. Their rule
// for failures: an input that cannot be read ends the command at once (it cannot continue
// without it, and no output has been written yet, because every command reads all its inputs
// first); an output that cannot be written fails the command. Both are refusals told to the
// command's report (report.h), never printed here.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <array>
#include <vector>

#include "core/report.h"
#include "crypto/wipe.h"

// Largest file the front end reads or writes. Lengths travel as signed 32-bit integers and
// commands append trailers (a context, a signature, a build-information block) of well under
// 64 KiB; a signing command accepts only inputs whose output stays within this bound, so that
// whatever it writes, the matching verification reads.
inline constexpr std::int32_t kMaxFileLength = 0x7FFF0000;

// ---------------------------------------------------------------------------------------------
// Reading. Each routine opens the file once and checks that it did not change while it was
// read: its size at the start and at the end, and the bytes actually read, must agree (a file
// still being written is refused, never taken as its prefix). A failure is a refusal of the
// input told to the report, and the routine returns at once:
//   kFileOpenError  the file cannot be opened for reading, is a folder, is shorter than a
//                   fixed-count read needs, or a read fails;
//   kFileReadError  it is not a regular file (its size is unknown), is longer than the
//                   caller's bound, or changed size while it was read.

// Fills buffer[0, count) with the first count bytes of the file at `path`; later bytes of the
// file are not read. count 0 only proves that the file opens. Reading never waits for bytes
// that a regular file does not have; a named pipe is opened without waiting for a writer.
[[nodiscard]] bool read_file(core::Report& report, const char* path, std::uint8_t* buffer,
                             std::int32_t count);

// Zeroes all of `room`, then reads the whole file at `path` into its start. A file longer than
// room is kTooLong before any byte is read: nothing is reported, and room stays all zero (the
// caller refuses it in its own words).
struct WholeFile {
  enum Status { kRead, kTooLong, kFailed } status;
  std::size_t length;  // the bytes read; for kTooLong the file's length
};
[[nodiscard]] WholeFile read_whole_file(core::Report& report, const char* path,
                                        std::span<std::uint8_t> room);

// The whole file at `path` followed by `trailer` zero bytes, for a command that appends that
// many bytes and writes the result. A file longer than kMaxFileLength - trailer is refused
// before any byte is read (kFileReadError); a buffer that cannot be had is kOutOfMemory. The
// buffer is the only copy of the file a command holds, and it is wiped when it goes away: a
// v2.1 BL1 is plain code until it has been encrypted in this very buffer, and a command that
// fails before that must leave no copy of it to the allocator.
[[nodiscard]] std::optional<qiv::SecretBuffer> read_file_with_trailer(core::Report& report,
                                                                      const char* path,
                                                                      std::uint32_t trailer);

// ---------------------------------------------------------------------------------------------
// Writing.

// Who may read a file that is written.
enum class FileAccess {
  kShared,     // a new file: 0666 & ~umask; a replaced file keeps its permission bits
  kOwnerOnly,  // 0600 whatever the umask and whatever the old file had: keys, eFuse values
};

// What an output may find under its name.
enum class Existing {
  kReplace,  // an existing file is replaced
  kRefuse,   // the name must be free when the set is installed (created exclusively)
};

// The outputs of one command, written as a set: every file goes to a temporary file beside its
// target first, and only when all of them are complete and on disk are they installed, each by
// a rename (an exclusive link for Existing::kRefuse). A failure at any point leaves every target
// as it was and no temporary behind; so do SIGINT, SIGTERM, SIGHUP and SIGQUIT, which are held
// while the set is being installed and otherwise remove the temporaries before the process
// ends (see remove_temporary_files_now).
//
// Targets:
// - A symbolic link is written through: the file it names is replaced (or created, for a
//   dangling link) and the link stays.
// - An existing target is written only if this user could open it for writing: otherwise
//   "file open error" and it stays untouched. A replaced file keeps its permission bits (see
//   FileAccess) less set-user and set-group, and, when root replaces it, its owner and group.
// - Where a rename cannot replace the target (it is not a regular file, such as a device or a
//   named pipe; it has several hard links; it is a mount point; its folder cannot be written)
//   the bytes are written into the existing file in place, after every rename of the set has
//   succeeded. A regular file's old bytes, length and mode are kept and room for the new
//   length reserved first (a size limit or a full disk refuses here, the file untouched); any
//   later failure of the set puts them back. Devices and pipes come last and are never
//   truncated. A named pipe without a reader is refused, never waited on.
// - Data are flushed to disk before a rename and the folder after it: a power cut leaves the old
//   file or the new one.
class OutputSet {
 public:
  explicit OutputSet(core::Report& report);
  ~OutputSet();
  OutputSet(const OutputSet&) = delete;
  OutputSet& operator=(const OutputSet&) = delete;

  // Prepares `path` to receive `bytes` (copied; the caller may wipe its buffer at once). False
  // after reporting kFileOpenError (the target cannot be written or created) or
  // kFileWriteError (the bytes could not all be written and flushed). Every output of the set
  // is prepared even after one failed, so that each failure is reported. `what` describes the
  // file in the report of what was written.
  bool add(const char* path, std::span<const std::uint8_t> bytes,
           FileAccess access = FileAccess::kShared, Existing existing = Existing::kReplace,
           std::string what = {});
  // As add, except that a file written in place does not get a copy of the bytes: they must
  // stay unchanged until install() returns. A whole image is then never held twice.
  bool add_borrowed(const char* path, std::span<const std::uint8_t> bytes,
                    FileAccess access = FileAccess::kShared,
                    Existing existing = Existing::kReplace, std::string what = {});

  enum class Result { kInstalled, kFailed, kExists };
  // Installs every output, or none, and reports each file written. kFailed when an add failed
  // (nothing more is reported) or an install step failed (kFileWriteError); kExists, with
  // nothing reported, when an Existing::kRefuse target appeared meanwhile: existing_path()
  // names it.
  [[nodiscard]] Result install();
  [[nodiscard]] const std::string& existing_path() const { return existing_; }

  struct Output;  // one prepared output (files.cpp)

 private:
  core::Report& report_;
  std::vector<std::unique_ptr<Output>> outputs_;
  bool failed_ = false;
  bool borrowing_ = false;
  std::string existing_;
};

// One output alone: makes buffer[0, count) the whole content of the file at `path` as an
// OutputSet of one. 0 on success, -1 after its refusal.
[[nodiscard]] std::int32_t write_file(core::Report& report, const char* path,
                                      const std::uint8_t* buffer, std::int32_t count,
                                      FileAccess access = FileAccess::kShared,
                                      Existing existing = Existing::kReplace,
                                      std::string what = {});

// True when something (a file, a folder, a link, even a dangling one) exists under `path`.
[[nodiscard]] bool name_is_taken(const char* path);

// True when both paths exist and name the same file (device and inode, links followed).
[[nodiscard]] bool same_file(const char* a, const char* b);

// Unlinks every temporary file an OutputSet holds now. Async-signal-safe: the signal handlers
// of the program (process_guard.h) call it before the process ends.
void remove_temporary_files_now() noexcept;
