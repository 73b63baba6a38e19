// Key files on disk, through the loaders into the working buffers: round trips at 0600, and
// files that are truncated, oversized, damaged or protected under the other mode refused
// before their bytes are used, with the buffers left empty and the refusal naming the file.
#include "core/key_store.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <string>
#include <tuple>
#include <vector>

#include "core/key_protection.h"
#include "core/working_buffers.h"
#include "format/format.h"
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
    core::Report written;
    OutputSet outputs(written);
    EXPECT_TRUE(add_private_key_file(outputs, path(name).c_str(), mode, plaintext.data(),
                                     static_cast<std::uint32_t>(plaintext.size())));
    EXPECT_EQ(outputs.install(), OutputSet::Result::kInstalled);
    return read_bytes(dir / name);
  }
  // A loader of each kind, with a fresh report (kept in `report` for expect_refused).
  std::int32_t load(decltype(&load_sb20_private_key) loader, const std::string& name) {
    report = core::Report();
    return loader(report, kRefused, path(name).c_str(), key);
  }
  std::int32_t load(decltype(&load_sb20_public_key) loader, const std::string& name) {
    report = core::Report();
    return loader(report, kRefused, path(name).c_str());
  }
  // The last load was refused once, as `kind`, under `event`, naming the file.
  void expect_refused(const std::string& name, core::Class kind, core::Event event = kRefused) {
    ASSERT_EQ(report.notes().size(), 1u) << name;
    EXPECT_EQ(report.notes()[0].event, event) << name;
    ASSERT_TRUE(report.refused_as(kind)) << name;
    EXPECT_EQ(report.refusal()->file, path(name));
  }
  static constexpr core::Event kRefused = core::Event::kStage2GenerationFailed;
  TempDir dir;
  core::Report report;
  core::SigningKey key;
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
  ASSERT_EQ(load(load_sb20_private_key, "k_V21.prv"), 0);
  EXPECT_EQ(Bytes(privateKey.begin(), privateKey.begin() + privateKeyLen), crt);
  ASSERT_EQ(load(load_sb10_maker_private_key, "privateKey.dat"), 0);
  EXPECT_EQ(Bytes(privateKey.begin(), privateKey.begin() + privateKeyLen), plain);
  ASSERT_EQ(load(load_sb10_private_record, "k.prv"), 0);
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
  EXPECT_EQ(load(load_sb20_private_key, "a"), kKeyFileRejected);
  EXPECT_TRUE(privateKeyLen == 0 && all_zero(privateKey));
  expect_refused("a", core::Class::kKey);
  EXPECT_EQ(load(load_sb10_maker_private_key, "b"), kKeyFileRejected);
  EXPECT_TRUE(privateKeyLen == 0 && all_zero(privateKey));
  expect_refused("b", core::Class::kKey);
  EXPECT_EQ(load(load_sb10_private_record, "c"), kKeyFileRejected);
  EXPECT_TRUE(privateKeyLen == 0 && all_zero(privateKey) && all_zero(sb10_privkey_file));
  expect_refused("c", core::Class::kKey);
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
  // A file that does not unprotect keeps the protection's code, and no legacy line.
  const core::Event silent = core::Event::kSilent;
  const std::vector<std::tuple<Bytes, std::int32_t, core::Event>> cases = {
      {{}, QIV_KEYPROT_CIPHER_FAILED, silent},
      {Bytes(good.begin(), good.end() - 1), QIV_KEYPROT_CIPHER_FAILED, silent},
      {Bytes(good.begin(), good.end() - 16), kKeyFileRejected, kRefused},
      {flipped, kKeyFileRejected, kRefused},
      {atLimit, kKeyFileRejected, kRefused},
      {oversized, kKeyFileRejected, kRefused},
  };
  for (const auto& [bytes, result, event] : cases) {
    write_bytes(dir / "bad", bytes);
    privateKeyLen = 99;
    EXPECT_EQ(load(load_sb20_private_key, "bad"), result) << bytes.size();
    EXPECT_TRUE(privateKeyLen == 0 && all_zero(privateKey)) << bytes.size();
    expect_refused("bad", core::Class::kKey, event);
  }
}

TEST_F(KeyStore, PublicKeyFilesAreBoundedBeforeUse) {
  Bytes file(548, 0);
  for (const auto& [offset, value] : {std::pair{0, 256}, {260, 4}, {288, 256}}) {
    set_le32(file, static_cast<std::size_t>(offset), static_cast<std::uint32_t>(value));
  }
  write_bytes(dir / "k_V21.spk", file);
  ASSERT_EQ(load(load_sb20_signed_public_key, "k_V21.spk"), 0);
  EXPECT_EQ(publicKeyLen, 548u);
  write_bytes(dir / "part", Bytes(file.begin(), file.begin() + 268));
  EXPECT_EQ(load(load_sb20_public_key, "part"), 0);
  EXPECT_EQ(load(load_sb20_signed_public_key, "part"), kKeyFileRejected);
  Bytes bogus = file;
  set_le32(bogus, 288, 0x7FFFFFFF);
  Bytes oversized = file;
  oversized.resize(1025);
  for (const Bytes& bad : {bogus, oversized}) {
    write_bytes(dir / "bad", bad);
    EXPECT_EQ(load(load_sb20_signed_public_key, "bad"), kKeyFileRejected);
    EXPECT_TRUE(publicKeyLen == 0 && all_zero(publicKey));
    expect_refused("bad", core::Class::kKey);
  }
  EXPECT_EQ(load(load_sb20_public_key, "bad"), kKeyFileRejected);
  expect_refused("bad", core::Class::kKey);

  Bytes record(308, 0);
  fill_sb10_public_record(std::span<std::uint8_t, 308>(record),
                          std::span<const std::uint8_t, 132>(pattern_bytes(132, 4)));
  write_bytes(dir / "k.spk", record);
  ASSERT_EQ(load(load_sb10_public_record, "k.spk"), 0);
  EXPECT_EQ(publicKeyLen, 132u);
  set_le32(record, 36, 0xFFFFFF80);
  write_bytes(dir / "k.spk", record);
  EXPECT_EQ(load(load_sb10_public_record, "k.spk"), kKeyFileRejected);
  EXPECT_TRUE(publicKeyLen == 0 && all_zero(publicKey));
  expect_refused("k.spk", core::Class::kKey);
}

// The v1.1 records are read with a fixed count: a short file is a refusal of the input, and
// the key loaded before it is gone.
TEST_F(KeyStore, ShortFixedCountRecordsAreRefusedAndLeaveNoKey) {
  protect("k.prv", kProtectionV11, private_record());
  Bytes record(308, 0);
  fill_sb10_public_record(std::span<std::uint8_t, 308>(record),
                          std::span<const std::uint8_t, 132>(pattern_bytes(132, 4)));
  write_bytes(dir / "k.spk", record);
  write_bytes(dir / "short.prv", pattern_bytes(639, 5));
  write_bytes(dir / "short.spk", pattern_bytes(307, 6));
  ASSERT_EQ(load(load_sb10_private_record, "k.prv"), 0);
  EXPECT_EQ(load(load_sb10_private_record, "short.prv"), kKeyFileRejected);
  EXPECT_TRUE(privateKeyLen == 0 && all_zero(privateKey));
  expect_refused("short.prv", core::Class::kInput, core::Event::kFileOpenError);
  ASSERT_EQ(load(load_sb10_public_record, "k.spk"), 0);
  EXPECT_EQ(load(load_sb10_public_record, "short.spk"), kKeyFileRejected);
  EXPECT_TRUE(publicKeyLen == 0 && all_zero(publicKey));
  expect_refused("short.spk", core::Class::kInput, core::Event::kFileOpenError);
}

}  // namespace
