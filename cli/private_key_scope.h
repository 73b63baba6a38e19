// Private key material sits in the shared working buffers only while a command uses it.
#pragma once

#include "cli/working_buffers.h"
#include "crypto/wipe.h"

// Wipes the buffers that hold private keys (privateKey with privateKeyLen, sb10_privkey_file)
// when the command that created it returns, on every path. Process exit wipes them as well
// (working_buffers.h); this keeps a key from outliving the command that needed it.
class PrivateKeyScope {
 public:
  PrivateKeyScope() = default;
  PrivateKeyScope(const PrivateKeyScope&) = delete;
  PrivateKeyScope& operator=(const PrivateKeyScope&) = delete;
  ~PrivateKeyScope() {
    qiv::wipe(privateKey.data(), privateKey.size());
    qiv::wipe(&privateKeyLen, sizeof privateKeyLen);
    qiv::wipe(sb10_privkey_file.data(), sb10_privkey_file.size());
  }
};
