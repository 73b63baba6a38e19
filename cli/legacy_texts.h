// Tarnwick_V21's words for what the command core reports: each event has its one fixed line,
// printed as the event happens. These lines are a contract that scripts and peers rely on.
#pragma once

#include <string>

#include "core/report.h"

// The line for a note ("" for an event the program has no line for).
[[nodiscard]] std::string legacy_line(const core::Note& note);

// A report whose every note is printed to standard output at once.
[[nodiscard]] core::Report printing_report();
