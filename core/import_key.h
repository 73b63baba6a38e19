// The checks on a private key made elsewhere before the tool chain takes it as a set's key.
#pragma once

#include <optional>
#include <string>

#include "rsa/rsa.h"
#include "sbl/layout.h"

namespace core {

// Checks that `key` (as read, minimal digit counts) is the set's and consistent, and completes
// it in the layout our key generation makes: n and d of k = bits/32 digits, p, q, dP, dQ and
// qInv of k/2 with p > q, qInv = q^-1 mod p recomputed. The cause of a refusal, else nullopt.
// The checks: n of exactly the set's bits; e the set's; p and q of half the bits each and
// different; n = p*q; e*d = 1 modulo p-1 and modulo q-1 (that is, modulo lcm(p-1, q-1));
// dP = d mod (p-1), dQ = d mod (q-1).
[[nodiscard]] std::optional<std::string> check_imported_key(QIV_RSA_PRIVATE_KEY& key,
                                                            const sbl::KeySetLayout& set);

// Signs a fixed digest with the key in the set's form and verifies the signature with its public
// part; false when it does not verify.
[[nodiscard]] bool signs_and_verifies(const QIV_RSA_PRIVATE_KEY& key, const sbl::KeySetLayout& set);

}  // namespace core
