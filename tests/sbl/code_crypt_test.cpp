// Code encryption: key and IV derived as a device derives them, the ciphertext equal to
// OpenSSL's AES-128-CBC, and a code buffer that is never half changed.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "sbl/code_crypt_seam.h"
#include "sbl/layout.h"
#include "sbl/sbl.h"
#include "tests/sbl/guarded.h"
#include "tests/sbl/test_keys.h"
#include "tests/support/reference.h"

namespace {

using sbl::ContextV21;
constexpr std::uint32_t k16 = 16;

struct Stage1 {
  Bytes context;  // cleared, with the stage-1 record at its place
  Bytes eFuse;
};

Stage1 make_stage1(int slot) {
  const TestKey& k = key2048(slot);
  Stage1 s{Bytes(ContextV21::kSize, 0), Bytes(20)};
  std::uint32_t eFuseLen = 20;
  const std::uint32_t e = 3;
  EXPECT_EQ(Generate_SB20_PublicKeyInfo(nullptr, 0, k.n.data(), 64, &e, 1, s.eFuse.data(),
                                        &eFuseLen, s.context.data() + ContextV21::kPublicKeyInfo),
            0);
  return s;
}

const Stage1& stage1() {
  static const Stage1 s = make_stage1(0);
  return s;
}

// The device's derivation, computed with OpenSSL and plain XOR.
Bytes expected_key(const Bytes& context, const Bytes& eFuse) {
  Bytes key(16);
  for (std::size_t i = 0; i < 16; ++i) key[i] = context[ContextV21::kOwnTag + i] ^ eFuse[i];
  return key;
}
Bytes expected_iv(const Bytes& context) {
  const auto digest = ref::sha1(std::span(context).subspan(ContextV21::kPublicKeyInfo, 268));
  return Bytes(digest.begin(), digest.begin() + 16);
}

Bytes code_of(std::size_t n) {
  Bytes code(n);
  for (std::size_t i = 0; i < n; ++i) code[i] = static_cast<std::uint8_t>(i * 31 + 7);
  return code;
}

std::int32_t encrypt(const Stage1& s, Guarded& code) {
  return Encrypt_Code(s.eFuse.data(), 20, s.context.data(), code.data(),
                      static_cast<std::uint32_t>(code.size()));
}
std::int32_t decrypt(const Stage1& s, Guarded& code) {
  return Decrypt_Code(s.eFuse.data(), 20, s.context.data(), code.data(),
                      static_cast<std::uint32_t>(code.size()));
}

Guarded guarded_copy(const Bytes& bytes) {
  Guarded g(bytes.size());
  std::copy(bytes.begin(), bytes.end(), g.data());
  return g;
}

TEST(AesParameters, KeyIsFirstHalfOfIntegrityKeyAndIvIsDigestOfKeyPart) {
  const Stage1& s = stage1();
  Guarded key(16), iv(16);
  const std::uint32_t keyLen = 16, ivLen = 16;
  ASSERT_EQ(
      Make_AES_Param(s.eFuse.data(), 20, s.context.data(), key.data(), &keyLen, iv.data(), &ivLen),
      0);
  EXPECT_EQ(key.contents(), expected_key(s.context, s.eFuse));
  EXPECT_EQ(iv.contents(), expected_iv(s.context));
  EXPECT_TRUE(key.guards_intact() && iv.guards_intact());
}

TEST(AesParameters, BadLengthsAndPointersAreRejectedWithoutWriting) {
  const Stage1& s = stage1();
  struct Case {
    const char* name;
    std::uint32_t keyLen, ivLen, eFuseLen;
    bool nullKey, nullIv;
  };
  for (const Case c :
       {Case{"key length 15", 15, 16, 20, false, false},
        Case{"IV length 32", 16, 32, 20, false, false},
        Case{"eFuse length 16", 16, 16, 16, false, false},
        Case{"null key", 16, 16, 20, true, false}, Case{"null IV", 16, 16, 20, false, true}}) {
    SCOPED_TRACE(c.name);
    Guarded key(16, 0x99), iv(16, 0x99);
    EXPECT_EQ(Make_AES_Param(s.eFuse.data(), c.eFuseLen, s.context.data(),
                             c.nullKey ? nullptr : key.data(), &c.keyLen,
                             c.nullIv ? nullptr : iv.data(), &c.ivLen),
              QIV_SBL_AES_BAD_PARAM);
    EXPECT_EQ(key.contents(), Bytes(16, 0x99));
    EXPECT_EQ(iv.contents(), Bytes(16, 0x99));
    EXPECT_EQ(c.keyLen + c.ivLen, (c.keyLen == 15 ? 15u : 16u) + (c.ivLen == 32 ? 32u : 16u));
  }
  Bytes key(16), iv(16);
  EXPECT_EQ(
      Make_AES_Param(s.eFuse.data(), 20, s.context.data(), key.data(), nullptr, iv.data(), &k16),
      QIV_SBL_AES_BAD_PARAM);
  EXPECT_EQ(Make_AES_Param(s.eFuse.data(), 20, nullptr, key.data(), &k16, iv.data(), &k16),
            QIV_SBL_AES_BAD_PARAM);
}

TEST(CodeEncryption, CiphertextEqualsOpenSSLAes128CbcAndDecryptsBack) {
  const Stage1& s = stage1();
  for (std::size_t n : {16u, 1024u, 4096u + 48u}) {
    SCOPED_TRACE(n);
    const Bytes plain = code_of(n);
    Guarded code = guarded_copy(plain);
    ASSERT_EQ(encrypt(s, code), 0);
    EXPECT_EQ(code.contents(), ref::aes_cbc_encrypt(expected_key(s.context, s.eFuse),
                                                    expected_iv(s.context), plain));
    ASSERT_EQ(decrypt(s, code), 0);
    EXPECT_EQ(code.contents(), plain);
    EXPECT_TRUE(code.guards_intact());
  }
}

// The trial decryption is the only guard against a cipher that encrypts wrongly; the seam plays
// that cipher by damaging one byte of the fresh ciphertext (first, middle, last). Each time the
// encryption must refuse and leave the code as it was.
TEST(CodeEncryption, DamagedCiphertextIsCaughtByTheTrialDecryption) {
  static std::uint32_t damageAt = 0;
  sbl::seam::after_code_encryption = [](std::uint8_t* cipher, std::uint32_t) {
    cipher[damageAt] ^= 0x01;
  };
  const Bytes plain = code_of(1024);
  for (const std::uint32_t at : {0u, 511u, 1023u}) {
    damageAt = at;
    Guarded code = guarded_copy(plain);
    EXPECT_EQ(encrypt(stage1(), code), QIV_SBL_AES_ENCRYPT_FAILED) << at;
    EXPECT_EQ(code.contents(), plain) << at;
  }
  sbl::seam::after_code_encryption = nullptr;
}

// Sets the chunk size for one test and clears both seams on every way out.
struct ChunkSeam {
  explicit ChunkSeam(std::uint32_t chunk) { sbl::seam::chunk_size = chunk; }
  ~ChunkSeam() {
    sbl::seam::chunk_size = 0;
    sbl::seam::after_code_encryption = nullptr;
  }
  ChunkSeam(const ChunkSeam&) = delete;
  ChunkSeam& operator=(const ChunkSeam&) = delete;
};

// The chaining value must cross every chunk boundary: lengths just under, at and over one chunk,
// several chunks with a short last one, one block and none, for a 64-byte chunk (through the
// seam) and the program's own 64 KiB chunk. Each equals OpenSSL's one-shot encryption.
TEST(CodeEncryption, ChunkedCiphertextEqualsOneShotAroundChunkBoundaries) {
  const Stage1& s = stage1();
  const Bytes key = expected_key(s.context, s.eFuse);
  const Bytes iv = expected_iv(s.context);
  for (const std::uint32_t chunk : {64u, 0u}) {
    const ChunkSeam seam(chunk);
    const std::size_t c = chunk != 0 ? chunk : 64 * 1024;
    for (const std::size_t n : {c - 16, c, c + 16, 3 * c + 48, std::size_t{16}, std::size_t{0}}) {
      SCOPED_TRACE(testing::Message() << "chunk " << c << ", length " << n);
      const Bytes plain = code_of(n);
      Guarded code = guarded_copy(plain);
      ASSERT_EQ(encrypt(s, code), 0);
      EXPECT_EQ(code.contents(), ref::aes_cbc_encrypt(key, iv, plain));
      EXPECT_TRUE(code.guards_intact());
    }
  }
}

// A fault in any chunk, the first, a middle one or the short last one, is caught by that chunk's
// trial decryption; the chunks before it, already encrypted in place, are decrypted back, so
// the code is exactly as it was. The seam sees the chunks in order, each with its own length.
TEST(CodeEncryption, DamageInAnyChunkIsCaughtAndEarlierChunksAreRestored) {
  const ChunkSeam seam(64);
  static std::vector<std::uint32_t> lengths;
  static std::size_t damagedChunk = 0;
  sbl::seam::after_code_encryption = [](std::uint8_t* cipher, std::uint32_t length) {
    if (lengths.size() == damagedChunk) cipher[length - 1] ^= 0x80;
    lengths.push_back(length);
  };
  const Bytes plain = code_of(5 * 64 + 32);
  for (const std::size_t chunk : {0u, 3u, 5u}) {
    SCOPED_TRACE(chunk);
    damagedChunk = chunk;
    lengths.clear();
    Guarded code = guarded_copy(plain);
    EXPECT_EQ(encrypt(stage1(), code), QIV_SBL_AES_ENCRYPT_FAILED);
    EXPECT_EQ(code.contents(), plain);
    EXPECT_TRUE(code.guards_intact());
    std::vector<std::uint32_t> expected(chunk + 1, 64);
    if (chunk == 5) expected.back() = 32;
    EXPECT_EQ(lengths, expected);
  }
}

TEST(CodeEncryption, EmptyCodeIsANoOp) {
  const Stage1& s = stage1();
  Guarded code(0);
  EXPECT_EQ(encrypt(s, code), 0);
  EXPECT_EQ(decrypt(s, code), 0);
  EXPECT_TRUE(code.guards_intact());
}

TEST(CodeEncryption, LengthNotWholeBlocksFailsAndLeavesTheCode) {
  const Stage1& s = stage1();
  for (std::size_t n : {1u, 15u, 1000u, 1025u}) {
    SCOPED_TRACE(n);
    const Bytes plain = code_of(n);
    Guarded code = guarded_copy(plain);
    EXPECT_EQ(encrypt(s, code), QIV_SBL_AES_ENCRYPT_FAILED);
    EXPECT_EQ(code.contents(), plain);
    // Decryption is refused before it starts working in place.
    EXPECT_EQ(decrypt(s, code), QIV_SBL_AES_DECRYPT_FAILED);
    EXPECT_EQ(code.contents(), plain);
    EXPECT_TRUE(code.guards_intact());
  }
}

TEST(CodeEncryption, EFuseLengthOtherThan20IsRejectedByAllThree) {
  const Stage1& s = stage1();
  const Bytes plain = code_of(64);
  Guarded code = guarded_copy(plain);
  EXPECT_EQ(Encrypt_Code(s.eFuse.data(), 16, s.context.data(), code.data(), 64),
            QIV_SBL_AES_BAD_PARAM);
  EXPECT_EQ(Decrypt_Code(s.eFuse.data(), 16, s.context.data(), code.data(), 64),
            QIV_SBL_AES_BAD_PARAM);
  Bytes key(16), iv(16);
  EXPECT_EQ(Make_AES_Param(s.eFuse.data(), 16, s.context.data(), key.data(), &k16, iv.data(), &k16),
            QIV_SBL_AES_BAD_PARAM);
  EXPECT_EQ(code.contents(), plain);
}

TEST(CodeEncryption, NullCodeIsRejected) {
  const Stage1& s = stage1();
  EXPECT_EQ(Encrypt_Code(s.eFuse.data(), 20, s.context.data(), nullptr, 16),
            QIV_SBL_AES_ENCRYPT_FAILED);
  EXPECT_EQ(Decrypt_Code(s.eFuse.data(), 20, s.context.data(), nullptr, 16),
            QIV_SBL_AES_DECRYPT_FAILED);
}

TEST(CodeEncryption, DeterministicUnderOneEFuseDifferentUnderAnother) {
  const Stage1& s = stage1();
  const Bytes plain = code_of(256);
  Guarded a = guarded_copy(plain), b = guarded_copy(plain);
  ASSERT_EQ(encrypt(s, a), 0);
  ASSERT_EQ(encrypt(s, b), 0);
  EXPECT_EQ(a.contents(), b.contents());

  // A second record for the same key: another integrity key, so another eFuse value and AES key.
  const Stage1 other = make_stage1(0);
  ASSERT_NE(other.eFuse, s.eFuse);
  Guarded c = guarded_copy(plain);
  ASSERT_EQ(encrypt(other, c), 0);
  EXPECT_NE(c.contents(), a.contents());
}

TEST(CodeEncryption, OnlyTheStage1RecordIsRead) {
  const Stage1& s = stage1();
  const Bytes plain = code_of(128);
  Guarded reference = guarded_copy(plain);
  ASSERT_EQ(encrypt(s, reference), 0);

  // Everything outside [528, 816) may change: next-stage key, signature, service table, trailer.
  Stage1 scribbled = s;
  for (std::uint32_t i = 0; i < ContextV21::kSize; ++i) {
    if (i < ContextV21::kPublicKeyInfo || i >= ContextV21::kServiceTable) {
      scribbled.context[i] = static_cast<std::uint8_t>(i * 13 + 5);
    }
  }
  Guarded code = guarded_copy(plain);
  ASSERT_EQ(encrypt(scribbled, code), 0);
  EXPECT_EQ(code.contents(), reference.contents());

  // A key-part byte moves the IV, a tag byte the key.
  for (std::uint32_t at : {ContextV21::kPublicKeyInfo, ContextV21::kOwnTag}) {
    Stage1 changed = s;
    changed.context[at] ^= 0x01;
    Guarded other = guarded_copy(plain);
    ASSERT_EQ(encrypt(changed, other), 0);
    EXPECT_NE(other.contents(), reference.contents()) << at;
  }
}

}  // namespace
