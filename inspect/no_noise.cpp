// The inspector makes no keys, signs nothing and so never draws a random number; it links the
// record library only for its checks. The generator in that library still names a noise
// source, which every executable must supply. This one ends the process: reaching it would
// mean the inspector had started to make something, and no silent or guessable noise must
// ever stand in for the real gatherer.
#include <cstdlib>

#include "random/random.h"

void qiv_GetNoise(std::uint8_t* /*target*/, std::uint32_t /*length*/) {
  std::abort();
}
