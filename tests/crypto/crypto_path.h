// Runs the same test on both implementations of SHA-1 and AES: the portable table-driven code
// and the CPU's SHA / AES instructions. The public functions are called either way; the fixture
// only pins which path they take, and skips the instruction rows on a CPU (or a
// QIV_PORTABLE_CRYPTO build) without them.
#pragma once

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <tuple>
#include <type_traits>

#include "crypto/cpu.h"

namespace qiv::test {

enum class CryptoPath { kPortable, kInstructions };

inline const auto kBothPaths = ::testing::Values(CryptoPath::kPortable, CryptoPath::kInstructions);

inline std::string path_name(CryptoPath path) {
  return path == CryptoPath::kPortable ? "Portable" : "Instructions";
}

inline std::string path_param_name(const ::testing::TestParamInfo<CryptoPath>& info) {
  return path_name(info.param);
}

inline void PrintTo(CryptoPath path, std::ostream* os) { *os << path_name(path); }

// `Available` tells whether this build and CPU have the instructions, `InUse` whether the
// public functions take them now; Param is the path itself or a tuple ending with the path.
template <bool (*Available)(), bool (*InUse)(), typename Param = CryptoPath>
class OnPath : public ::testing::TestWithParam<Param> {
 protected:
  static CryptoPath path() {
    if constexpr (std::is_same_v<Param, CryptoPath>) {
      return OnPath::GetParam();
    } else {
      return std::get<std::tuple_size_v<Param> - 1>(OnPath::GetParam());
    }
  }
  void SetUp() override {
    if (path() == CryptoPath::kInstructions && !Available()) {
      GTEST_SKIP() << "this CPU or build has no such instructions";
    }
    crypto_detail::force_portable(path() == CryptoPath::kPortable);
    ASSERT_EQ(InUse(), path() == CryptoPath::kInstructions);
  }
  void TearDown() override { crypto_detail::force_portable(false); }
};

template <typename Param = CryptoPath>
using Sha1Path =
    OnPath<&crypto_detail::cpu_has_sha1_instructions, &crypto_detail::use_sha1_instructions, Param>;
template <typename Param = CryptoPath>
using AesPath =
    OnPath<&crypto_detail::cpu_has_aes_instructions, &crypto_detail::use_aes_instructions, Param>;

}  // namespace qiv::test
