// Stamping the build-information block (its layout: format/format.h).
#pragma once

#include <cstdint>

#include "format/format.h"

// Overwrites the 48 bytes at `block` with a block stamped with `creationTime`, the time of
// creation the command took once for its whole run (core::build_time: SOURCE_DATE_EPOCH when
// set, else the clock).
void mk_BL_Info(std::uint8_t* block, std::uint32_t creationTime);
