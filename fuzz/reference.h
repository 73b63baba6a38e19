// The harnesses' independent references are the shared ones (tests/support/reference.h, library
// qiv_test_reference): SHA-1, HMAC-SHA1, AES-CBC, the PSS verifier's rule and the key
// consistency checks, all on OpenSSL and sharing no code with the library under test.
#pragma once

#include "tests/support/reference.h"
