// Key-file layouts, each checked against the offsets of its record table, read back, and
// refused when a length field or the size does not fit.
#include <gtest/gtest.h>

#include <functional>
#include <span>
#include <string>
#include <vector>

#include "format/format.h"
#include "sbl/private_key_blob.h"
#include "tests/cli/temp_dir.h"
#include "tests/cli/test_keys.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using sbl::KeyForm;

struct Field {  // a u32 field: where it lies, what it holds
  std::size_t offset;
  std::uint32_t value;
};
const std::vector<Field> kCrtLengths = {{0, 256},   {260, 4},   {268, 256}, {528, 128},
                                        {660, 128}, {792, 128}, {924, 128}, {1056, 128}};
const std::vector<Field> kPlainLengths = {{0, 128},  {132, 128}, {264, 64}, {332, 64},
                                          {400, 64}, {468, 64},  {536, 64}};

Bytes with(Bytes bytes, Field field) {
  set_le32(bytes, field.offset, field.value);
  return bytes;
}

TEST(BlobLayout, ComponentsAreLengthPrefixedLittleEndianDigits) {
  for (const KeyForm form : {KeyForm::kCrt, KeyForm::kPlain}) {
    const bool crt = form == KeyForm::kCrt;
    const QIV_RSA_PRIVATE_KEY key = synthetic_key(form);
    const Bytes blob = synthetic_blob(form);
    ASSERT_EQ(blob.size(), crt ? 1188u : 604u);
    for (const Field& field : crt ? kCrtLengths : kPlainLengths) {
      EXPECT_EQ(le32_at(blob, field.offset), field.value) << field.offset;
    }
    EXPECT_EQ(le32_at(blob, 4), key.n[0]);  // least significant digit first
    EXPECT_EQ(le32_at(blob, crt ? 256 : 128), key.n[key.n_count - 1]);
    EXPECT_EQ(le32_at(blob, crt ? 264 : 136), crt ? 3u : key.d[0]);
    EXPECT_EQ(le32_at(blob, blob.size() - 4), key.qInv[key.qInv_count - 1]);
    EXPECT_TRUE(is_full_size_blob(form, blob));
    EXPECT_FALSE(is_full_size_blob(crt ? KeyForm::kPlain : KeyForm::kCrt, blob));
    QIV_RSA_PRIVATE_KEY loaded{};  // the record library reads the same key back
    ASSERT_TRUE(sbl::load_private_key_blob(blob, form, loaded));
    EXPECT_TRUE(std::equal(key.d, key.d + key.d_count, loaded.d));
  }
}

TEST(BlobLayout, OtherSizesAreNeitherLaidOutNorAccepted) {
  QIV_RSA_PRIVATE_KEY key = synthetic_key(KeyForm::kCrt);
  Bytes out(2048, 0xEE);
  EXPECT_EQ(put_private_key_blob(KeyForm::kCrt, key, std::span(out).first(1187)), 0u);
  EXPECT_EQ(put_private_key_blob(KeyForm::kPlain, key, out), 0u);
  key.n_count = 63;
  EXPECT_EQ(put_private_key_blob(KeyForm::kCrt, key, out), 0u);
  EXPECT_EQ(out, Bytes(2048, 0xEE));

  const Bytes good = synthetic_blob(KeyForm::kCrt);
  const std::vector<Bytes> bad = {Bytes(good.begin(), good.end() - 1),
                                  Bytes(good.begin(), good.begin() + 2),
                                  with(good, {0, 260}),
                                  with(good, {260, 8}),
                                  with(good, {268, 0xFFFFFFFC}) /* wraps */,
                                  with(good, {1056, 124})};
  for (const Bytes& blob : bad) EXPECT_FALSE(is_full_size_blob(KeyForm::kCrt, blob));
  Bytes longer = good;
  longer.push_back(0);
  EXPECT_FALSE(is_full_size_blob(KeyForm::kCrt, longer));
}

TEST(SignedPublicKeyFileV21, LayoutAndLengthChecks) {
  const Bytes record = with(with(pattern_bytes(288, 1), {0, 256}), {260, 4});
  Bytes file(548, 0xEE);
  fill_sb20_signed_public_key_file(std::span<std::uint8_t, 548>(file),
                                   std::span<const std::uint8_t, 288>(record));
  Bytes expected = record;
  expected.insert(expected.end(), {0x00, 0x01, 0x00, 0x00});
  expected.resize(548, 0);
  EXPECT_EQ(file, expected);
  EXPECT_TRUE(sb20_signed_public_key_file_ok(file));
  EXPECT_TRUE(sb20_key_part_ok(std::span(file).first(268)));
  EXPECT_FALSE(sb20_key_part_ok(std::span(file).first(267)));
  EXPECT_FALSE(sb20_signed_public_key_file_ok(std::span(file).first(547)));
  for (const Field f : {Field{288, 255}, Field{288, 0xFFFFFFFF}, Field{0, 128}, Field{260, 8}}) {
    EXPECT_FALSE(sb20_signed_public_key_file_ok(with(file, f))) << f.offset << " " << f.value;
  }
}

TEST(PublicKeyRecordV11, LayoutVerificationKeyAndBounds) {
  const Bytes keyPart = pattern_bytes(132, 2);
  Bytes record(308, 0xEE);
  fill_sb10_public_record(std::span<std::uint8_t, 308>(record),
                          std::span<const std::uint8_t, 132>(keyPart));
  Bytes expected(308, 0);
  const std::string text = "1.0, Pub, RSA-1024";
  std::copy(text.begin(), text.end(), expected.begin() + 4);
  for (const Field f :
       {Field{0, 28}, Field{32, 140}, Field{36, 128}, Field{168, 4}, Field{176, 128}}) {
    set_le32(expected, f.offset, f.value);
  }
  std::copy(keyPart.begin(), keyPart.begin() + 128, expected.begin() + 40);
  std::copy(keyPart.begin() + 128, keyPart.end(), expected.begin() + 172);
  EXPECT_EQ(record, expected);

  const auto key_of = [](const Bytes& r, Bytes& key) {
    return sb10_verification_key(std::span<const std::uint8_t, 308>(r), key);
  };
  Bytes key(1024, 0xEE);
  EXPECT_EQ(key_of(record, key), 132u);
  EXPECT_EQ(Bytes(key.begin(), key.begin() + 132), keyPart);
  EXPECT_EQ(key_of(with(record, {168, 3}), key), 131u);
  EXPECT_EQ(key[131], 0);
  // Lengths the record has no room for build no key at all.
  for (const Field f : {Field{36, 127}, Field{36, 0xFFFFFFFF}, Field{168, 0}, Field{168, 5}}) {
    key.assign(1024, 0xEE);
    EXPECT_EQ(key_of(with(record, f), key), 0u) << f.offset << " " << f.value;
    EXPECT_EQ(key, Bytes(1024, 0));
  }
  const auto signature_ok = [](const Bytes& r) {
    return sb10_public_record_signature_fields_ok(std::span<const std::uint8_t, 308>(r));
  };
  EXPECT_TRUE(signature_ok(record));
  EXPECT_FALSE(signature_ok(with(record, {32, 0xFFFFFFFF})));
  EXPECT_FALSE(signature_ok(with(record, {176, 256})));
}

TEST(PrivateKeyRecordV11, LayoutSigningBlobAndForeignHeaders) {
  const Bytes blob = synthetic_blob(KeyForm::kPlain);
  Bytes record(640, 0xEE);
  ASSERT_TRUE(fill_sb10_private_record(std::span<std::uint8_t, 640>(record), blob));
  EXPECT_EQ(le32_at(record, 0), 28u);
  EXPECT_EQ(std::string(record.begin() + 4, record.begin() + 28), "1.0, Priv, RSA-1024, CRT");
  EXPECT_EQ(le32_at(record, 28), 0u);
  EXPECT_EQ(le32_at(record, 32), 604u);
  EXPECT_EQ(Bytes(record.begin() + 36, record.end()), blob);  // lengths at 36, 168, 300, ...

  const auto signing_blob = [](const Bytes& r, Bytes& out) {
    return sb10_signing_blob(std::span<const std::uint8_t, 640>(r), out);
  };
  Bytes signing(2048, 0xEE);
  ASSERT_EQ(signing_blob(record, signing), 264u);
  EXPECT_EQ(Bytes(signing.begin(), signing.begin() + 264), Bytes(blob.begin(), blob.begin() + 264));
  EXPECT_EQ(signing[264], 0);

  Bytes renamed = record;
  renamed[27] = 'R';
  for (const Bytes& bad : {with(record, {0, 27}), with(record, {32, 0xFFFFFFFF}),
                           with(record, {36, 256}), with(record, {168, 64}), renamed}) {
    EXPECT_FALSE(sb10_private_record_ok(std::span<const std::uint8_t, 640>(bad)));
    EXPECT_EQ(signing_blob(bad, signing), 0u);
    EXPECT_EQ(signing, Bytes(2048, 0));
  }
  EXPECT_FALSE(
      fill_sb10_private_record(std::span<std::uint8_t, 640>(record), std::span(blob).first(603)));
  EXPECT_EQ(record, Bytes(640, 0));
}

}  // namespace
