// keys import: the passphrase of an encrypted key file (from --passphrase-file, else typed
// without echo) and the call of the core's import.
#pragma once

#include <cstdint>

#include "core/commands.h"
#include "core/report.h"
#include "tarnwick/command_line.h"

namespace tarnwick {

// Imports line.importKey as the key of `pair` (its file names and token already settled).
std::int32_t import_key(core::Report& report, const CommandLine& line, const core::KeyPairJob& pair);

}  // namespace tarnwick
