// Key files on disk, through the loaders into the working buffers: round trips at 0600, and
// every file that is truncated, oversized, damaged or protected under the other mode refused
// before its bytes are used.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "cli/key_files.h"
#include "cli/key_protection.h"
#include "cli/key_store.h"
#include "cli/working_buffers.h"
#include "tests/cli/child_process.h"
#include "tests/cli/temp_dir.h"
#include "tests/cli/test_keys.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using sbl::KeyForm;

class KeyStore : public testing::Test {
 protected:
  void SetUp() override { wipe_working_buffers(); }

  std::string path(const std::string& name) const { return (dir / name).string(); }

  // Writes plaintext as a protected private key file and returns its bytes on disk.
  Bytes protect(const std::string& name, std::int32_t mode, Bytes plaintext) const {
    EXPECT_EQ(write_private_key_file(path(name).c_str(), mode, plaintext.data(),
                                     static_cast<std::uint32_t>(plaintext.size())),
              0);
    return read_bytes(dir / name);
  }

  static Bytes filled(Bytes blob, std::size_t fill) {
    blob.resize(blob.size() + fill, 0);
    return blob;
  }

  static Bytes private_record() {
    Bytes record(640);
    EXPECT_TRUE(fill_sb10_private_record(std::span<std::uint8_t, 640>(record),
                                         synthetic_blob(KeyForm::kPlain)));
    return record;
  }

  static bool private_key_dropped() {
    return privateKeyLen == 0 &&
           std::all_of(privateKey.begin(), privateKey.end(), [](auto b) { return b == 0; });
  }

  TempDir dir;
};

TEST_F(KeyStore, PrivateKeyFilesRoundTripAndAreOwnerOnly) {
  const Bytes crt = synthetic_blob(KeyForm::kCrt);
  const Bytes plain = synthetic_blob(KeyForm::kPlain);
  EXPECT_NE(protect("k_V21.prv", kProtectionV21, filled(crt, 12)), filled(crt, 12));
  protect("privateKey.dat", kProtectionV11, filled(plain, 4));
  protect("k.prv", kProtectionV11, private_record());
  for (const char* name : {"k_V21.prv", "privateKey.dat", "k.prv"}) {
    struct stat st {};
    ASSERT_EQ(::stat(path(name).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u) << name;
  }

  ASSERT_EQ(load_sb20_private_key(path("k_V21.prv").c_str()), 0);
  ASSERT_EQ(privateKeyLen, 1188u);
  EXPECT_TRUE(std::equal(crt.begin(), crt.end(), privateKey.begin()));
  ASSERT_EQ(load_sb10_maker_private_key(path("privateKey.dat").c_str()), 0);
  ASSERT_EQ(privateKeyLen, 604u);
  EXPECT_TRUE(std::equal(plain.begin(), plain.end(), privateKey.begin()));
  ASSERT_EQ(load_sb10_private_record(path("k.prv").c_str()), 0);
  ASSERT_EQ(privateKeyLen, 264u);  // n and d: all the plain-form signature reads
  EXPECT_TRUE(std::equal(plain.begin(), plain.begin() + 264, privateKey.begin()));
  EXPECT_EQ(privateKey[264], 0);
}

// Unprotecting under the wrong mode succeeds and yields garbage: the loaders must refuse it.
TEST_F(KeyStore, FileProtectedInOneModeIsRefusedInTheOther) {
  protect("v11_as_v21.dat", kProtectionV11, filled(synthetic_blob(KeyForm::kCrt), 12));
  protect("v21_as_v11.dat", kProtectionV21, filled(synthetic_blob(KeyForm::kPlain), 4));
  protect("v21_record.prv", kProtectionV21, private_record());
  EXPECT_EQ(load_sb20_private_key(path("v11_as_v21.dat").c_str()), kKeyFileRejected);
  EXPECT_TRUE(private_key_dropped());
  EXPECT_EQ(load_sb10_maker_private_key(path("v21_as_v11.dat").c_str()), kKeyFileRejected);
  EXPECT_TRUE(private_key_dropped());
  EXPECT_EQ(load_sb10_private_record(path("v21_record.prv").c_str()), kKeyFileRejected);
  EXPECT_TRUE(private_key_dropped());
  EXPECT_TRUE(std::all_of(sb10_privkey_file.begin(), sb10_privkey_file.end(),
                          [](auto b) { return b == 0; }));
}

TEST_F(KeyStore, DamagedV21PrivateKeyFilesAreRefused) {
  const Bytes good = protect("good.prv", kProtectionV21, filled(synthetic_blob(KeyForm::kCrt), 12));
  Bytes flipped = good;
  flipped[256] ^= 1;  // garbles the block that holds the e and d length fields
  Bytes oversized = good;
  oversized.resize(2064);
  Bytes atLimit = good;
  atLimit.resize(2048);
  const struct {
    const char* name;
    Bytes bytes;
    std::int32_t result;
  } cases[] = {
      {"empty", {}, QIV_KEYPROT_CIPHER_FAILED},
      {"not whole blocks", Bytes(good.begin(), good.end() - 1), QIV_KEYPROT_CIPHER_FAILED},
      {"one block short", Bytes(good.begin(), good.end() - 16), kKeyFileRejected},
      {"flipped bit", flipped, kKeyFileRejected},
      {"2048 bytes", atLimit, kKeyFileRejected},
      {"over 2048 bytes", oversized, kKeyFileRejected},
  };
  for (const auto& c : cases) {
    write_bytes(dir / "bad.prv", c.bytes);
    privateKeyLen = 99;
    EXPECT_EQ(load_sb20_private_key(path("bad.prv").c_str()), c.result) << c.name;
    EXPECT_TRUE(private_key_dropped()) << c.name;
  }
}

TEST_F(KeyStore, PublicKeyFilesAreBoundedBeforeUse) {
  Bytes file(548, 0);
  set_le32(file, 0, 256);
  set_le32(file, 260, 4);
  set_le32(file, 288, 256);
  write_bytes(dir / "k_V21.spk", file);
  ASSERT_EQ(load_sb20_signed_public_key(path("k_V21.spk").c_str()), 0);
  EXPECT_EQ(publicKeyLen, 548u);
  write_bytes(dir / "part.spk", Bytes(file.begin(), file.begin() + 268));
  EXPECT_EQ(load_sb20_public_key(path("part.spk").c_str()), 0);
  EXPECT_EQ(load_sb20_signed_public_key(path("part.spk").c_str()), kKeyFileRejected);

  Bytes bogusSignatureLength = file;
  set_le32(bogusSignatureLength, 288, 0x7FFFFFFF);
  Bytes oversized = file;
  oversized.resize(1025);
  for (const Bytes& bad : {bogusSignatureLength, oversized}) {
    write_bytes(dir / "bad.spk", bad);
    EXPECT_EQ(load_sb20_signed_public_key(path("bad.spk").c_str()), kKeyFileRejected);
    EXPECT_EQ(publicKeyLen, 0u);
    EXPECT_TRUE(std::all_of(publicKey.begin(), publicKey.end(), [](auto b) { return b == 0; }));
  }
  EXPECT_EQ(load_sb20_public_key(path("bad.spk").c_str()), kKeyFileRejected);

  Bytes record(308, 0);
  fill_sb10_public_record(std::span<std::uint8_t, 308>(record),
                          std::span<const std::uint8_t, 132>(pattern_bytes(132, 4)));
  write_bytes(dir / "k.spk", record);
  ASSERT_EQ(load_sb10_public_record(path("k.spk").c_str()), 0);
  EXPECT_EQ(publicKeyLen, 132u);
  set_le32(record, 36, 0xFFFFFF80);
  write_bytes(dir / "k.spk", record);
  EXPECT_EQ(load_sb10_public_record(path("k.spk").c_str()), kKeyFileRejected);
  EXPECT_EQ(publicKeyLen, 0u);
}

// The v1.1 records are read with a fixed count: a short file ends the process.
TEST_F(KeyStore, ShortFixedCountRecordsEndTheProcess) {
  write_bytes(dir / "short.prv", pattern_bytes(639, 5));
  write_bytes(dir / "short.spk", pattern_bytes(307, 6));
  const std::string prv = path("short.prv");
  const std::string spk = path("short.spk");
  for (const auto& load : std::vector<std::function<int()>>{
           [&] { return load_sb10_private_record(prv.c_str()); },
           [&] { return load_sb10_public_record(spk.c_str()); }}) {
    const Captured run = run_in_child(load);
    EXPECT_EQ(run.output, "file read error\n");
    EXPECT_EQ(run.status, 255);
  }
}

}  // namespace
