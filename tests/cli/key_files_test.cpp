// Key-file layouts: each laid out against the offsets of its record table, read back, and
// refused when a length field or the size does not fit.
#include <gtest/gtest.h>

#include <functional>
#include <span>
#include <string>
#include <vector>

#include "cli/key_files.h"
#include "sbl/private_key_blob.h"
#include "tests/cli/temp_dir.h"
#include "tests/cli/test_keys.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using sbl::KeyForm;

// Where each component's length field lies, and the length it holds.
struct Field {
  std::size_t offset;
  std::uint32_t length;
};
const std::vector<Field> kCrtFields = {{0, 256},   {260, 4},   {268, 256}, {528, 128},
                                       {660, 128}, {792, 128}, {924, 128}, {1056, 128}};
const std::vector<Field> kPlainFields = {{0, 128},   {132, 128}, {264, 64}, {332, 64},
                                         {400, 64},  {468, 64},  {536, 64}};

TEST(PrivateKeyBlob, ComponentsAreLengthPrefixedLittleEndianDigits) {
  for (const KeyForm form : {KeyForm::kCrt, KeyForm::kPlain}) {
    const bool crt = form == KeyForm::kCrt;
    const QIV_RSA_PRIVATE_KEY key = synthetic_key(form);
    const Bytes blob = synthetic_blob(form);
    ASSERT_EQ(blob.size(), crt ? 1188u : 604u);
    for (const Field& field : crt ? kCrtFields : kPlainFields) {
      EXPECT_EQ(le32_at(blob, field.offset), field.length) << field.offset;
    }
    EXPECT_EQ(le32_at(blob, 4), key.n[0]);      // least significant digit first
    EXPECT_EQ(le32_at(blob, crt ? 256 : 128), key.n[crt ? 63 : 31]);
    EXPECT_EQ(le32_at(blob, crt ? 264 : 4), crt ? 3u : key.n[0]);
    const std::size_t d = crt ? 272 : 136;
    EXPECT_EQ(le32_at(blob, d), key.d[0]);
    EXPECT_EQ(le32_at(blob, blob.size() - 4), key.qInv[crt ? 31 : 15]);
    EXPECT_TRUE(is_full_size_blob(form, blob));
    // The record library loads it as the same key.
    QIV_RSA_PRIVATE_KEY loaded{};
    ASSERT_TRUE(sbl::load_private_key_blob(blob, form, loaded));
    EXPECT_TRUE(std::equal(key.n, key.n + key.n_count, loaded.n));
    EXPECT_TRUE(std::equal(key.d, key.d + key.d_count, loaded.d));
  }
}

TEST(PrivateKeyBlob, KeysOfAnotherSizeAreNotLaidOut) {
  QIV_RSA_PRIVATE_KEY key = synthetic_key(KeyForm::kCrt);
  Bytes out(2048, 0xEE);
  EXPECT_EQ(put_private_key_blob(KeyForm::kCrt, key, std::span(out).first(1187)), 0u);
  key.n_count = 63;
  EXPECT_EQ(put_private_key_blob(KeyForm::kCrt, key, out), 0u);
  EXPECT_EQ(put_private_key_blob(KeyForm::kPlain, synthetic_key(KeyForm::kCrt), out), 0u);
  EXPECT_EQ(out, Bytes(2048, 0xEE));
}

TEST(PrivateKeyBlob, MalformedBlobsAreNotFullSize) {
  const Bytes good = synthetic_blob(KeyForm::kCrt);
  const std::vector<std::pair<std::string, std::function<void(Bytes&)>>> damage = {
      {"one byte short", [](Bytes& b) { b.pop_back(); }},
      {"one byte long", [](Bytes& b) { b.push_back(0); }},
      {"empty", [](Bytes& b) { b.clear(); }},
      {"modulus 260 bytes", [](Bytes& b) { set_le32(b, 0, 260); }},
      {"exponent 8 bytes", [](Bytes& b) { set_le32(b, 260, 8); }},
      {"d length wraps", [](Bytes& b) { set_le32(b, 268, 0xFFFFFFFC); }},
      {"qInv 124 bytes", [](Bytes& b) { set_le32(b, 1056, 124); }},
  };
  for (const auto& [name, change] : damage) {
    Bytes blob = good;
    change(blob);
    EXPECT_FALSE(is_full_size_blob(KeyForm::kCrt, blob)) << name;
  }
  EXPECT_FALSE(is_full_size_blob(KeyForm::kPlain, good));
  EXPECT_FALSE(is_full_size_blob(KeyForm::kCrt, synthetic_blob(KeyForm::kPlain)));
}

TEST(SignedPublicKeyFileV21, LayoutAndLengthChecks) {
  Bytes record = pattern_bytes(288, 1);
  set_le32(record, 0, 256);
  set_le32(record, 260, 4);
  Bytes file(548, 0xEE);
  fill_sb20_signed_public_key_file(std::span<std::uint8_t, 548>(file),
                                   std::span<const std::uint8_t, 288>(record));
  EXPECT_TRUE(std::equal(record.begin(), record.end(), file.begin()));
  EXPECT_EQ(Bytes(file.begin() + 288, file.begin() + 292), (Bytes{0x00, 0x01, 0x00, 0x00}));
  EXPECT_EQ(Bytes(file.begin() + 292, file.end()), Bytes(256, 0));
  EXPECT_TRUE(sb20_signed_public_key_file_ok(file));
  EXPECT_TRUE(sb20_key_part_ok(std::span(file).first(268)));
  EXPECT_FALSE(sb20_key_part_ok(std::span(file).first(267)));
  EXPECT_FALSE(sb20_signed_public_key_file_ok(std::span(file).first(547)));

  const std::vector<Field> bogus = {{288, 255}, {288, 0xFFFFFFFF}, {288, 128},
                                    {0, 128},   {0, 0x7FFFFFFF},   {260, 8}};
  for (const Field& field : bogus) {
    Bytes damaged = file;
    set_le32(damaged, field.offset, field.length);
    EXPECT_FALSE(sb20_signed_public_key_file_ok(damaged)) << field.offset << " " << field.length;
  }
}

TEST(PublicKeyRecordV11, LayoutAndVerificationKey) {
  const Bytes keyPart = pattern_bytes(132, 2);
  Bytes record(308, 0xEE);
  fill_sb10_public_record(std::span<std::uint8_t, 308>(record),
                          std::span<const std::uint8_t, 132>(keyPart));
  Bytes expected(308, 0);
  set_le32(expected, 0, 28);
  const std::string text = "1.0, Pub, RSA-1024";
  std::copy(text.begin(), text.end(), expected.begin() + 4);
  set_le32(expected, 32, 140);
  set_le32(expected, 36, 128);
  std::copy(keyPart.begin(), keyPart.begin() + 128, expected.begin() + 40);
  set_le32(expected, 168, 4);
  std::copy(keyPart.begin() + 128, keyPart.end(), expected.begin() + 172);
  set_le32(expected, 176, 128);
  EXPECT_EQ(record, expected);

  const std::span<const std::uint8_t, 308> view(record);
  Bytes key(1024, 0xEE);
  EXPECT_EQ(sb10_verification_key(view, key), 132u);
  EXPECT_TRUE(std::equal(keyPart.begin(), keyPart.end(), key.begin()));
  EXPECT_EQ(Bytes(key.begin() + 132, key.end()), Bytes(892, 0));
  EXPECT_TRUE(sb10_public_record_signature_fields_ok(view));
}

TEST(PublicKeyRecordV11, BoundsOfEveryLengthField) {
  Bytes good(308, 0);
  fill_sb10_public_record(std::span<std::uint8_t, 308>(good),
                          std::span<const std::uint8_t, 132>(pattern_bytes(132, 3)));
  const std::vector<Field> noKey = {{36, 0},  {36, 127}, {36, 129}, {36, 0xFFFFFFFF},
                                    {168, 0}, {168, 5},  {168, 0x80000004}};
  for (const Field& field : noKey) {
    Bytes record = good;
    set_le32(record, field.offset, field.length);
    Bytes key(1024, 0xEE);
    EXPECT_EQ(sb10_verification_key(std::span<const std::uint8_t, 308>(record), key), 0u)
        << field.offset << " " << field.length;
    EXPECT_EQ(key, Bytes(1024, 0));
  }
  Bytes shortExponent = good;
  set_le32(shortExponent, 168, 3);
  Bytes key(132, 0xEE);
  EXPECT_EQ(sb10_verification_key(std::span<const std::uint8_t, 308>(shortExponent), key), 131u);
  EXPECT_EQ(key[131], 0);
  Bytes tooSmall(131);
  EXPECT_EQ(sb10_verification_key(std::span<const std::uint8_t, 308>(good), tooSmall), 0u);

  for (const Field& field : std::vector<Field>{{32, 141}, {32, 0xFFFFFFFF}, {176, 256}}) {
    Bytes record = good;
    set_le32(record, field.offset, field.length);
    EXPECT_FALSE(sb10_public_record_signature_fields_ok(std::span<const std::uint8_t, 308>(record)));
  }
}

TEST(PrivateKeyRecordV11, LayoutSigningBlobAndForeignHeaders) {
  const Bytes blob = synthetic_blob(KeyForm::kPlain);
  Bytes record(640, 0xEE);
  ASSERT_TRUE(fill_sb10_private_record(std::span<std::uint8_t, 640>(record), blob));
  EXPECT_EQ(le32_at(record, 0), 28u);
  EXPECT_EQ(std::string(record.begin() + 4, record.begin() + 28), "1.0, Priv, RSA-1024, CRT");
  EXPECT_EQ(le32_at(record, 28), 0u);
  EXPECT_EQ(le32_at(record, 32), 604u);
  for (const Field& field : kPlainFields) EXPECT_EQ(le32_at(record, 36 + field.offset), field.length);
  EXPECT_TRUE(std::equal(blob.begin(), blob.end(), record.begin() + 36));

  Bytes signing(2048, 0xEE);
  const std::span<const std::uint8_t, 640> view(record);
  EXPECT_TRUE(sb10_private_record_ok(view));
  ASSERT_EQ(sb10_signing_blob(view, signing), 264u);
  EXPECT_TRUE(std::equal(blob.begin(), blob.begin() + 264, signing.begin()));
  EXPECT_EQ(Bytes(signing.begin() + 264, signing.end()), Bytes(2048 - 264, 0));

  const std::vector<Field> foreign = {{0, 27},  {32, 605},  {32, 0xFFFFFFFF},
                                      {36, 256}, {168, 64}, {168, 0xFFFFFFFF}};
  for (const Field& field : foreign) {
    Bytes damaged = record;
    set_le32(damaged, field.offset, field.length);
    const std::span<const std::uint8_t, 640> bad(damaged);
    EXPECT_FALSE(sb10_private_record_ok(bad)) << field.offset;
    EXPECT_EQ(sb10_signing_blob(bad, signing), 0u);
    EXPECT_EQ(signing, Bytes(2048, 0));
  }
  Bytes renamed = record;
  renamed[27] = 'R';
  EXPECT_FALSE(sb10_private_record_ok(std::span<const std::uint8_t, 640>(renamed)));
  EXPECT_FALSE(fill_sb10_private_record(std::span<std::uint8_t, 640>(record),
                                        std::span(blob).first(603)));
  EXPECT_EQ(record, Bytes(640, 0));
}

}  // namespace
