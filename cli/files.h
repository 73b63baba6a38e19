// Whole-file helpers of the command front end.
//
// Every command moves whole files between disk and memory through these routines. Their rule
// for failures: an input that cannot be read ends the process at once (the command cannot
// continue without it, and no output has been written yet, because every command reads all its
// inputs first); an output that cannot be written is reported to the caller, which finishes
// its work and then fails. Messages go to standard output and end with a line feed.
#pragma once

#include <cstdint>
#include <span>

// Largest input the front end accepts. Lengths travel as signed 32-bit integers and commands
// append trailers (a context, a signature, a build-information block) of well under 64 KiB,
// so every length + trailer computed from a file length stays below 2^31.
inline constexpr std::int32_t kMaxFileLength = 0x7FFF0000;

// Size in bytes of the file at `path`, 0 to kMaxFileLength.
// Ends the process with status -1 after "file open error\n" when the file cannot be opened for
// reading or is a directory, and after "file read error\n" when it is not a regular file (its
// size is then unknown) or is longer than kMaxFileLength.
[[nodiscard]] std::int32_t get_file_length(const char* path);

// Fills buffer[0, count) with the first count bytes of the file at `path`; later bytes of the
// file are not read. count 0 only proves that the file opens.
// Ends the process with status -1 after "file open error\n" when the file cannot be opened, and
// after "file read error\n" when it holds fewer than count bytes, a read fails or count is
// negative. Reading never waits for bytes that a regular file does not have.
void read_file(const char* path, std::uint8_t* buffer, std::int32_t count);

// Zeroes all of `room`, then reads the whole file at `path` into its start and returns the
// file's length. A file longer than room is refused before any byte is read: the result is -1,
// nothing is printed, and room stays all zero (the caller prints the failure line of its
// command). Open and read failures end the process as in get_file_length and read_file.
[[nodiscard]] std::int32_t read_whole_file(const char* path, std::span<std::uint8_t> room);

// Who may read a file that write_file creates.
enum class FileAccess {
  kShared,     // permissions as the user's umask allows (0666 & ~umask)
  kOwnerOnly,  // 0600 whatever the umask: private key files
};

// Makes buffer[0, count) the whole content of the file at `path`. Returns 0 on success, -1 on
// failure after printing one of:
//   "file open error\n"   the output cannot be created (missing or read-only folder, a path
//                         that names a folder, no permission);
//   "file write error\n"  the bytes could not all be written and made durable (short write,
//                         full disk, failed flush or close, failed replacement).
// A regular file, or a name that does not exist yet, is never written in place: the bytes go
// to a new temporary file in the target's folder, which replaces the target by an atomic
// rename only once it is complete. After a failure the old file (if any) is intact and no
// temporary file is left. A replaced file keeps its permission bits, except that kOwnerOnly
// always yields 0600. A symbolic link is followed: the file it names is replaced, the link
// stays. An output that exists and is not a regular file (a device such as /dev/null or
// /dev/full, a named pipe) is written in place and never replaced; its permissions are left
// alone.
[[nodiscard]] std::int32_t write_file(const char* path, const std::uint8_t* buffer,
                                      std::int32_t count, FileAccess access = FileAccess::kShared);
