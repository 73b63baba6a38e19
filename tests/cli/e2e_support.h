// Support for the end-to-end suites of the commands, which run the built program in temporary
// folders.
//
// Key generation dominates their cost (seconds per RSA-2048 pair under the sanitizers), and
// ctest runs every test in a process of its own. So the key files are made once per build of
// the program, by the program, into a cache folder beside the test binaries; each test copies
// the files it needs into its own folder. The cache is keyed by the program file's size and
// modification time: a rebuilt program makes fresh keys.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tests/cli/child_process.h"
#include "tests/cli/temp_dir.h"

namespace e2e {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

// The shared key folder. It holds, made by the program's own key-pair commands:
//   v2.1 maker:      eFuseData_V21.dat publicKeyInfo_V21.dat privateKey_V21.dat
//   v2.1 customers:  alice_V21.spk alice_V21.prv bob_V21.spk bob_V21.prv
//   v1.1 maker:      eFuseData.dat publicKeyInfo.dat privateKey.dat
//   v1.1 customers:  alice.spk alice.prv bob.spk bob.prv
//   other/           a second maker of each set (its three files of each set)
// Throws if the program fails to make them.
const fs::path& shared_key_folder();

// Copies the named files (paths relative to the shared key folder) into `to`, under `as` when
// given (one name only), else under their own file name.
void copy_key(const fs::path& to, std::string_view name, std::string_view as = {});
void copy_keys(const fs::path& to, std::initializer_list<std::string_view> names);

// A folder ready for every command of the set: the maker's files, alice's pair, and alice's
// public key under the fixed stage-2 input name.
void stage_v21(const fs::path& folder);
void stage_v11(const fs::path& folder);

struct RunLimits {
  bool unprivileged = false;           // as root, run as "nobody" (see hand_to_nobody)
  std::optional<off_t> fileSizeLimit;  // RLIMIT_FSIZE; SIGXFSZ at its default action
};

inline RunLimits unprivileged() {
  RunLimits limits;
  limits.unprivileged = true;
  return limits;
}
inline RunLimits file_size_limit(off_t bytes) {
  RunLimits limits;
  limits.fileSizeLimit = bytes;
  return limits;
}

// Runs the built program with args in folder, under the limits.
Captured run(const fs::path& folder, const std::vector<std::string>& args, RunLimits limits = {});

// As root: gives the folder and everything in it to "nobody", so that an unprivileged run can
// read its inputs and permission bits on the folder apply. No effect for other users.
void hand_to_nobody(const fs::path& folder);

// XORs mask into the byte at offset of the file.
void flip_byte(const fs::path& file, std::size_t offset, std::uint8_t mask = 0x01);

// The file's permission bits.
[[nodiscard]] fs::perms permissions_of(const fs::path& file);

// Little-endian u32 at offset.
[[nodiscard]] std::uint32_t le32(const Bytes& bytes, std::size_t offset);
void put_le32(Bytes& bytes, std::size_t offset, std::uint32_t value);

// True under the sanitizer build (QIV_SANITIZED=1), where every run of the program is several
// times slower: suites then sample fewer positions of the same regions.
[[nodiscard]] bool sanitized();

// A description turned into a test name: every character but letters and digits becomes '_'.
[[nodiscard]] std::string test_name(std::string_view what);

// Names of leftover temporary files of the program (".Tarnwick_V21-*.tmp") in the folder.
[[nodiscard]] std::vector<std::string> temporary_files(const fs::path& folder);

}  // namespace e2e
