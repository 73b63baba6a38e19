// A PKCS#11 session: module loading, token and key lookup, login, signing, key generation and
// key storage.
#include "token/token.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>
#include <p11-kit/pkcs11.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

#include "crypto/descriptor.h"
#include "crypto/wipe.h"

namespace token {

namespace {

constexpr std::size_t kMaxPin = 256;
using Pin = qiv::SecretArray<char, kMaxPin>;

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

// Token and library fields are fixed-size, blank-padded, not terminated.
std::string field(const unsigned char* bytes, std::size_t size) {
  std::string text(reinterpret_cast<const char*>(bytes), size);
  text.erase(text.find_last_not_of(' ') + 1);
  return text;
}

std::string describe(CK_RV rv) {
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

std::vector<std::uint8_t> exponent_bytes(std::uint32_t e) {
  std::vector<std::uint8_t> out;
  for (int shift = 24; shift >= 0; shift -= 8) {
    const auto byte = static_cast<std::uint8_t>(e >> shift);
    if (!out.empty() || byte != 0) out.push_back(byte);
  }
  return out;
}

// A big-endian number of at most four significant bytes; nullopt when it is larger.
std::optional<std::uint32_t> small_number(std::span<const std::uint8_t> bytes) {
  std::uint32_t value = 0;
  for (const std::uint8_t byte : bytes) {
    if ((value >> 24) != 0) return std::nullopt;
    value = (value << 8) | byte;
  }
  return value;
}

std::span<const std::uint8_t> without_leading_zeros(std::span<const std::uint8_t> bytes) {
  while (!bytes.empty() && bytes.front() == 0) bytes = bytes.subspan(1);
  return bytes;
}

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

// Reads the PIN from the terminal without echo; false when there is no terminal.
bool prompt_pin(const std::string& tokenLabel, Pin& pin) {
  const qiv::Descriptor tty(::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC));
  if (tty.get() < 0) return false;
  termios saved{};
  if (::tcgetattr(tty.get(), &saved) != 0) return false;
  termios quiet = saved;
  quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  const std::string prompt = "PIN for token " + tokenLabel + ": ";
  if (::write(tty.get(), prompt.data(), prompt.size()) < 0) return false;
  ::tcsetattr(tty.get(), TCSAFLUSH, &quiet);
  std::size_t length = 0;
  char c = 0;
  while (length + 1 < pin.size() && ::read(tty.get(), &c, 1) == 1 && c != '\n') pin[length++] = c;
  ::tcsetattr(tty.get(), TCSAFLUSH, &saved);
  static_cast<void>(::write(tty.get(), "\n", 1));
  return true;
}

// pin-source names a file (a path, or a file: URI) whose first line is the PIN.
bool read_pin_file(std::string source, Pin& pin, std::string& error) {
  if (source.rfind("file://", 0) == 0) {
    source.erase(0, 7);
  } else if (source.rfind("file:", 0) == 0) {
    source.erase(0, 5);
  }
  const qiv::Descriptor fd(::open(source.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) {
    error = "the PIN file " + source + " cannot be read: " + std::strerror(errno);
    return false;
  }
  std::size_t length = 0;
  for (;;) {
    const ssize_t got = ::read(fd.get(), pin.data() + length, pin.size() - 1 - length);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    length += static_cast<std::size_t>(got);
    if (length + 1 >= pin.size()) break;
  }
  const char* end = std::find_if(pin.data(), pin.data() + length,
                                 [](char c) { return c == '\n' || c == '\r'; });
  qiv::wipe(const_cast<char*>(end), static_cast<std::size_t>(pin.data() + pin.size() - end));
  return true;
}

}  // namespace

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

namespace {

std::unique_ptr<Token::Module> load_module(const Uri& uri, std::string& error) {
  std::string path;
  if (auto modulePath = uri.query("module-path")) {
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

bool token_matches(const Uri& uri, CK_SLOT_ID slot, const CK_SLOT_INFO& slotInfo,
                   const CK_TOKEN_INFO& info) {
  const std::array<std::pair<std::string_view, std::string>, 6> fields = {{
      {"token", field(info.label, sizeof info.label)},
      {"manufacturer", field(info.manufacturerID, sizeof info.manufacturerID)},
      {"serial", field(info.serialNumber, sizeof info.serialNumber)},
      {"model", field(info.model, sizeof info.model)},
      {"slot-description", field(slotInfo.slotDescription, sizeof slotInfo.slotDescription)},
      {"slot-manufacturer", field(slotInfo.manufacturerID, sizeof slotInfo.manufacturerID)},
  }};
  for (const auto& [name, value] : fields) {
    if (auto wanted = uri.path(name); wanted && *wanted != value) return false;
  }
  if (auto id = uri.path("slot-id"); id && *id != std::to_string(slot)) return false;
  return true;
}

bool library_matches(const Uri& uri, CK_FUNCTION_LIST* f) {
  CK_INFO info{};
  if (f->C_GetInfo(&info) != CKR_OK) return false;
  const auto manufacturer = uri.path("library-manufacturer");
  const auto description = uri.path("library-description");
  return (!manufacturer || *manufacturer == field(info.manufacturerID, sizeof info.manufacturerID)) &&
         (!description || *description == field(info.libraryDescription,
                                                sizeof info.libraryDescription));
}

// The one slot whose token the URI names; error set when none or several match.
std::optional<std::pair<CK_SLOT_ID, CK_TOKEN_INFO>> find_token(const Uri& uri,
                                                               CK_FUNCTION_LIST* f,
                                                               std::string& error) {
  CK_ULONG count = 0;
  std::vector<CK_SLOT_ID> slots;
  if (f->C_GetSlotList(CK_TRUE, nullptr, &count) == CKR_OK) {
    slots.resize(count);
    if (f->C_GetSlotList(CK_TRUE, slots.data(), &count) != CKR_OK) count = 0;
    slots.resize(count);
  }
  std::optional<std::pair<CK_SLOT_ID, CK_TOKEN_INFO>> found;
  for (const CK_SLOT_ID slot : slots) {
    CK_SLOT_INFO slotInfo{};
    CK_TOKEN_INFO info{};
    if (f->C_GetSlotInfo(slot, &slotInfo) != CKR_OK || f->C_GetTokenInfo(slot, &info) != CKR_OK ||
        (info.flags & CKF_TOKEN_INITIALIZED) == 0 || !token_matches(uri, slot, slotInfo, info)) {
      continue;
    }
    if (found) {
      error = "more than one token matches " + uri.shown() + "; name it with token= or serial=";
      return std::nullopt;
    }
    found.emplace(slot, info);
  }
  if (!found) error = "no token matches " + uri.shown();
  return found;
}

}  // namespace

Token::Token(std::unique_ptr<Module> module, const Uri& uri)
    : module_(std::move(module)), uri_(uri) {}

Token::~Token() = default;

std::unique_ptr<Token> Token::open(const Uri& uri, std::string& error) {
  if (auto unknown = uri.unknown_attribute()) {
    error = "the key reference has the unknown attribute " + *unknown;
    return nullptr;
  }
  auto module = load_module(uri, error);
  if (!module) return nullptr;
  CK_FUNCTION_LIST* f = module->f;
  if (!library_matches(uri, f)) {
    error = "the PKCS#11 module is not the library " + uri.shown() + " names";
    return nullptr;
  }
  auto slot = find_token(uri, f, error);
  if (!slot) return nullptr;
  module->slot = slot->first;
  const CK_RV opened = f->C_OpenSession(module->slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr,
                                        nullptr, &module->session);
  if (opened != CKR_OK) {
    error = "no session with the token: " + describe(opened);
    return nullptr;
  }
  const CK_TOKEN_INFO& info = slot->second;
  if ((info.flags & CKF_LOGIN_REQUIRED) != 0) {
    Pin pin;
    if (auto value = uri.query("pin-value")) {
      std::copy_n(value->data(), std::min(value->size(), pin.size() - 1), pin.data());
      qiv::wipe(value->data(), value->size());
    } else if (auto source = uri.query("pin-source")) {
      if (!read_pin_file(*source, pin, error)) return nullptr;
    } else if (!prompt_pin(field(info.label, sizeof info.label), pin)) {
      error = "no PIN: give pin-source or pin-value in the key reference, or run on a terminal";
      return nullptr;
    }
    const CK_RV rv = f->C_Login(module->session, CKU_USER,
                                reinterpret_cast<CK_UTF8CHAR*>(pin.data()),
                                static_cast<CK_ULONG>(std::strlen(pin.data())));
    if (rv != CKR_OK && rv != CKR_USER_ALREADY_LOGGED_IN) {
      error = describe(rv);
      return nullptr;
    }
    module->loggedIn = rv == CKR_OK;
  }
  return std::unique_ptr<Token>(new Token(std::move(module), uri));
}

namespace {

struct Naming {
  std::optional<std::string> label, id;
};

Naming naming_of(const Uri& uri) {
  return {uri.path("object"), uri.path("id")};
}

void add_naming(std::vector<CK_ATTRIBUTE>& templ, Naming& naming) {
  if (naming.label) {
    templ.push_back({CKA_LABEL, naming.label->data(), static_cast<CK_ULONG>(naming.label->size())});
  }
  if (naming.id) {
    templ.push_back({CKA_ID, naming.id->data(), static_cast<CK_ULONG>(naming.id->size())});
  }
}

std::vector<CK_OBJECT_HANDLE> find_objects(CK_FUNCTION_LIST* f, CK_SESSION_HANDLE session,
                                           std::vector<CK_ATTRIBUTE>& templ) {
  std::vector<CK_OBJECT_HANDLE> found;
  if (f->C_FindObjectsInit(session, templ.data(), static_cast<CK_ULONG>(templ.size())) != CKR_OK) {
    return found;
  }
  std::array<CK_OBJECT_HANDLE, 4> batch{};
  CK_ULONG count = 0;
  while (f->C_FindObjects(session, batch.data(), batch.size(), &count) == CKR_OK && count != 0 &&
         found.size() < 16) {
    found.insert(found.end(), batch.begin(), batch.begin() + static_cast<std::ptrdiff_t>(count));
  }
  f->C_FindObjectsFinal(session);
  return found;
}

std::optional<std::vector<std::uint8_t>> attribute(CK_FUNCTION_LIST* f, CK_SESSION_HANDLE session,
                                                  CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type) {
  CK_ATTRIBUTE query{type, nullptr, 0};
  if (f->C_GetAttributeValue(session, object, &query, 1) != CKR_OK ||
      query.ulValueLen == CK_UNAVAILABLE_INFORMATION || query.ulValueLen > 4096) {
    return std::nullopt;
  }
  std::vector<std::uint8_t> value(query.ulValueLen);
  query.pValue = value.data();
  if (f->C_GetAttributeValue(session, object, &query, 1) != CKR_OK) return std::nullopt;
  value.resize(query.ulValueLen);
  return value;
}

std::string key_name(const Naming& naming) {
  if (naming.label) return "labelled " + *naming.label;
  return "with that id";
}

}  // namespace

bool Token::use_key(const KeyShape& shape) {
  CK_FUNCTION_LIST* f = module_->f;
  if (auto type = uri_.path("type"); type && *type != "private") {
    error_ = "the key reference names a " + *type + " object, not a private key";
    return false;
  }
  CK_OBJECT_CLASS keyClass = CKO_PRIVATE_KEY;
  CK_KEY_TYPE keyType = CKK_RSA;
  Naming naming = naming_of(uri_);
  std::vector<CK_ATTRIBUTE> templ = {{CKA_CLASS, &keyClass, sizeof keyClass},
                                     {CKA_KEY_TYPE, &keyType, sizeof keyType}};
  add_naming(templ, naming);
  const auto keys = find_objects(f, module_->session, templ);
  if (keys.size() != 1) {
    error_ = keys.empty() ? "no RSA private key in the token matches " + uri_.shown()
                          : "more than one private key matches " + uri_.shown() +
                                "; name it with object= or id=";
    return false;
  }
  key_ = keys.front();

  auto modulus = attribute(f, module_->session, key_, CKA_MODULUS);
  auto exponent = attribute(f, module_->session, key_, CKA_PUBLIC_EXPONENT);
  if (!exponent) {
    // Some tokens keep the exponent on the public half only.
    CK_OBJECT_CLASS publicClass = CKO_PUBLIC_KEY;
    templ[0].pValue = &publicClass;
    const auto halves = find_objects(f, module_->session, templ);
    if (halves.size() == 1) exponent = attribute(f, module_->session, halves.front(), CKA_PUBLIC_EXPONENT);
  }
  const auto n = modulus ? without_leading_zeros(*modulus) : std::span<const std::uint8_t>();
  const auto e = exponent ? small_number(without_leading_zeros(*exponent)) : std::nullopt;
  if (n.size() * 8 != shape.modulusBits || (n.front() & 0x80) == 0 || !e || *e != shape.exponent) {
    error_ = "the token key is not a " + std::string(shape.setName) + " key (" +
             std::to_string(shape.modulusBits) + " bits, exponent " +
             std::to_string(shape.exponent) + ")";
    return false;
  }
  modulus_.assign(n.begin(), n.end());
  exponent_ = *e;

  // Asked both ways: some modules answer the information call for mechanisms they leave out
  // of the list and then refuse them when signing.
  CK_ULONG count = 0;
  std::vector<CK_MECHANISM_TYPE> offered;
  if (f->C_GetMechanismList(module_->slot, nullptr, &count) == CKR_OK && count <= 4096) {
    offered.resize(count);
    if (f->C_GetMechanismList(module_->slot, offered.data(), &count) != CKR_OK) count = 0;
    offered.resize(count);
  }
  CK_MECHANISM_INFO mechanism{};
  const CK_RV rv = f->C_GetMechanismInfo(module_->slot, CKM_RSA_PKCS_PSS, &mechanism);
  if (std::find(offered.begin(), offered.end(), CKM_RSA_PKCS_PSS) == offered.end() ||
      rv != CKR_OK || (mechanism.flags & CKF_SIGN) == 0) {
    error_ = describe(CKR_MECHANISM_INVALID);
    return false;
  }
  return true;
}

bool Token::sign_digest(std::span<const std::uint8_t> digest, std::span<std::uint8_t> out) {
  CK_FUNCTION_LIST* f = module_->f;
  CK_RSA_PKCS_PSS_PARAMS params{CKM_SHA_1, CKG_MGF1_SHA1, 20};
  CK_MECHANISM mechanism{CKM_RSA_PKCS_PSS, &params, sizeof params};
  CK_RV rv = f->C_SignInit(module_->session, &mechanism, key_);
  std::vector<std::uint8_t> signature(modulus_.size());
  auto length = static_cast<CK_ULONG>(signature.size());
  if (rv == CKR_OK) {
    rv = f->C_Sign(module_->session, const_cast<std::uint8_t*>(digest.data()),
                   static_cast<CK_ULONG>(digest.size()), signature.data(), &length);
  }
  if (rv != CKR_OK || length > signature.size() || out.size() != signature.size()) {
    error_ = rv != CKR_OK ? describe(rv) : "the token's signature has the wrong length";
    return false;
  }
  // A shorter answer is the same number without its leading zero bytes.
  std::fill(out.begin(), out.end(), std::uint8_t{0});
  std::copy_n(signature.begin(), length, out.end() - static_cast<std::ptrdiff_t>(length));
  return true;
}

namespace {

// Refuses a key-making request whose label or id is missing or taken.
bool name_is_free(CK_FUNCTION_LIST* f, CK_SESSION_HANDLE session, Naming& naming,
                  std::string& error) {
  if (!naming.label && !naming.id) {
    error = "the key reference names no key: give it object= or id=";
    return false;
  }
  for (const bool byLabel : {true, false}) {
    Naming one{byLabel ? naming.label : std::nullopt, byLabel ? std::nullopt : naming.id};
    if (!one.label && !one.id) continue;
    std::vector<CK_ATTRIBUTE> templ;
    add_naming(templ, one);
    if (!find_objects(f, session, templ).empty()) {
      error = "the token holds an object " + key_name(one) + " already";
      return false;
    }
  }
  return true;
}

}  // namespace

bool Token::generate_key(const KeyShape& shape) {
  CK_FUNCTION_LIST* f = module_->f;
  Naming naming = naming_of(uri_);
  if (!name_is_free(f, module_->session, naming, error_)) return false;
  CK_BBOOL yes = CK_TRUE;
  CK_BBOOL no = CK_FALSE;
  CK_ULONG bits = shape.modulusBits;
  std::vector<std::uint8_t> e = exponent_bytes(shape.exponent);
  std::vector<CK_ATTRIBUTE> publicTemplate = {
      {CKA_TOKEN, &yes, sizeof yes},     {CKA_PRIVATE, &no, sizeof no},
      {CKA_VERIFY, &yes, sizeof yes},    {CKA_ENCRYPT, &no, sizeof no},
      {CKA_WRAP, &no, sizeof no},        {CKA_MODULUS_BITS, &bits, sizeof bits},
      {CKA_PUBLIC_EXPONENT, e.data(), static_cast<CK_ULONG>(e.size())}};
  std::vector<CK_ATTRIBUTE> privateTemplate = {
      {CKA_TOKEN, &yes, sizeof yes},      {CKA_PRIVATE, &yes, sizeof yes},
      {CKA_SENSITIVE, &yes, sizeof yes},  {CKA_EXTRACTABLE, &no, sizeof no},
      {CKA_SIGN, &yes, sizeof yes},       {CKA_DECRYPT, &no, sizeof no},
      {CKA_UNWRAP, &no, sizeof no}};
  add_naming(publicTemplate, naming);
  add_naming(privateTemplate, naming);
  CK_MECHANISM mechanism{CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0};
  CK_OBJECT_HANDLE publicKey = CK_INVALID_HANDLE;
  CK_OBJECT_HANDLE privateKey = CK_INVALID_HANDLE;
  const CK_RV rv = f->C_GenerateKeyPair(
      module_->session, &mechanism, publicTemplate.data(),
      static_cast<CK_ULONG>(publicTemplate.size()), privateTemplate.data(),
      static_cast<CK_ULONG>(privateTemplate.size()), &publicKey, &privateKey);
  if (rv != CKR_OK) {
    error_ = rv == CKR_MECHANISM_INVALID ? "the token does not generate RSA key pairs"
                                         : "the token did not generate the key pair: " + describe(rv);
    return false;
  }
  created_ = {publicKey, privateKey};
  return use_key(shape);
}

bool Token::store_key(const KeyShape& shape, const RsaKeyParts& key) {
  CK_FUNCTION_LIST* f = module_->f;
  Naming naming = naming_of(uri_);
  if (!name_is_free(f, module_->session, naming, error_)) return false;
  CK_BBOOL yes = CK_TRUE;
  CK_BBOOL no = CK_FALSE;
  CK_KEY_TYPE rsa = CKK_RSA;
  CK_OBJECT_CLASS privateClass = CKO_PRIVATE_KEY;
  CK_OBJECT_CLASS publicClass = CKO_PUBLIC_KEY;
  const auto part = [](CK_ATTRIBUTE_TYPE type, std::span<const std::uint8_t> bytes) {
    return CK_ATTRIBUTE{type, const_cast<std::uint8_t*>(bytes.data()),
                        static_cast<CK_ULONG>(bytes.size())};
  };
  std::vector<CK_ATTRIBUTE> privateTemplate = {
      {CKA_CLASS, &privateClass, sizeof privateClass}, {CKA_KEY_TYPE, &rsa, sizeof rsa},
      {CKA_TOKEN, &yes, sizeof yes},      {CKA_PRIVATE, &yes, sizeof yes},
      {CKA_SENSITIVE, &yes, sizeof yes},  {CKA_EXTRACTABLE, &no, sizeof no},
      {CKA_SIGN, &yes, sizeof yes},       {CKA_DECRYPT, &no, sizeof no},
      {CKA_UNWRAP, &no, sizeof no},       part(CKA_MODULUS, key.n),
      part(CKA_PUBLIC_EXPONENT, key.e),   part(CKA_PRIVATE_EXPONENT, key.d),
      part(CKA_PRIME_1, key.p),           part(CKA_PRIME_2, key.q),
      part(CKA_EXPONENT_1, key.dP),       part(CKA_EXPONENT_2, key.dQ),
      part(CKA_COEFFICIENT, key.qInv)};
  std::vector<CK_ATTRIBUTE> publicTemplate = {
      {CKA_CLASS, &publicClass, sizeof publicClass}, {CKA_KEY_TYPE, &rsa, sizeof rsa},
      {CKA_TOKEN, &yes, sizeof yes},  {CKA_PRIVATE, &no, sizeof no},
      {CKA_VERIFY, &yes, sizeof yes}, {CKA_ENCRYPT, &no, sizeof no},
      {CKA_WRAP, &no, sizeof no},     part(CKA_MODULUS, key.n),
      part(CKA_PUBLIC_EXPONENT, key.e)};
  add_naming(privateTemplate, naming);
  add_naming(publicTemplate, naming);
  CK_OBJECT_HANDLE object = CK_INVALID_HANDLE;
  CK_RV rv = f->C_CreateObject(module_->session, privateTemplate.data(),
                               static_cast<CK_ULONG>(privateTemplate.size()), &object);
  if (rv == CKR_OK) {
    created_.push_back(object);
    rv = f->C_CreateObject(module_->session, publicTemplate.data(),
                           static_cast<CK_ULONG>(publicTemplate.size()), &object);
    if (rv == CKR_OK) created_.push_back(object);
  }
  if (rv != CKR_OK) {
    error_ = "the token did not store the key: " + describe(rv);
    destroy_created();
    return false;
  }
  return use_key(shape);
}

void Token::destroy_created() {
  for (const CK_OBJECT_HANDLE object : created_) module_->f->C_DestroyObject(module_->session, object);
  created_.clear();
}

std::optional<Token::KeyAttributes> Token::key_attributes() {
  const auto flag = [this](CK_ATTRIBUTE_TYPE type) {
    const auto value = attribute(module_->f, module_->session, key_, type);
    return value && value->size() == 1 && value->front() == CK_TRUE;
  };
  if (key_ == 0) return std::nullopt;
  return KeyAttributes{flag(CKA_SENSITIVE),        flag(CKA_EXTRACTABLE), flag(CKA_ALWAYS_SENSITIVE),
                       flag(CKA_NEVER_EXTRACTABLE), flag(CKA_SIGN),        flag(CKA_DECRYPT)};
}

}  // namespace token
