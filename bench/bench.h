// The benchmark groups, registered by main() before the library parses its flags.
//
// Names are "<operation>/<implementation>/<size>": the report pairs each "ours" row with the
// "openssl" row of the same operation and size, and with the row of the second process that
// runs with OpenSSL's AES and SHA instructions masked off.
#pragma once

#include <benchmark/benchmark.h>

#include <cstddef>
#include <cstdint>

namespace qiv::bench {

void register_hash_cipher();
void register_bignum();
void register_rsa();

inline void set_bytes(benchmark::State& state, std::size_t per_iteration) {
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(per_iteration));
}

}  // namespace qiv::bench
