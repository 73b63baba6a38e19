// Comparing secrets inside the record library. (Secrets themselves live in qiv::Wiped<> locals,
// crypto/wipe.h, zeroed on every path out of their scope.)
#pragma once

#include <cstdint>

namespace sbl {

// True when the n bytes are equal. Examines every byte whatever it finds, so the time taken
// does not tell how many leading bytes of a tag were right.
[[nodiscard]] bool equal_in_constant_time(const std::uint8_t* a, const std::uint8_t* b,
                                          std::uint32_t n);

}  // namespace sbl
