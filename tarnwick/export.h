// tarnwick keys export: the face's part (the operation is the core's, core/export_key.h).
#pragma once

#include <string>
#include <vector>

#include "core/report.h"
#include "sbl/layout.h"
#include "tarnwick/command_line.h"

namespace tarnwick {

// Exports the public key of the line's KEYFILE to -o OUT; `set` becomes the key's set once
// it is known.
void export_key(const CommandLine& line, core::Report& report, const sbl::KeySetLayout*& set);

// "OUT: v2.1 public key (SubjectPublicKeyInfo, PEM), 451 bytes, fingerprint 0123456789abcdef"
void export_lines(const core::Report& report, std::vector<std::string>& lines);

}  // namespace tarnwick
