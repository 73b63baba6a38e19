// Signatures made elsewhere: a signer this process cannot reach (an offline machine, a signing
// service) gets the 20-byte SHA-1 digest a signature must cover, and its signature comes back
// to be placed where the device looks for it.
//
// The digest is exactly the one the device check computes: SHA-1 over a BL2 as it is, and for a
// BL1 SHA-1(image || next-stage key), where the image is the code (encrypted in the v2.1 set)
// and any build-information block, and the next-stage key lies in the context. Preparing a BL1
// builds the whole context as securing does, but for the signature field, so attaching changes
// nothing but that field.
//
// The signature comes back as RSASSA-PSS (SHA-1, MGF1-SHA-1, 20-byte salt) in the big-endian
// octet string of PKCS #1, as standard tools write it, exactly one modulus long; the records
// store it least significant byte first. It is written into the image only once it verifies.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "core/commands.h"
#include "core/files.h"
#include "core/report.h"
#include "sbl/layout.h"

namespace core {

// Where the digest goes: 20 bytes, or with hex 40 lower-case hex digits and a line feed.
struct DigestOut {
  const char* path = nullptr;
  bool hex = false;
};

// A BL2 to be signed elsewhere: the image is written unchanged to `output`, the digest to
// `digest`, both or neither. The public key file names the set and the key that must sign.
struct PrepareBl2Job {
  const sbl::KeySetLayout* set = nullptr;
  const char* image = nullptr;
  const char* output = nullptr;
  const char* publicKey = nullptr;
  DigestOut digest;
  Existing existing = Existing::kReplace;
  std::span<const char* const> keyFiles;
};
[[nodiscard]] std::int32_t prepare_bl2(Report& report, const PrepareBl2Job& job);

// A BL1 to be signed elsewhere, from the maker's public record and eFuse value: the job of
// securing, except that job.makerPrivateKey is never opened (it need not exist). The record
// must validate with the eFuse value (a context signed over another record verifies on no
// device); the next-stage key must pass its self-signature.
[[nodiscard]] std::int32_t prepare_bl1(Report& report, const SecureJob& job, DigestOut digest);

// Attaching a signature to a prepared image. A BL2 is checked with publicKey; a BL1 with the
// maker key in its context's record, and with eFuse by the whole device check as well.
struct AttachJob {
  const sbl::KeySetLayout* set = nullptr;  // null: the signature's length names the set
  const char* image = nullptr;
  const char* signature = nullptr;
  const char* output = nullptr;
  const char* publicKey = nullptr;  // a BL2's key; null for a BL1
  const char* eFuse = nullptr;      // a BL1's device check; may be null
  Existing existing = Existing::kReplace;
  std::span<const char* const> keyFiles;
};
// The checks the signed image passed, in the order they ran.
struct AttachedCheck {
  std::string name;
  std::string detail;
};
struct Attached {
  const sbl::KeySetLayout* set = nullptr;
  std::vector<AttachedCheck> checks;
};
[[nodiscard]] std::int32_t attach_signature(Report& report, const AttachJob& job, Attached& out);

}  // namespace core
