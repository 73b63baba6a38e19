// Stamping the build-information block (its layout: format/format.h) with the current time.
#pragma once

#include <cstdint>

#include "format/format.h"

// Overwrites the 48 bytes at `block` with a block stamped with the current time.
void mk_BL_Info(std::uint8_t* block);
