// Every command of both sets against every file it reads, made bad in every way a file can be:
// missing, a folder, a named pipe, empty, one byte short or long, far too long (a sparse file
// past 4 GiB, whose size also wraps in 32 bits), random bytes, each length field at 0, at
// 0xFFFFFFFF and one past its room, the other set's file and the other key's file.
//
// Each row runs the built program under a time limit and holds it to: it ends by itself (no
// signal, no hang), with the expected status and output, and a refused run leaves the folder
// exactly as it was (no output appears; an output that was there keeps its bytes). Rows where a
// file is not actually bad (a trailing byte after a fixed-size record, another valid key) are
// accepted runs, pinned here so that a change of the accepted shape is seen. Cases that the
// commands' own suites already hold (stage1_test, stage2_test) are not repeated.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <csignal>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "core/key_protection.h"
#include "crypto/crypto.h"
#include "rsa/pss_encode.h"
#include "tests/cli/e2e_support.h"
#include "tests/cli/expected_texts.h"

namespace {

using e2e::Bytes;
namespace fs = std::filesystem;

constexpr std::uintmax_t kFarTooLong = 0x100000010;  // past 4 GiB; 16 when cut to 32 bits
constexpr std::size_t kCode = 4096;                  // BL1 length: whole AES blocks
constexpr std::size_t kBl2 = 3001;

// ---------------------------------------------------------------------------------------------
// Commands

struct Command {
  std::string name;
  std::vector<std::string> args;
  std::string output;  // the file the command writes, or empty
  std::string banner;
  std::string success;
};

const Command kStage1V21{"v21 STAGE1",
                         {"-v2.1", "BL1.bin", "out.bin", "-STAGE1"},
                         "out.bin",
                         kBannerV21,
                         kStage1Generated};
const Command kBuildInfoV21{"v21 P",
                            {"-v2.1", "BL1.bin", "out.bin", "unused", "-P"},
                            "out.bin",
                            kBannerV21,
                            kStage1Generated};
const Command kVerify1V21{"v21 VERIFY",
                          {"-v2.1", "s21.bin", "eFuseData_V21.dat", "-VERIFY"},
                          "",
                          kBannerV21,
                          kStage1Verified};
const Command kStage2V21{"v21 STAGE2",
                         {"-v2.1", "BL2.bin", "out.bin", "alice_V21.prv", "-STAGE2"},
                         "out.bin",
                         kBannerV21,
                         kStage2Generated};
const Command kVerify2V21{"v21 STAGE2_VERIFY",
                          {"-v2.1", "b21.bin", "alice_V21.spk", "-STAGE2_VERIFY"},
                          "",
                          kBannerV21,
                          kStage2Verified};
const Command kStage1V11{"v11 STAGE1",
                         {"-v1.1", "BL1.bin", "out.bin", "-STAGE1"},
                         "out.bin",
                         kBannerV11,
                         kStage1Generated};
const Command kVerify1V11{"v11 VERIFY",
                          {"-v1.1", "s11.bin", "eFuseData.dat", "-VERIFY"},
                          "",
                          kBannerV11,
                          kStage1Verified};
const Command kStage2V11{"v11 STAGE2",
                         {"-v1.1", "BL2.bin", "out.bin", "alice.prv", "-STAGE2"},
                         "out.bin",
                         kBannerV11,
                         kStage2Generated};
const Command kVerify2V11{"v11 STAGE2_VERIFY",
                          {"-v1.1", "b11.bin", "alice.spk", "-STAGE2_VERIFY"},
                          "",
                          kBannerV11,
                          kStage2Verified};
// The key-pair commands read only the optional noise file; the kernel device has its own suite.
const Command kKeyPairV11{"v11 STAGE2_KEYGEN",
                          {"-v1.1", "cust", "-STAGE2_KEYGEN"},
                          "cust.prv",
                          kBannerV11,
                          kGeneratingV11};
// A new name: the folder holds every file of both maker sets, which no key pair may replace.
const Command kKeyPairV21{"v21 STAGE2_KEYGEN",
                          {"-v2.1", "carol", "-STAGE2_KEYGEN"},
                          "carol_V21.prv",
                          kBannerV21,
                          kGeneratingV21};

// ---------------------------------------------------------------------------------------------
// The folder every row starts from: both sets' keys, both customers, the other makers, a plain
// BL1 and BL2, and a secured or signed image of each kind. ctest runs every row in a process of
// its own, so the folder is made once per program build, beside the shared keys (whose folder
// goes away with the program that made them). Concurrent first runs each make their own and
// the first rename wins.
void make_golden(const fs::path& dir) {
  e2e::stage_v21(dir);
  e2e::stage_v11(dir);
  e2e::copy_keys(dir, {"bob_V21.spk", "bob_V21.prv", "bob.spk", "bob.prv"});
  fs::create_directory(dir / "other");
  for (const char* name : {"eFuseData_V21.dat", "publicKeyInfo_V21.dat", "privateKey_V21.dat",
                           "eFuseData.dat", "publicKeyInfo.dat", "privateKey.dat"}) {
    e2e::copy_key(dir / "other", std::string("other/") + name);
  }
  write_bytes(dir / "BL1.bin", pattern_bytes(kCode, 1));
  write_bytes(dir / "BL2.bin", pattern_bytes(kBl2, 2));
  const std::vector<std::vector<std::string>> images = {
      {"-v2.1", "BL1.bin", "s21.bin", "-STAGE1"},
      {"-v1.1", "BL1.bin", "s11.bin", "-STAGE1"},
      {"-v2.1", "BL2.bin", "b21.bin", "alice_V21.prv", "-STAGE2"},
      {"-v1.1", "BL2.bin", "b11.bin", "alice.prv", "-STAGE2"}};
  for (const auto& args : images) {
    if (e2e::run(dir, args).status != 0) throw std::runtime_error("cannot make the images");
  }
}

const fs::path& golden() {
  static const fs::path dir = [] {
    const fs::path target = e2e::shared_key_folder() / "bad-input";
    if (fs::exists(target)) return target;
    const fs::path partial =
        e2e::shared_key_folder() / ("bad-input-partial-" + std::to_string(::getpid()));
    fs::create_directories(partial);
    make_golden(partial);
    std::error_code taken;
    fs::rename(partial, target, taken);
    if (taken) fs::remove_all(partial);
    return target;
  }();
  return dir;
}

// ---------------------------------------------------------------------------------------------
// Faults: each turns the staged file at `file` into a bad one.

using Fault = std::function<void(const fs::path& file)>;

void missing(const fs::path& f) {
  fs::remove(f);
}
void folder(const fs::path& f) {
  fs::remove(f);
  fs::create_directory(f);
}
void pipe_without_writer(const fs::path& f) {
  fs::remove(f);
  if (::mkfifo(f.c_str(), 0600) != 0) throw std::runtime_error("mkfifo");
}
void empty(const fs::path& f) {
  fs::resize_file(f, 0);
}
Fault resized_by(long delta) {
  return [delta](const fs::path& f) {
    Bytes b = read_bytes(f);
    b.resize(static_cast<std::size_t>(static_cast<long>(b.size()) + delta), 0x5A);
    write_bytes(f, b);
  };
}
// The file's own bytes, then a hole up to past 4 GiB: no disk space, and never read whole.
void far_too_long(const fs::path& f) {
  fs::resize_file(f, kFarTooLong);
}
void random_bytes(const fs::path& f) {
  write_bytes(f, pattern_bytes(fs::file_size(f), 77));
}
Fault field(std::size_t offset, std::uint32_t value) {
  return [=](const fs::path& f) {
    Bytes b = read_bytes(f);
    e2e::put_le32(b, offset, value);
    write_bytes(f, b);
  };
}
// A length field inside a protected private key: unprotect, set, protect again, so that the
// program sees exactly the field and not a damaged cipher block.
Fault protected_field(std::int32_t mode, std::size_t offset, std::uint32_t value) {
  return [=](const fs::path& f) {
    Bytes b = read_bytes(f);
    const auto n = static_cast<std::uint32_t>(b.size());
    if (do_PrivateKey_Decrypt(mode, b.data(), n) != 0) throw std::runtime_error("unprotect");
    e2e::put_le32(b, offset, value);
    if (do_PrivateKey_Encrypt(mode, b.data(), n) != 0) throw std::runtime_error("protect");
    write_bytes(f, b);
  };
}
// A public exponent of 1 with the "signature" it accepts: the PSS encoding of the signed bytes
// itself (s^1 = s), made without any private key, stored least significant byte first. The
// signed bytes are file[from, from + length) of `signedFile` (the key file itself, or an image
// beside it whose last `size` bytes are its signature).
Fault exponent_one(std::size_t exponentAt, std::size_t from, std::size_t length,
                   std::size_t signatureAt, std::size_t size, std::string signedFile = {}) {
  return [=](const fs::path& f) {
    Bytes key = read_bytes(f);
    e2e::put_le32(key, exponentAt, 1);
    write_bytes(f, key);
    const fs::path target = signedFile.empty() ? f : f.parent_path() / signedFile;
    Bytes b = read_bytes(target);
    const std::size_t n = signedFile.empty() ? length : b.size() - size;
    const std::size_t at = signedFile.empty() ? signatureAt : b.size() - size;
    std::array<std::uint8_t, QIV_SHA1_DIGEST_LEN> digest{};
    QIV_SHA1_CTX ctx{};
    if (QIV_SHA1_Init(&ctx) != 0 ||
        QIV_SHA1_Update(&ctx, b.data() + from, static_cast<std::uint32_t>(n)) != 0 ||
        QIV_SHA1_Final(&ctx, digest.data()) != 0) {
      throw std::runtime_error("sha1");
    }
    Bytes em(size, 0);
    qiv_PSS_EncodeAroundSalt(em.data(), static_cast<std::uint32_t>(size), digest.data(),
                             QIV_SHA1_DIGEST_LEN, 0);
    std::copy(em.rbegin(), em.rend(), b.begin() + static_cast<std::ptrdiff_t>(at));
    write_bytes(target, b);
  };
}

// Another file of the staged folder in its place.
Fault replaced_by(std::string other) {
  return [other](const fs::path& f) {
    fs::copy_file(golden() / other, f, fs::copy_options::overwrite_existing);
  };
}

// ---------------------------------------------------------------------------------------------
// Rows

struct Outcome {
  std::string tail;  // printed after the banner
  int status;
  bool accepted = false;
};

Outcome refused(std::string line, int status = 255) {
  return {std::move(line), status};
}
Outcome silent() {  // a protection or cipher code whose low byte is 0, and no line
  return {"", 255};
}
Outcome accepted(const Command& c) {
  return {c.success, 0, true};
}

struct Row {
  std::string name;
  const Command* command;
  std::string file;  // relative to the row's folder
  Fault fault;
  Outcome outcome;
};

void PrintTo(const Row& row, std::ostream* os) {
  *os << row.name;
}

class Table {
 public:
  // Any input: gone, a folder, or a pipe nobody writes to. A file read whole must be a regular
  // file (a pipe is refused as such); a fixed-count read takes a pipe, which then reads short.
  Table& on(const Command& c, std::string file) {
    return start(c, std::move(file), kFileReadError);
  }
  Table& on_fixed_count(const Command& c, std::string file) {
    return start(c, std::move(file), kFileOpenError);
  }
  Table& add(const std::string& fault, Fault f, Outcome o) {
    rows_.push_back(
        {command_->name + " " + file_ + " " + fault, command_, file_, std::move(f), std::move(o)});
    return *this;
  }
  // The three bad values of one length field: 0, all ones, and one past the room it has.
  Table& lengths(const std::string& what, const std::function<Fault(std::uint32_t)>& at,
                 std::uint32_t room, const Outcome& o) {
    add(what + " 0", at(0), o);
    add(what + " FFFFFFFF", at(0xFFFFFFFFu), o);
    add(what + " past room", at(room + 1), o);
    return *this;
  }
  [[nodiscard]] std::vector<Row> rows() const { return rows_; }

 private:
  Table& start(const Command& c, std::string file, const std::string& pipeLine) {
    command_ = &c;
    file_ = std::move(file);
    add("missing", missing, refused(kFileOpenError));
    add("folder", folder, refused(kFileOpenError));
    add("pipe", pipe_without_writer, refused(pipeLine));
    return *this;
  }

  const Command* command_ = nullptr;
  std::string file_;
  std::vector<Row> rows_;
};

std::function<Fault(std::uint32_t)> at(std::size_t offset) {
  return [offset](std::uint32_t v) { return field(offset, v); };
}
std::function<Fault(std::uint32_t)> protected_at(std::int32_t mode, std::size_t offset) {
  return [mode, offset](std::uint32_t v) { return protected_field(mode, offset, v); };
}

// The components of the full-size blobs, in order, each behind its u32 length field.
struct Component {
  const char* name;
  std::uint32_t size;
};
constexpr std::array<Component, 8> kCrtBlob = {{{"n", 256},
                                                {"e", 4},
                                                {"d", 256},
                                                {"p", 128},
                                                {"q", 128},
                                                {"dP", 128},
                                                {"dQ", 128},
                                                {"qInv", 128}}};
constexpr std::array<Component, 7> kPlainBlob = {
    {{"n", 128}, {"d", 128}, {"p", 64}, {"q", 64}, {"dP", 64}, {"dQ", 64}, {"qInv", 64}}};

// Every length field of a protected blob, starting at `offset` in the plaintext.
template <std::size_t N>
void blob_lengths(Table& t, std::int32_t mode, const std::array<Component, N>& blob,
                  std::size_t offset, const Outcome& o) {
  for (const Component& c : blob) {
    t.lengths(std::string(c.name) + " length", protected_at(mode, offset), c.size, o);
    offset += 4 + c.size;
  }
}

void add_stage1_v21(Table& t, const Command& c) {
  t.on(c, "BL1.bin")
      .add("one byte short", resized_by(-1), silent())  // not whole AES blocks
      .add("one byte long", resized_by(1), silent())
      .add("far too long", far_too_long, refused(kFileReadError));
  t.on(c, "publicKeyInfo_V21_stage2.dat")
      .add("empty", empty, refused(kPoppFailure))
      .add("one byte long", resized_by(1), accepted(c))  // the trailing byte is not read
      .add("far too long", far_too_long, refused(kFileReadError))
      .add("random bytes", random_bytes, refused(kPoppFailure))
      .lengths("modulus length", at(0), 256, refused(kPoppFailure))
      .lengths("exponent length", at(260), 4, refused(kPoppFailure))
      .lengths("signature length", at(288), 256, refused(kPoppFailure))
      .add("other set's file", replaced_by("alice.spk"), refused(kPoppFailure))
      .add("exponent 1, self-signed without a key", exponent_one(264, 0, 288, 292, 256),
           refused(kPoppFailure))
      .add("other key's file", replaced_by("bob_V21.spk"), accepted(c));  // any proven key
  t.on(c, "privateKey_V21.dat")
      .add("empty", empty, silent())
      .add("one byte long", resized_by(1), silent())
      .add("far too long", far_too_long, refused(kFileReadError))
      .add("random bytes", random_bytes, refused(kStage1GenerationFailed));
  blob_lengths(t, kProtectionV21, kCrtBlob, 0, refused(kStage1GenerationFailed));
  t.on_fixed_count(c, "publicKeyInfo_V21.dat")
      .add("empty", empty, refused(kFileOpenError))
      .add("one byte short", resized_by(-1), accepted(c))  // only the 288-byte record is read
      .add("far too long", far_too_long, accepted(c))
      .add("random bytes", random_bytes, refused(kStage1GenerationFailed, 0x50))
      .lengths("modulus length", at(0), 256, refused(kStage1GenerationFailed, 0x50))
      .lengths("exponent length", at(260), 4, refused(kStage1GenerationFailed, 0x50))
      .add("other set's file", replaced_by("publicKeyInfo.dat"), refused(kFileOpenError));
  t.on(c, "eFuseData_V21.dat")
      .add("empty", empty, silent())
      .add("one byte short", resized_by(-1), silent())
      .add("far too long", far_too_long, refused(kFileReadError))
      .add("random bytes", random_bytes, refused(kStage1GenerationFailed, 0x50))
      .add("other key's file", replaced_by("other/eFuseData_V21.dat"),
           refused(kStage1GenerationFailed, 0x50));
}

std::vector<Row> all_rows() {
  Table t;
  add_stage1_v21(t, kStage1V21);
  add_stage1_v21(t, kBuildInfoV21);

  const Outcome v1 = refused(kStage1VerificationFailed);
  t.on(kVerify1V21, "s21.bin")
      .add("empty", empty, v1)
      .add("one byte short", resized_by(-1), v1)
      .add("one byte long", resized_by(1), v1)
      .add("far too long", far_too_long, refused(kFileReadError))
      .add("random bytes", random_bytes, v1)
      .lengths("next-stage modulus length", at(kCode + 0), 256, v1)
      .lengths("next-stage exponent length", at(kCode + 260), 4, v1)
      .lengths("signature length", at(kCode + 268), 256, v1)
      .lengths("record modulus length", at(kCode + 528), 256, v1)
      .lengths("record exponent length", at(kCode + 788), 4, v1);
  t.on_fixed_count(kVerify1V21, "eFuseData_V21.dat")
      .add("empty", empty, refused(kFileOpenError))
      .add("one byte short", resized_by(-1), refused(kFileOpenError))
      .add("far too long", far_too_long, accepted(kVerify1V21))  // the first 20 bytes count
      .add("random bytes", random_bytes, v1);

  const Outcome s2 = refused(kStage2GenerationFailed);
  t.on(kStage2V21, "BL2.bin").add("far too long", far_too_long, refused(kFileReadError));
  t.on(kStage2V21, "alice_V21.prv")
      .add("empty", empty, silent())
      .add("one byte short", resized_by(-1), silent())
      .add("far too long", far_too_long, refused(kFileReadError))
      .add("random bytes", random_bytes, s2)
      .add("other key's file", replaced_by("bob_V21.prv"), accepted(kStage2V21))
      // A wrong CRT value signs, but only into bytes that no device accepts.
      .add("dP damaged inside the protection", protected_field(kProtectionV21, 800, 0x5A5A5A5A),
           s2);
  blob_lengths(t, kProtectionV21, kCrtBlob, 0, s2);

  const Outcome v2 = refused(kStage2VerificationFailed);
  t.on(kVerify2V21, "b21.bin")
      .add("empty", empty, v2)
      .add("one byte short", resized_by(-1), v2)
      .add("one byte long", resized_by(1), v2)
      .add("far too long", far_too_long, refused(kFileReadError))
      .add("random bytes", random_bytes, v2);
  t.on(kVerify2V21, "alice_V21.spk")
      .add("empty", empty, v2)
      .add("one byte short", resized_by(-1), accepted(kVerify2V21))  // the key part suffices
      .add("one byte long", resized_by(1), accepted(kVerify2V21))
      .add("far too long", far_too_long, refused(kFileReadError))
      .add("random bytes", random_bytes, v2)
      .lengths("modulus length", at(0), 256, v2)
      .lengths("exponent length", at(260), 4, v2)
      .add("exponent 1, image signed without a key", exponent_one(264, 0, 0, 0, 256, "b21.bin"),
           v2);

  t.on(kStage1V11, "BL1.bin")
      .add("empty", empty, accepted(kStage1V11))  // v1.1 code has no size rule
      .add("far too long", far_too_long, refused(kFileReadError));
  t.on_fixed_count(kStage1V11, "stage2_key.spk")
      .add("empty", empty, refused(kFileOpenError))
      .add("one byte long", resized_by(1), accepted(kStage1V11))  // exactly 308 bytes are read
      .add("far too long", far_too_long, accepted(kStage1V11))
      .add("random bytes", random_bytes, refused(kPoppFailure))
      .lengths("key data length", at(32), 140, refused(kPoppFailure))
      .lengths("modulus length", at(36), 128, refused(kPoppFailure))
      .add("exponent length 0", field(168, 0), refused(kPoppFailure))
      .add("exponent length FFFFFFFF", field(168, 0xFFFFFFFFu), refused(kPoppFailure))
      .lengths("signature length", at(176), 128, refused(kPoppFailure))
      .add("other set's file", replaced_by("alice_V21.spk"), refused(kPoppFailure))
      .add("exponent 1, self-signed without a key", exponent_one(172, 36, 140, 180, 128),
           refused(kPoppFailure))
      .add("other key's file", replaced_by("bob.spk"), accepted(kStage1V11));
  t.on(kStage1V11, "privateKey.dat")
      .add("empty", empty, refused(kStage1GenerationFailed))
      .add("one byte short", resized_by(-1), refused(kStage1GenerationFailed))
      .add("one byte long", resized_by(1), refused(kStage1GenerationFailed))
      .add("far too long", far_too_long, refused(kFileReadError))
      .add("random bytes", random_bytes, refused(kStage1GenerationFailed))
      .add("other set's file", replaced_by("privateKey_V21.dat"), refused(kStage1GenerationFailed))
      .add("other key's file", replaced_by("other/privateKey.dat"),
           refused(kStage1GenerationFailed, 0x90));
  blob_lengths(t, kProtectionV11, kPlainBlob, 0, refused(kStage1GenerationFailed));
  t.on_fixed_count(kStage1V11, "publicKeyInfo.dat")
      .add("empty", empty, refused(kFileOpenError))
      .add("one byte short", resized_by(-1), accepted(kStage1V11))  // only the 152-byte record
      .add("far too long", far_too_long, accepted(kStage1V11))
      .add("random bytes", random_bytes, refused(kStage1GenerationFailed, 0x50))
      .add("other set's file", replaced_by("publicKeyInfo_V21.dat"),
           refused(kStage1GenerationFailed, 0x50))
      .add("other key's file", replaced_by("other/publicKeyInfo.dat"),
           refused(kStage1GenerationFailed, 0x50));
  t.on(kStage1V11, "eFuseData.dat")
      .add("empty", empty, refused(kStage1GenerationFailed))
      .add("one byte short", resized_by(-1), refused(kStage1GenerationFailed))
      .add("far too long", far_too_long, refused(kFileReadError))
      .add("random bytes", random_bytes, refused(kStage1GenerationFailed, 0x50))
      .add("other set's file", replaced_by("eFuseData_V21.dat"), refused(kStage1GenerationFailed))
      .add("other key's file", replaced_by("other/eFuseData.dat"),
           refused(kStage1GenerationFailed, 0x50));

  t.on(kVerify1V11, "s11.bin")
      .add("empty", empty, v1)
      .add("one byte short", resized_by(-1), v1)
      .add("one byte long", resized_by(1), v1)
      .add("far too long", far_too_long, refused(kFileReadError))
      .add("random bytes", random_bytes, v1);
  t.on_fixed_count(kVerify1V11, "eFuseData.dat")
      .add("empty", empty, refused(kFileOpenError))
      .add("one byte short", resized_by(-1), refused(kFileOpenError))
      .add("one byte long", resized_by(1), accepted(kVerify1V11))  // the first 16 bytes count
      .add("far too long", far_too_long, accepted(kVerify1V11))
      .add("random bytes", random_bytes, v1)
      .add("other set's file", replaced_by("eFuseData_V21.dat"), v1)
      .add("other key's file", replaced_by("other/eFuseData.dat"), v1);

  t.on(kStage2V11, "BL2.bin").add("far too long", far_too_long, refused(kFileReadError));
  t.on_fixed_count(kStage2V11, "alice.prv")
      .add("empty", empty, refused(kFileOpenError))
      .add("one byte long", resized_by(1), accepted(kStage2V11))  // exactly 640 bytes are read
      .add("far too long", far_too_long, accepted(kStage2V11))
      .add("random bytes", random_bytes, s2)
      .add("header size 0", protected_field(kProtectionV11, 0, 0), s2)
      .lengths("key data length", protected_at(kProtectionV11, 32), 604, s2)
      .add("d damaged inside the protection", protected_field(kProtectionV11, 180, 0x5A5A5A5A), s2)
      .add("other key's file", replaced_by("bob.prv"), accepted(kStage2V11));
  // The record's n and d lengths are checked; the lengths of p, q, dP, dQ and qInv are never
  // read (the plain-form signature uses n and d alone), so damage there signs as before.
  blob_lengths(t, kProtectionV11, std::array<Component, 2>{kPlainBlob[0], kPlainBlob[1]}, 36, s2);
  blob_lengths(t, kProtectionV11,
               std::array<Component, 5>{kPlainBlob[2], kPlainBlob[3], kPlainBlob[4], kPlainBlob[5],
                                        kPlainBlob[6]},
               36 + 2 * (4 + 128), accepted(kStage2V11));

  t.on(kVerify2V11, "b11.bin")
      .add("empty", empty, v2)
      .add("one byte short", resized_by(-1), v2)
      .add("one byte long", resized_by(1), v2)
      .add("far too long", far_too_long, refused(kFileReadError))
      .add("random bytes", random_bytes, v2);
  t.on_fixed_count(kVerify2V11, "alice.spk")
      .add("empty", empty, refused(kFileOpenError))
      .add("one byte long", resized_by(1), accepted(kVerify2V11))
      .add("far too long", far_too_long, accepted(kVerify2V11))
      .add("random bytes", random_bytes, v2)
      .add("modulus length 0", field(36, 0), v2)
      .add("modulus length FFFFFFFF", field(36, 0xFFFFFFFFu), v2)
      .add("exponent length 0", field(168, 0), v2)
      .add("exponent length FFFFFFFF", field(168, 0xFFFFFFFFu), v2)
      .add("exponent 1, image signed without a key", exponent_one(172, 0, 0, 0, 128, "b11.bin"),
           v2);

  // The noise file is optional: whatever lies under its name, keys and salts are still made.
  std::vector<Row> rows = t.rows();
  const auto add_noise = [&](const Command& c, const std::string& fault, Fault f) {
    rows.push_back({c.name + " noise.dat " + fault, &c, "noise.dat",
                    [f, &c](const fs::path& file) {
                      // A key-pair command never replaces a private key: make room for it.
                      fs::remove(file.parent_path() / c.output);
                      write_bytes(file, pattern_bytes(300, 5));
                      f(file);
                    },
                    accepted(c)});
  };
  add_noise(kKeyPairV11, "folder", folder);
  add_noise(kKeyPairV11, "pipe", pipe_without_writer);
  add_noise(kKeyPairV11, "empty", empty);
  add_noise(kKeyPairV11, "far too long", far_too_long);
  add_noise(kStage2V21, "pipe", pipe_without_writer);
  add_noise(kStage2V11, "folder", folder);
  if (!e2e::sanitized()) add_noise(kKeyPairV21, "pipe", pipe_without_writer);
  return rows;
}

// ---------------------------------------------------------------------------------------------
// Running a row

// The built program in `folder`, killed by SIGALRM if it has not ended in time (the alarm
// survives exec). A hang then shows as status 128 + SIGALRM.
Captured run_with_deadline(const fs::path& folder, const std::vector<std::string>& args) {
  const unsigned seconds = e2e::sanitized() ? 300 : 60;
  return run_in_child([&]() -> int {
    ::alarm(seconds);
    if (::chdir(folder.c_str()) != 0) return 126;
    std::vector<char*> argv{const_cast<char*>(QIV_TARNWICK_PROGRAM)};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(QIV_TARNWICK_PROGRAM, argv.data());
    return 127;
  });
}

// What the folder holds: each entry's kind and, for regular files up to 1 MiB, its bytes (the
// sparse files are compared by size alone).
std::map<std::string, std::string> snapshot(const fs::path& folder) {
  std::map<std::string, std::string> state;
  for (const auto& entry : fs::directory_iterator(folder)) {
    const std::string name = entry.path().filename();
    if (entry.is_symlink() || !entry.is_regular_file()) {
      state[name] = entry.is_directory() ? "<folder>" : "<other>";
    } else if (entry.file_size() > (1u << 20)) {
      state[name] = "<" + std::to_string(entry.file_size()) + " bytes>";
    } else {
      const Bytes b = read_bytes(entry.path());
      state[name] = std::string(b.begin(), b.end());
    }
  }
  return state;
}

class HardeningBadInput : public ::testing::TestWithParam<Row> {};

TEST_P(HardeningBadInput, EndsAsDocumentedAndLeavesTheFolderAsItWas) {
  const Row& row = GetParam();
  const Command& c = *row.command;
  // A refused run is made twice: without the output, and with an old one in its place. Under
  // the sanitizers, where each run is several times slower, the memory checks need only one.
  const bool withOld = !row.outcome.accepted && !c.output.empty() && !e2e::sanitized();
  for (const bool oldOutput : withOld ? std::vector{false, true} : std::vector{false}) {
    TempDir dir;
    fs::copy(golden(), dir.path(), fs::copy_options::recursive);
    row.fault(dir / row.file);
    if (oldOutput) write_bytes(dir / c.output, pattern_bytes(123, 9));
    const auto before = snapshot(dir.path());

    const Captured r = run_with_deadline(dir.path(), c.args);
    const std::string context = oldOutput ? " (old output present)" : "";
    // A status compares a signal as 128 + its number: a crash or the alarm cannot pass the
    // comparison with the documented status below. The alarm gets its own message.
    EXPECT_NE(r.status, 128 + SIGALRM) << "did not end within the time limit" << context;
    EXPECT_EQ(r.status, row.outcome.status) << context;
    EXPECT_EQ(r.output, c.banner + row.outcome.tail) << context;
    if (row.outcome.accepted) {
      EXPECT_TRUE(c.output.empty() || fs::is_regular_file(dir / c.output)) << "no output";
    } else {
      EXPECT_EQ(snapshot(dir.path()), before) << "the folder changed" << context;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Rows, HardeningBadInput, ::testing::ValuesIn(all_rows()),
                         [](const auto& test) { return e2e::test_name(test.param.name); });

}  // namespace
