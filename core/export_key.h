// Exporting a key's public part in the standard forms other tools read: X.509
// SubjectPublicKeyInfo or PKCS#1 RSAPublicKey, PEM or DER.
#pragma once

#include <cstdint>

#include "core/files.h"
#include "core/report.h"

namespace core {

// The key file is any key file of either set, told by its size: a v2.1 signed public key file
// (548 bytes), a v1.1 public key record (308) or maker public key file (280), a private key
// file (v2.1: 1200; v1.1: the 640-byte record or the 608-byte maker file, unprotected, its
// numbers taken and the rest wiped), or a key reference (the token key's set). The key must be
// its set's (v2.1: 2048 bits, exponent 3; v1.1: 1024 bits, 65537). The output is never the key
// file. Refusals: the key file's (kKey, kInput, kToken), the output's (kOutput). The key is
// reported with role "exported" and its fingerprint; the file with what it holds.
struct ExportJob {
  const char* keyFile = nullptr;
  const char* output = nullptr;
  bool der = false;    // else PEM
  bool pkcs1 = false;  // RSAPublicKey, else SubjectPublicKeyInfo
  Existing existing = Existing::kRefuse;
};
[[nodiscard]] std::int32_t export_public_key(Report& report, const ExportJob& job);

}  // namespace core
