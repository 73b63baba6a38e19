// Seams inside the whole-file helpers, for tests only. Nothing in the program assigns them.
#pragma once

#include <cstdint>

namespace files_seam {

// Every read checks that its input kept its size while it was read. Another process writing
// the file is the only way to break that, and no test can time a writer into the few
// microseconds between the read and the check; a test points this hook at a function that
// changes the file right there.
inline void (*after_read)(const char* path) = nullptr;

// A write into an existing file fails (EIO) once this many of its bytes are written; negative:
// never. Room is reserved before such a write, so neither a size limit nor a full disk can make
// it fail part way, yet a device error still can, and the old file must come back.
inline std::int64_t fail_in_place_write_at = -1;

// Told of each step that makes an output durable or visible: "flush" (a file's data reached
// the disk) and "rename" (a temporary took its target's name), with the file's path.
inline void (*step)(const char* what, const char* path) = nullptr;

}  // namespace files_seam
