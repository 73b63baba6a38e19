// A seam inside the whole-file helpers, for tests only.
//
// Every read checks that its input kept its size while it was read. Another process writing
// the file is the only way to break that, and no test can time a writer into the few
// microseconds between the read and the check; a test points this hook at a function that
// changes the file right there. Nothing in the program assigns it.
#pragma once

namespace files_seam {

inline void (*after_read)(const char* path) = nullptr;

}  // namespace files_seam
