// Every NIST AES-CBC known-answer file, 128/192/256-bit keys, through the streaming layer: the
// ENCRYPT blocks by encryption, the DECRYPT blocks by in-place decryption, on the portable code
// and on the AES instructions.
#include <gtest/gtest.h>

#include "crypto/crypto.h"
#include "tests/crypto/cbc_driver.h"
#include "tests/crypto/crypto_path.h"
#include "tests/crypto/vector_file.h"

namespace {

using namespace qiv::test;

struct CbcFile {
  const char* name;
  std::size_t records;  // ENCRYPT plus DECRYPT blocks
};

class NistCbcFile : public AesPath<std::tuple<CbcFile, CryptoPath>> {
 protected:
  static const CbcFile& file() { return std::get<0>(GetParam()); }
};

TEST_P(NistCbcFile, EveryVectorBothDirections) {
  const auto records = read_vector_file(vector_path(std::string("ciphers/AES/CBC/") + file().name));
  std::size_t checked = 0;
  for (const auto& r : records) {
    if (!r.has("KEY")) continue;
    QIV_AES_CTX ctx = cbc_context(r.hex("KEY"), r.hex("IV"), QIV_PAD_NONE);
    const Bytes plain = r.hex("PLAINTEXT"), cipher = r.hex("CIPHERTEXT");
    const std::string where = r.section + " COUNT " + r.text("COUNT");
    if (r.section == "ENCRYPT") {
      const CbcResult got = cbc_encrypt(ctx, plain);
      ASSERT_EQ(got.rc, QIV_SUCCESS) << where;
      ASSERT_EQ(got.data, cipher) << where;
    } else {
      ASSERT_EQ(r.section, "DECRYPT");
      const CbcResult got = cbc_decrypt(ctx, cipher);
      ASSERT_EQ(got.rc, QIV_SUCCESS) << where;
      ASSERT_EQ(got.data, plain) << where;
    }
    ++checked;
  }
  EXPECT_EQ(checked, file().records);
}

// Record counts are those of the files; a short read fails the test.
INSTANTIATE_TEST_SUITE_P(
    AllFiles, NistCbcFile,
    ::testing::Combine(
        ::testing::Values(CbcFile{"CBCGFSbox128.rsp", 14}, CbcFile{"CBCGFSbox192.rsp", 12},
                          CbcFile{"CBCGFSbox256.rsp", 10}, CbcFile{"CBCKeySbox128.rsp", 42},
                          CbcFile{"CBCKeySbox192.rsp", 48}, CbcFile{"CBCKeySbox256.rsp", 32},
                          CbcFile{"CBCVarKey128.rsp", 256}, CbcFile{"CBCVarKey192.rsp", 384},
                          CbcFile{"CBCVarKey256.rsp", 512}, CbcFile{"CBCVarTxt128.rsp", 256},
                          CbcFile{"CBCVarTxt192.rsp", 256}, CbcFile{"CBCVarTxt256.rsp", 256},
                          CbcFile{"CBCMMT128.rsp", 20}, CbcFile{"CBCMMT192.rsp", 20},
                          CbcFile{"CBCMMT256.rsp", 20}),
        kBothPaths),
    [](const auto& param_info) {
      const std::string name = std::get<0>(param_info.param).name;
      return name.substr(0, name.find('.')) + path_name(std::get<1>(param_info.param));
    });

}  // namespace
