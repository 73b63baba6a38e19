// The PKCS#11 module a URI names (internal to this layer): found by path, by registered name or
// as p11-kit's proxy, loaded, and initialised; and the plain sentences its result codes mean.
#pragma once

#include <dlfcn.h>
#include <p11-kit/pkcs11.h>

#include <cstddef>
#include <memory>
#include <string>

#include "token/token.h"

namespace token {

// The loaded module: its handle and function table, initialised, with one session open.
struct Token::Module {
  void* handle = nullptr;
  CK_FUNCTION_LIST* f = nullptr;
  bool initialised = false;
  CK_SLOT_ID slot = 0;
  CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
  bool loggedIn = false;

  ~Module() {
    if (loggedIn) f->C_Logout(session);
    if (session != CK_INVALID_HANDLE) f->C_CloseSession(session);
    if (initialised) f->C_Finalize(nullptr);
    if (handle != nullptr) ::dlclose(handle);
  }
};

namespace detail {

// Loads and initialises the module the URI's query names; nullptr, with error set, otherwise.
[[nodiscard]] std::unique_ptr<Token::Module> load_module(const Uri& uri, std::string& error);

// The cause a result code stands for, as a sentence fragment.
[[nodiscard]] std::string describe(CK_RV rv);

// A fixed-size, blank-padded token or library field as text.
[[nodiscard]] std::string field(const unsigned char* bytes, std::size_t size);

}  // namespace detail

}  // namespace token
