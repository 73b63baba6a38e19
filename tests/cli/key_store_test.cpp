// Key files on disk, through the loaders into the working buffers: round trips at 0600, and
// files that are truncated, oversized, damaged or protected under the other mode refused
// before their bytes are used, with the buffers left empty.
#include "core/key_store.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "core/key_protection.h"
#include "core/working_buffers.h"
#include "format/format.h"
#include "tests/cli/child_process.h"
#include "tests/cli/expected_texts.h"
#include "tests/cli/temp_dir.h"
#include "tests/cli/test_keys.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using sbl::KeyForm;

Bytes zero_filled(Bytes blob, std::size_t fill) {
  blob.resize(blob.size() + fill, 0);
  return blob;
}

Bytes private_record() {
  Bytes record(640);
  EXPECT_TRUE(fill_sb10_private_record(std::span<std::uint8_t, 640>(record),
                                       synthetic_blob(KeyForm::kPlain)));
  return record;
}

template <typename Buffer>
bool all_zero(const Buffer& b) {
  return std::all_of(b.begin(), b.end(), [](std::uint8_t x) { return x == 0; });
}

class KeyStore : public testing::Test {
 protected:
  void SetUp() override { wipe_working_buffers(); }
  std::string path(const std::string& name) const { return (dir / name).string(); }
  // Writes plaintext as a protected private key file; returns the bytes on disk.
  Bytes protect(const std::string& name, std::int32_t mode, Bytes plaintext) const {
    EXPECT_EQ(write_private_key_file(path(name).c_str(), mode, plaintext.data(),
                                     static_cast<std::uint32_t>(plaintext.size())),
              0);
    return read_bytes(dir / name);
  }
  TempDir dir;
};

TEST_F(KeyStore, PrivateKeyFilesRoundTripAndAreOwnerOnly) {
  const Bytes crt = synthetic_blob(KeyForm::kCrt);
  const Bytes plain = synthetic_blob(KeyForm::kPlain);
  EXPECT_NE(protect("k_V21.prv", kProtectionV21, zero_filled(crt, 12)), zero_filled(crt, 12));
  protect("privateKey.dat", kProtectionV11, zero_filled(plain, 4));
  protect("k.prv", kProtectionV11, private_record());
  for (const char* name : {"k_V21.prv", "privateKey.dat", "k.prv"}) {
    struct stat st {};
    ASSERT_EQ(::stat(path(name).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u) << name;
  }
  ASSERT_EQ(load_sb20_private_key(path("k_V21.prv").c_str()), 0);
  EXPECT_EQ(Bytes(privateKey.begin(), privateKey.begin() + privateKeyLen), crt);
  ASSERT_EQ(load_sb10_maker_private_key(path("privateKey.dat").c_str()), 0);
  EXPECT_EQ(Bytes(privateKey.begin(), privateKey.begin() + privateKeyLen), plain);
  ASSERT_EQ(load_sb10_private_record(path("k.prv").c_str()), 0);
  // n and d only: all the plain-form signature reads.
  EXPECT_EQ(Bytes(privateKey.begin(), privateKey.begin() + privateKeyLen),
            Bytes(plain.begin(), plain.begin() + 264));
  EXPECT_EQ(privateKey[264], 0);
}

// Unprotecting under the wrong mode succeeds and yields garbage: the loaders refuse it.
TEST_F(KeyStore, FileProtectedInOneModeIsRefusedInTheOther) {
  protect("a", kProtectionV11, zero_filled(synthetic_blob(KeyForm::kCrt), 12));
  protect("b", kProtectionV21, zero_filled(synthetic_blob(KeyForm::kPlain), 4));
  protect("c", kProtectionV21, private_record());
  EXPECT_EQ(load_sb20_private_key(path("a").c_str()), kKeyFileRejected);
  EXPECT_TRUE(privateKeyLen == 0 && all_zero(privateKey));
  EXPECT_EQ(load_sb10_maker_private_key(path("b").c_str()), kKeyFileRejected);
  EXPECT_TRUE(privateKeyLen == 0 && all_zero(privateKey));
  EXPECT_EQ(load_sb10_private_record(path("c").c_str()), kKeyFileRejected);
  EXPECT_TRUE(privateKeyLen == 0 && all_zero(privateKey) && all_zero(sb10_privkey_file));
}

TEST_F(KeyStore, DamagedV21PrivateKeyFilesAreRefused) {
  const Bytes good =
      protect("good", kProtectionV21, zero_filled(synthetic_blob(KeyForm::kCrt), 12));
  Bytes flipped = good;
  flipped[256] ^= 1;  // garbles the block that holds the e and d length fields
  Bytes atLimit = good;
  atLimit.resize(2048);
  Bytes oversized = good;
  oversized.resize(2064);
  const std::vector<std::pair<Bytes, std::int32_t>> cases = {
      {{}, QIV_KEYPROT_CIPHER_FAILED},
      {Bytes(good.begin(), good.end() - 1), QIV_KEYPROT_CIPHER_FAILED},
      {Bytes(good.begin(), good.end() - 16), kKeyFileRejected},
      {flipped, kKeyFileRejected},
      {atLimit, kKeyFileRejected},
      {oversized, kKeyFileRejected},
  };
  for (const auto& [bytes, result] : cases) {
    write_bytes(dir / "bad", bytes);
    privateKeyLen = 99;
    EXPECT_EQ(load_sb20_private_key(path("bad").c_str()), result) << bytes.size();
    EXPECT_TRUE(privateKeyLen == 0 && all_zero(privateKey)) << bytes.size();
  }
}

TEST_F(KeyStore, PublicKeyFilesAreBoundedBeforeUse) {
  Bytes file(548, 0);
  for (const auto& [offset, value] : {std::pair{0, 256}, {260, 4}, {288, 256}}) {
    set_le32(file, static_cast<std::size_t>(offset), static_cast<std::uint32_t>(value));
  }
  write_bytes(dir / "k_V21.spk", file);
  ASSERT_EQ(load_sb20_signed_public_key(path("k_V21.spk").c_str()), 0);
  EXPECT_EQ(publicKeyLen, 548u);
  write_bytes(dir / "part", Bytes(file.begin(), file.begin() + 268));
  EXPECT_EQ(load_sb20_public_key(path("part").c_str()), 0);
  EXPECT_EQ(load_sb20_signed_public_key(path("part").c_str()), kKeyFileRejected);
  Bytes bogus = file;
  set_le32(bogus, 288, 0x7FFFFFFF);
  Bytes oversized = file;
  oversized.resize(1025);
  for (const Bytes& bad : {bogus, oversized}) {
    write_bytes(dir / "bad", bad);
    EXPECT_EQ(load_sb20_signed_public_key(path("bad").c_str()), kKeyFileRejected);
    EXPECT_TRUE(publicKeyLen == 0 && all_zero(publicKey));
  }
  EXPECT_EQ(load_sb20_public_key(path("bad").c_str()), kKeyFileRejected);

  Bytes record(308, 0);
  fill_sb10_public_record(std::span<std::uint8_t, 308>(record),
                          std::span<const std::uint8_t, 132>(pattern_bytes(132, 4)));
  write_bytes(dir / "k.spk", record);
  ASSERT_EQ(load_sb10_public_record(path("k.spk").c_str()), 0);
  EXPECT_EQ(publicKeyLen, 132u);
  set_le32(record, 36, 0xFFFFFF80);
  write_bytes(dir / "k.spk", record);
  EXPECT_EQ(load_sb10_public_record(path("k.spk").c_str()), kKeyFileRejected);
  EXPECT_TRUE(publicKeyLen == 0 && all_zero(publicKey));
}

// The v1.1 records are read with a fixed count: a short file ends the process.
TEST_F(KeyStore, ShortFixedCountRecordsEndTheProcess) {
  write_bytes(dir / "short.prv", pattern_bytes(639, 5));
  write_bytes(dir / "short.spk", pattern_bytes(307, 6));
  const std::string prv = path("short.prv");
  const std::string spk = path("short.spk");
  for (const auto& load :
       std::vector<std::function<int()>>{[&] { return load_sb10_private_record(prv.c_str()); },
                                         [&] { return load_sb10_public_record(spk.c_str()); }}) {
    const Captured run = run_in_child(load);
    EXPECT_EQ(run.output, kFileOpenError);
    EXPECT_EQ(run.status, 255);
  }
}

}  // namespace
