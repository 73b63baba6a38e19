// tarnwick's commands for signatures made elsewhere: sign --external, secure --external and
// attach, over the core's operations (core/external.h). The face settles the set first.
#pragma once

#include <vector>

#include "core/commands.h"
#include "core/report.h"
#include "inspect/inspect.h"
#include "sbl/layout.h"
#include "tarnwick/command_line.h"

namespace tarnwick {

// sign BL2 --key KEY.spk --external: the set is the public key file's.
void sign_external(core::Report& report, const CommandLine& line, const sbl::KeySetLayout& set);

// secure BL1 --external: the job securing would run (its maker private key is never opened).
void secure_external(core::Report& report, const CommandLine& line, const core::SecureJob& job);

// attach IMAGE --signature SIG: `set` as settled from --key, --efuse or --set (null: the
// signature's length names it), and on return the set used; `checks` the checks passed.
void attach(core::Report& report, const CommandLine& line, const sbl::KeySetLayout*& set,
            std::vector<inspect::Check>& checks);

}  // namespace tarnwick
