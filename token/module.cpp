// Module loading. A module is a library the program runs inside itself, so which file that is
// must never be left to guessing: module-path is an absolute path to a regular file (the loader
// would search its path for a bare name, and wait on a named pipe).
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "crypto/descriptor.h"
#include "token/module.h"

namespace token {

namespace {

// Where a module named by module-name is looked for, and the module used when the URI names none.
#ifndef QIV_LIBRARY_ARCHITECTURE
#define QIV_LIBRARY_ARCHITECTURE ""
#endif
constexpr std::array<std::string_view, 3> kModuleFolders = {
    "/usr/lib/" QIV_LIBRARY_ARCHITECTURE "/pkcs11/", "/usr/lib64/pkcs11/", "/usr/lib/pkcs11/"};
// p11-kit's registry: "<name>.module" files whose "module:" line gives the library, a path or a
// file name in the first module folder.
constexpr std::array<std::string_view, 2> kRegistryFolders = {"/etc/pkcs11/modules/",
                                                              "/usr/share/p11-kit/modules/"};
constexpr std::size_t kMaxRegistryFile = 16384;
constexpr const char* kProxyModule = "p11-kit-proxy.so";

// The library a registered module's file names; empty when there is none.
std::string registered_module(const std::string& name) {
  for (const std::string_view folder : kRegistryFolders) {
    const qiv::Descriptor fd(::open((std::string(folder) + name + ".module").c_str(),
                                    O_RDONLY | O_CLOEXEC));
    if (fd.get() < 0) continue;
    std::string text(kMaxRegistryFile, '\0');
    const ssize_t got = ::read(fd.get(), text.data(), text.size());
    text.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
    std::size_t at = 0;
    while (at < text.size()) {
      const std::size_t end = std::min(text.find('\n', at), text.size());
      std::string line = text.substr(at, end - at);
      at = end + 1;
      if (line.rfind("module:", 0) != 0) continue;
      line.erase(0, line.find_first_not_of(" \t", 7));
      line.erase(line.find_last_not_of(" \t\r") + 1);
      if (line.empty()) continue;
      return line.front() == '/' ? line : std::string(kModuleFolders.front()) + line;
    }
  }
  return {};
}

}  // namespace

// Token and library fields are fixed-size, blank-padded, not terminated.
std::string detail::field(const unsigned char* bytes, std::size_t size) {
  std::string text(reinterpret_cast<const char*>(bytes), size);
  text.erase(text.find_last_not_of(' ') + 1);
  return text;
}

std::string detail::describe(CK_RV rv) {
  switch (rv) {
    case CKR_PIN_INCORRECT:
      return "the token refused the PIN";
    case CKR_PIN_LOCKED:
      return "the token's PIN is locked";
    case CKR_PIN_EXPIRED:
      return "the token's PIN has expired";
    case CKR_MECHANISM_INVALID:
    case CKR_MECHANISM_PARAM_INVALID:
      return "the token does not offer RSASSA-PSS signing with SHA-1";
    case CKR_DEVICE_REMOVED:
    case CKR_TOKEN_NOT_PRESENT:
      return "the token was removed";
    default: {
      std::array<char, 32> code{};
      std::snprintf(code.data(), code.size(), "0x%08lx", static_cast<unsigned long>(rv));
      return std::string("the token failed with PKCS#11 code ") + code.data();
    }
  }
}

std::unique_ptr<Token::Module> detail::load_module(const Uri& uri, std::string& error) {
  std::string path;
  if (auto modulePath = uri.query("module-path")) {
    // The loader would look a relative name up in its search path or the current folder, and
    // would wait on a named pipe: only an absolute path to a regular file names one library.
    struct stat info {};
    if (modulePath->empty() || modulePath->front() != '/') {
      error = "the module-path " + *modulePath + " is not an absolute path";
      return nullptr;
    }
    // (A path that names nothing is left to the loader, whose message says so.)
    if (::stat(modulePath->c_str(), &info) == 0 && !S_ISREG(info.st_mode)) {
      error = "the module-path " + *modulePath + " is not a regular file";
      return nullptr;
    }
    path = *modulePath;
  } else if (auto name = uri.query("module-name")) {
    if (name->find('/') != std::string::npos) {
      error = "the module-name " + *name + " is not a name";
      return nullptr;
    }
    path = registered_module(*name);
    for (const std::string_view folder : kModuleFolders) {
      if (!path.empty()) break;
      const std::string candidate = std::string(folder) + *name + ".so";
      if (::access(candidate.c_str(), R_OK) == 0) path = candidate;
    }
    if (path.empty()) {
      error = "no PKCS#11 module named " + *name + " is installed";
      return nullptr;
    }
  } else {
    path = kProxyModule;
  }
  auto module = std::make_unique<Token::Module>();
  module->handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (module->handle == nullptr) {
    error = path == kProxyModule
                ? std::string("no PKCS#11 module: give module-path in the key reference, or "
                              "install p11-kit's proxy module")
                : "the PKCS#11 module " + path + " cannot be loaded: " + ::dlerror();
    return nullptr;
  }
  CK_C_GetFunctionList getList = nullptr;
  void* symbol = ::dlsym(module->handle, "C_GetFunctionList");
  std::memcpy(&getList, &symbol, sizeof getList);
  if (getList == nullptr || getList(&module->f) != CKR_OK || module->f == nullptr) {
    error = "the library " + path + " is not a PKCS#11 module";
    return nullptr;
  }
  const CK_RV rv = module->f->C_Initialize(nullptr);
  if (rv != CKR_OK && rv != CKR_CRYPTOKI_ALREADY_INITIALIZED) {
    error = "the PKCS#11 module " + path + " does not start: " + describe(rv);
    return nullptr;
  }
  module->initialised = rv == CKR_OK;
  return module;
}

}  // namespace token
