// The program's promises about files: no key is ever lost, outputs land only where the user
// could write, failures and signals leave nothing half-written, secrets stay owner-only, and
// inputs that lie about their size are refused.
#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "cli/usage.h"
#include "core/files.h"
#include "core/files_seam.h"
#include "core/process_guard.h"
#include "tests/cli/e2e_support.h"
#include "tests/cli/expected_texts.h"

namespace {

using e2e::Bytes;
namespace fs = std::filesystem;
using Names = std::vector<std::string>;

constexpr uid_t kNobody = 65534;
const Bytes kOld = pattern_bytes(100, 11);
const Bytes kImage = pattern_bytes(3000, 5);

Names words(const std::string& line) {
  std::istringstream in(line);
  Names out;
  for (std::string w; in >> w;) out.push_back(w);
  return out;
}

// Every entry under the folder with what it holds: bytes and mode, a link's target, or a folder.
std::map<std::string, std::string> snapshot(const fs::path& folder) {
  std::map<std::string, std::string> s;
  for (const auto& e : fs::recursive_directory_iterator(folder)) {
    std::string& v = s[fs::relative(e.path(), folder)];
    if (e.is_symlink()) {
      v = "-> " + fs::read_symlink(e.path()).string();
    } else if (e.is_directory()) {
      v = "<folder>";
    } else {
      // A sparse input of gigabytes is told apart by its size alone.
      const Bytes b = e.file_size() < 1000000 ? read_bytes(e.path()) : Bytes{};
      v = std::string(b.begin(), b.end()) + std::to_string(e.file_size()) + " " +
          std::to_string(int(e.status().permissions()));
    }
  }
  return s;
}

// Runs the program as root in `dir` after `prepare` (umask, limits, an alarm) in the child.
Captured run_prepared(const fs::path& dir, const Names& args,
                      const std::function<void()>& prepare) {
  return run_in_child([&]() -> int {
    prepare();
    if (::chdir(dir.c_str()) != 0) return 126;
    std::vector<char*> argv{const_cast<char*>(QIV_TARNWICK_PROGRAM)};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(QIV_TARNWICK_PROGRAM, argv.data());
    return 127;
  });
}

// Refusals and failures that leave every file of the folder as it was: a private key name that
// is taken, an output that is a key file, a write cut short, an input that lies about its size.

struct Refusal {
  std::string what;
  std::string args;
  std::string expected;  // the whole output after the banner
  // All keys are staged; what was under `taken` is removed and replaced by a 'f'ile, a dangling
  // 'l'ink, a 'd'irectory, a 'h'ard or 's'ymbolic link to privateKey_V21.dat, a file with a
  // second name ('H'), or nothing.
  char kind = 0;
  std::string taken;
  off_t fileSizeLimit = 0;
  std::uintmax_t sparse = 0;  // size of big.bin
  rlim_t addressSpace = 0;
  friend void PrintTo(const Refusal& r, std::ostream* os) { *os << r.what; }
};

class HardeningUnchangedFolder : public ::testing::TestWithParam<Refusal> {};

TEST_P(HardeningUnchangedFolder, RefusesWithItsLinesAndNoFileChanges) {
  const Refusal& row = GetParam();
  if (row.addressSpace != 0 && e2e::sanitized()) GTEST_SKIP() << "ASan needs the address space";
  TempDir dir;
  e2e::stage_v21(dir.path());
  e2e::stage_v11(dir.path());
  write_bytes(dir / "BL2.bin", kImage);  // no BL1.bin: a refused output is found before reading
  write_bytes(dir / "out.bin", kOld);
  fs::copy_file(dir / "alice.prv", dir / "short.prv");
  fs::resize_file(dir / "short.prv", 639);
  write_bytes(dir / "big.bin", {});
  fs::resize_file(dir / "big.bin", row.sparse);
  const fs::path taken = dir / row.taken;
  if (!row.taken.empty()) fs::remove(taken);
  fs::create_directories(taken.parent_path());
  if (row.kind == 'f') write_bytes(taken, kOld);
  if (row.kind == 'l') fs::create_symlink("nowhere.dat", taken);
  if (row.kind == 'd') fs::create_directory(taken);
  if (row.kind == 'h') fs::create_hard_link(dir / "privateKey_V21.dat", taken);
  if (row.kind == 's') fs::create_symlink("privateKey_V21.dat", taken);
  if (row.kind == 'H') {  // an old output of 300 KiB with a second name: written in place
    write_bytes(taken, pattern_bytes(300 << 10, 8));
    fs::create_hard_link(taken, dir / "twin.bin");
    write_bytes(dir / "src.bin", pattern_bytes(600 << 10, 9));
  }
  const auto before = snapshot(dir.path());
  const auto start = std::chrono::steady_clock::now();
  const Captured r = run_prepared(dir.path(), words(row.args), [&] {
    // As e2e::file_size_limit: SIGXFSZ at its default action, the program must handle it.
    const rlimit fsize{rlim_t(row.fileSizeLimit), rlim_t(row.fileSizeLimit)};
    const rlimit as{row.addressSpace, row.addressSpace};
    std::signal(SIGXFSZ, SIG_DFL);
    if (row.fileSizeLimit != 0) ::setrlimit(RLIMIT_FSIZE, &fsize);
    if (row.addressSpace != 0) ::setrlimit(RLIMIT_AS, &as);
  });
  // An oversized input is refused before a byte of it is read.
  EXPECT_TRUE(row.sparse == 0 ||
              std::chrono::steady_clock::now() - start < std::chrono::seconds(2));
  EXPECT_EQ(r.output, (row.args[2] == '2' ? kBannerV21 : kBannerV11) + row.expected);
  EXPECT_EQ(r.status, 255);
  EXPECT_EQ(snapshot(dir.path()), before);  // nothing replaced, nothing new, no temporary
}

Refusal key_taken(const std::string& what, const std::string& args, char kind,
                  const std::string& key) {
  return {what, args,
          (args[2] == '2' ? kGeneratingV21 : kGeneratingV11) + key_file_exists_text(key), kind,
          key};
}
// The private key was moved to a safe place; the rest of the set stays and must not be replaced.
Refusal set_part_left(const std::string& what, const std::string& args, const std::string& moved,
                      const std::string& left) {
  return {what, args,
          (args[2] == '2' ? kGeneratingV21 : kGeneratingV11) + key_file_exists_text(left), 0,
          moved};
}
Refusal output_is_key(const std::string& args, const std::string& key, char kind = 0) {
  return {"output is " + key + (kind != 0 ? std::string(" via link ") + kind : ""), args,
          output_is_key_file_text(key), kind, kind != 0 ? "out.bin" : ""};
}
Refusal fails(const std::string& what, const std::string& args, const std::string& expected,
              off_t limit = 0, std::uintmax_t sparse = 0, rlim_t addressSpace = 0) {
  return {what, args, expected, 0, "", limit, sparse, addressSpace};
}

INSTANTIATE_TEST_SUITE_P(
    Rows, HardeningUnchangedFolder,
    ::testing::Values(
        key_taken("v21 maker file", "-v2.1 -KEYGEN", 'f', "privateKey_V21.dat"),
        key_taken("v21 customer folder", "-v2.1 cust -STAGE2_KEYGEN", 'd', "cust_V21.prv"),
        key_taken("v11 maker link", "-v1.1 -KEYGEN", 'l', "privateKey.dat"),
        key_taken("v11 customer in subfolder", "-v1.1 keys/cust -STAGE2_KEYGEN", 'f',
                  "keys/cust.prv"),
        set_part_left("v21 maker eFuse left", "-v2.1 -KEYGEN", "privateKey_V21.dat",
                      "eFuseData_V21.dat"),
        set_part_left("v11 maker eFuse left", "-v1.1 -KEYGEN", "privateKey.dat", "eFuseData.dat"),
        set_part_left("v21 customer spk left", "-v2.1 alice -STAGE2_KEYGEN", "alice_V21.prv",
                      "alice_V21.spk"),
        set_part_left("v11 customer spk left", "-v1.1 alice -STAGE2_KEYGEN", "alice.prv",
                      "alice.spk"),
        output_is_key("-v2.1 BL1.bin privateKey_V21.dat -STAGE1", "privateKey_V21.dat"),
        output_is_key("-v2.1 BL1.bin eFuseData_V21.dat -STAGE1", "eFuseData_V21.dat"),
        output_is_key("-v2.1 BL1.bin publicKeyInfo_V21.dat -STAGE1", "publicKeyInfo_V21.dat"),
        output_is_key("-v2.1 BL1.bin publicKeyInfo_V21_stage2.dat -STAGE1",
                      "publicKeyInfo_V21_stage2.dat"),
        output_is_key("-v1.1 BL1.bin privateKey.dat -STAGE1", "privateKey.dat"),
        // Fixed-name keys of the other set, which the command does not read.
        Refusal{"v21 output is v11 privateKey dat", "-v2.1 BL1.bin privateKey.dat -STAGE1",
                output_is_key_file_text("privateKey.dat"), 0, ""},
        Refusal{"v11 stage2 output is eFuseData V21 dat",
                "-v1.1 BL2.bin eFuseData_V21.dat alice.prv -STAGE2",
                output_is_key_file_text("eFuseData_V21.dat"), 0, ""},
        output_is_key("-v2.1 BL1.bin out.bin -STAGE1", "privateKey_V21.dat", 'h'),
        output_is_key("-v2.1 BL1.bin out.bin -STAGE1", "privateKey_V21.dat", 's'),
        output_is_key("-v2.1 BL2.bin alice_V21.prv alice_V21.prv -STAGE2", "alice_V21.prv"),
        // The public key's 548 bytes fit 1000, the private key's 1200 do not; v1.1 customer:
        // public 308 fits 500, private 640 does not.
        fails("v21 customer cut short", "-v2.1 cust -STAGE2_KEYGEN",
              kGeneratingV21 + kFileWriteError + kKeyPairFailed, 1000),
        fails("v11 customer cut short", "-v1.1 cust -STAGE2_KEYGEN",
              kGeneratingV11 + kFileWriteError + kKeyPairFailed, 500),
        fails("v21 stage2 cut short", "-v2.1 BL2.bin out.bin alice_V21.prv -STAGE2",
              kFileWriteError, 1000),
        // Written in place, and the new bytes do not fit under the size limit: refused before
        // the old file is touched, both its names keep it.
        Refusal{"v21 stage2 in place over size limit",
                "-v2.1 src.bin old.bin alice_V21.prv -STAGE2", kFileWriteError, 'H', "old.bin",
                400 << 10},
        Refusal{"v21 stage1 onto its own hard linked input", "-v2.1 BL1.bin BL1.bin -STAGE1",
                kFileWriteError, 'H', "BL1.bin", (300 << 10) + 1},
        fails("proc size 0", "-v2.1 /proc/self/status out.bin alice_V21.prv -STAGE2",
              kFileReadError),
        fails("v21 one byte over", "-v2.1 big.bin out.bin alice_V21.prv -STAGE2", kFileReadError, 0,
              0x7FFF0000u - 256 + 1),
        fails("v11 one byte over", "-v1.1 big.bin out.bin alice.prv -STAGE2", kFileReadError, 0,
              0x7FFF0000u - 128 + 1),
        fails("v11 key short", "-v1.1 BL2.bin out.bin short.prv -STAGE2", kFileOpenError),
        fails("out of memory", "-v2.1 big.bin out.bin alice_V21.prv -STAGE2", kOutOfMemory, 0,
              300u << 20, 150u << 20)),
    [](const auto& p) { return e2e::test_name(p.param.what); });

// Two maker commands started together: one installs its set, the other reports the key and
// leaves that set whole (its eFuse value and public key belong to the private key that signs).
// Whatever the umask, the private key and the eFuse value are 0600, the public key follows it.
TEST(HardeningKeyPairRace, ExactlyOneWinsAndItsSetIsConsistentAndOwnerOnly) {
  for (const mode_t mask : {0277u, 0277u, 0777u, 0777u}) {
    TempDir dir;
    const auto keygen = [&] {
      return run_prepared(dir.path(), {"-v1.1", "-KEYGEN"}, [mask] { ::umask(mask); });
    };
    Captured a;
    std::thread other([&] { a = keygen(); });
    const Captured b = keygen();
    other.join();
    EXPECT_EQ(a.status + b.status, 255) << a.output << b.output;
    EXPECT_EQ((a.status == 0 ? b : a).output,
              kBannerV11 + kGeneratingV11 + key_file_exists_text("privateKey.dat"));
    ASSERT_EQ(dir.entries(), (Names{"eFuseData.dat", "privateKey.dat", "publicKeyInfo.dat"}));
    EXPECT_EQ(e2e::permissions_of(dir / "privateKey.dat"), fs::perms(0600)) << mask;
    EXPECT_EQ(e2e::permissions_of(dir / "eFuseData.dat"), fs::perms(0600)) << mask;
    EXPECT_EQ(e2e::permissions_of(dir / "publicKeyInfo.dat"), fs::perms(0666 & ~mask));
    e2e::copy_key(dir.path(), "alice.spk", "stage2_key.spk");
    write_bytes(dir / "BL1.bin", pattern_bytes(4096, 1));
    EXPECT_EQ(e2e::run(dir.path(), words("-v1.1 BL1.bin out.bin -STAGE1")).status, 0);
    EXPECT_EQ(e2e::run(dir.path(), words("-v1.1 out.bin eFuseData.dat -VERIFY")).status, 0);
  }
}

// The same race made deterministic: a set prepared while the names were free, installed after
// another set took them, must give up without touching the other set's files.
TEST(HardeningKeyPairRace, LateSetLeavesTheWinnersFilesInPlace) {
  TempDir dir;
  const std::string pub = dir / "pub.dat";
  const std::string prv = dir / "prv.dat";
  const Bytes first = pattern_bytes(50, 7);
  {
    core::Report report;
    OutputSet late(report);
    ASSERT_TRUE(late.add(pub.c_str(), kOld));
    ASSERT_TRUE(late.add(prv.c_str(), kOld, FileAccess::kOwnerOnly, Existing::kRefuse));
    OutputSet winner(report);
    ASSERT_TRUE(winner.add(pub.c_str(), first));
    ASSERT_TRUE(winner.add(prv.c_str(), first, FileAccess::kOwnerOnly, Existing::kRefuse));
    ASSERT_EQ(winner.install(), OutputSet::Result::kInstalled);
    EXPECT_EQ(late.install(), OutputSet::Result::kExists);
    EXPECT_EQ(late.existing_path(), prv);
  }
  EXPECT_EQ(dir.entries(), (Names{"prv.dat", "pub.dat"}));
  for (const std::string& f : {pub, prv}) EXPECT_EQ(read_bytes(f), first) << f;
}

// Outputs are written only where the user could write, keeping links, mode and owner.
struct Target {
  std::string what;
  // The output: 'f' out.bin, 's' out.bin -> real.bin, 'd' out.bin -> made.bin (dangling),
  // 'h' out.bin with a second name twin.bin, 'p' a named pipe, 'i' the image itself.
  char kind;
  bool asNobody, nobodyOwns;  // who runs the program; who owns out.bin (else root)
  unsigned mode;              // of out.bin, 0 for the kinds without one
  bool lockedFolder, written;
  friend void PrintTo(const Target& t, std::ostream* os) { *os << t.what; }
};

class HardeningOutputTarget : public ::testing::TestWithParam<Target> {};

TEST_P(HardeningOutputTarget, IsWrittenOnlyAsTheUserCouldKeepingLinksModeAndOwner) {
  const Target& t = GetParam();
  if (t.asNobody && ::geteuid() != 0) GTEST_SKIP() << "needs root to act as nobody";
  TempDir dir;
  e2e::stage_v11(dir.path());
  write_bytes(dir / "BL2.bin", kImage);
  e2e::hand_to_nobody(dir.path());
  const fs::path out = dir / "out.bin";
  const bool link = t.kind == 's' || t.kind == 'd';
  // The file that receives the bytes.
  const fs::path real = dir / (t.kind == 's'   ? "real.bin"
                               : t.kind == 'd' ? "made.bin"
                               : t.kind == 'i' ? "BL2.bin"
                                               : "out.bin");
  if (t.kind == 'f' || t.kind == 'h' || t.kind == 's') write_bytes(real, kOld);
  if (link) fs::create_symlink(real.filename(), out);
  if (t.kind == 'h') fs::create_hard_link(out, dir / "twin.bin");
  ASSERT_EQ(t.kind == 'p' ? ::mkfifo(out.c_str(), 0644) : 0, 0);
  const uid_t owner = t.nobodyOwns ? kNobody : 0;
  ASSERT_EQ(t.mode == 0 ? 0 : ::chown(out.c_str(), owner, owner) | ::chmod(out.c_str(), t.mode), 0);
  if (t.lockedFolder) fs::permissions(dir.path(), fs::perms(0555));

  const Names args = {"-v1.1", "BL2.bin", t.kind == 'i' ? "BL2.bin" : "out.bin", "alice.prv",
                      "-STAGE2"};
  // A run that waited on the pipe ends by the alarm (status 142) instead of hanging the suite.
  const Captured r = t.asNobody ? e2e::run(dir.path(), args, e2e::unprivileged())
                                : run_prepared(dir.path(), args, [] { ::alarm(10); });
  EXPECT_EQ(r.output, kBannerV11 + (t.written ? kStage2Generated : kFileOpenError));
  EXPECT_EQ(r.status, t.written ? 0 : 255);
  EXPECT_TRUE(e2e::temporary_files(dir.path()).empty());
  EXPECT_EQ(fs::is_fifo(out), t.kind == 'p');
  if (t.kind == 'p') return;
  EXPECT_EQ(fs::is_symlink(out), link);
  const Bytes got = read_bytes(real);  // signed: the image, then a 128-byte signature
  EXPECT_EQ(got.size() == 3128 && std::equal(kImage.begin(), kImage.end(), got.begin()), t.written);
  EXPECT_TRUE(t.written || read_bytes(real) == kOld);
  EXPECT_TRUE(t.kind != 'h' || read_bytes(dir / "twin.bin") == read_bytes(out));
  if (t.mode == 0) return;
  struct stat st {};
  ASSERT_EQ(::stat(out.c_str(), &st), 0);
  EXPECT_EQ(std::tuple(st.st_mode & 07777, st.st_uid, st.st_gid), std::tuple(t.mode, owner, owner));
}

INSTANTIATE_TEST_SUITE_P(
    Rows, HardeningOutputTarget,
    ::testing::Values(
        Target{"root read-only file in nobody folder", 'f', true, false, 0444, false, false},
        Target{"nobody own read-only file", 'f', true, true, 0444, false, false},
        Target{"symlink to file", 's', false, false, 0, false, true},
        Target{"dangling symlink", 'd', false, false, 0, false, true},
        Target{"root replaces nobody 0640 file", 'f', false, true, 0640, false, true},
        Target{"writable file in read-only folder", 'f', true, true, 0644, true, true},
        Target{"two hard links", 'h', false, false, 0600, false, true},
        Target{"named pipe without reader", 'p', false, false, 0, false, false},
        Target{"the image itself", 'i', false, false, 0, false, true}),
    [](const auto& p) { return e2e::test_name(p.param.what); });

// Interrupted before install: no temporary left, the old file whole. Also proves the guard's
// other half: no core file and no /proc access to a key in memory.
TEST(HardeningInterrupted, GuardedProcessLeavesNoTemporaryAndKeepsTheOldFile) {
  for (const int sig : {SIGTERM, SIGINT, SIGHUP}) {
    TempDir dir;
    write_bytes(dir / "old.bin", kOld);
    const Captured r = run_in_child([&]() -> int {
      std::signal(sig, SIG_DFL);  // a suite started under nohup would ignore SIGHUP
      if (::chdir(dir.path().c_str()) != 0) return 1;
      guard_process();
      rlimit core{1, 1};
      ::getrlimit(RLIMIT_CORE, &core);
      if (::prctl(PR_GET_DUMPABLE) != 0 || core.rlim_cur != 0 || core.rlim_max != 0) return 2;
      core::Report report;
      OutputSet set(report);
      const Bytes fresh = pattern_bytes(64, 3);
      set.add("old.bin", fresh);
      set.add("new.dat", fresh, FileAccess::kOwnerOnly, Existing::kRefuse);
      if (e2e::temporary_files(".").size() != 2) return 3;  // both outputs were prepared
      ::raise(sig);
      return 4;
    });
    EXPECT_EQ(r.status, 128 + sig);
    EXPECT_EQ(dir.entries(), Names{"old.bin"}) << sig;
    EXPECT_EQ(read_bytes(dir / "old.bin"), kOld);
  }
}

// A signal during install waits for the set to be whole: with the outputs half renamed it would
// leave a mixed set. And a signal the caller ignored (nohup) stays ignored.
TEST(HardeningInterrupted, SignalDuringInstallWaitsAndAnIgnoredOneStaysIgnored) {
  for (const bool ignored : {false, true}) {
    TempDir dir;
    write_bytes(dir / "a", kOld);
    write_bytes(dir / "b", kOld);
    const int sig = ignored ? SIGINT : SIGTERM;
    const Captured r = run_in_child([&]() -> int {
      std::signal(sig, ignored ? SIG_IGN : SIG_DFL);
      guard_process();
      if (::chdir(dir.path().c_str()) != 0) return 1;
      static int raised;
      raised = sig;
      files_seam::step = [](const char* what, const char*) {
        if (std::string(what) == "rename") ::raise(raised);
      };
      core::Report report;
      OutputSet set(report);
      set.add("a", kImage);
      set.add("b", kImage);
      return set.install() == OutputSet::Result::kInstalled ? 0 : 2;
    });
    EXPECT_EQ(r.status, ignored ? 0 : 128 + sig);
    EXPECT_EQ(dir.entries(), (Names{"a", "b"}));
    for (const char* f : {"a", "b"}) EXPECT_EQ(read_bytes(dir / f), kImage) << f << ignored;
  }
}

}  // namespace
