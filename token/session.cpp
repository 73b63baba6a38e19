// The session: the one token the URI names found among the module's slots, a session opened on
// it and the user logged in. Closing (Module's destructor) undoes each step in reverse.
#include <p11-kit/pkcs11.h>

#include <array>
#include <cstring>
#include <span>

#include "token/module.h"
#include "token/pin.h"
#include "token/token.h"

namespace token {

using detail::describe;
using detail::field;

namespace {

// No machine has more token slots; a module that reports more is at fault.
constexpr CK_ULONG kMaxSlots = 1024;

using Fields = std::span<const std::pair<std::string_view, std::string>>;

// True when every one of fields that the URI's path names has the value it gives.
bool fields_match(const Uri& uri, Fields fields) {
  for (const auto& [name, value] : fields) {
    if (auto wanted = uri.path(name); wanted && *wanted != value) return false;
  }
  return true;
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
  if (auto id = uri.path("slot-id"); id && *id != std::to_string(slot)) return false;
  return fields_match(uri, fields);
}

bool library_matches(const Uri& uri, CK_FUNCTION_LIST* f) {
  CK_INFO info{};
  if (f->C_GetInfo(&info) != CKR_OK) return false;
  const std::array<std::pair<std::string_view, std::string>, 2> fields = {{
      {"library-manufacturer", field(info.manufacturerID, sizeof info.manufacturerID)},
      {"library-description", field(info.libraryDescription, sizeof info.libraryDescription)},
  }};
  return fields_match(uri, fields);
}

// The one slot whose token the URI names; error set when none or several match.
std::optional<std::pair<CK_SLOT_ID, CK_TOKEN_INFO>> find_token(const Uri& uri,
                                                               CK_FUNCTION_LIST* f,
                                                               std::string& error) {
  CK_ULONG count = 0;
  CK_RV rv = f->C_GetSlotList(CK_TRUE, nullptr, &count);
  if (rv == CKR_OK && count > kMaxSlots) {
    error = "the PKCS#11 module reports " + std::to_string(count) + " slots";
    return std::nullopt;
  }
  std::vector<CK_SLOT_ID> slots(rv == CKR_OK ? count : 0);
  if (rv == CKR_OK) rv = f->C_GetSlotList(CK_TRUE, slots.data(), &count);
  if (rv != CKR_OK || count > slots.size()) {
    error = rv != CKR_OK ? "the token's slots cannot be listed: " + describe(rv)
                         : "the PKCS#11 module reports " + std::to_string(count) + " slots";
    return std::nullopt;
  }
  slots.resize(count);
  std::optional<std::pair<CK_SLOT_ID, CK_TOKEN_INFO>> found;
  for (const CK_SLOT_ID slot : slots) {
    CK_SLOT_INFO slotInfo{};
    CK_TOKEN_INFO info{};
    if (f->C_GetSlotInfo(slot, &slotInfo) != CKR_OK || f->C_GetTokenInfo(slot, &info) != CKR_OK ||
        (info.flags & CKF_TOKEN_INITIALIZED) == 0 || !token_matches(uri, slot, slotInfo, info)) {
      continue;
    }
    if (found) {
      // Tokens may share a label (the same set-up run twice); only the serial tells them apart.
      error = "more than one token matches " + uri.shown() +
              (uri.path("token") ? "; name it with serial=" : "; name it with token= or serial=");
      return std::nullopt;
    }
    found.emplace(slot, info);
  }
  if (!found) error = "no token matches " + uri.shown();
  return found;
}

// Logs the session in when the token asks for it, with the URI's PIN or one typed.
bool log_in(const Uri& uri, const CK_TOKEN_INFO& info, Token::Module& module, std::string& error) {
  if ((info.flags & CKF_LOGIN_REQUIRED) == 0) return true;
  detail::Pin pin;
  if (!detail::pin_for(uri, field(info.label, sizeof info.label), pin, error)) return false;
  const CK_RV rv = module.f->C_Login(module.session, CKU_USER,
                                     reinterpret_cast<CK_UTF8CHAR*>(pin.data()),
                                     static_cast<CK_ULONG>(std::strlen(pin.data())));
  if (rv != CKR_OK && rv != CKR_USER_ALREADY_LOGGED_IN) {
    error = describe(rv);
    return false;
  }
  // A log-in this program did not make (the module's sessions share one) is not its to end.
  module.loggedIn = rv == CKR_OK;
  return true;
}

}  // namespace

Token::Token(std::unique_ptr<Module> module, const Uri& uri, std::string serial)
    : module_(std::move(module)), uri_(uri), serial_(std::move(serial)) {}

Token::~Token() = default;

std::unique_ptr<Token> Token::open(const Uri& uri, std::string& error) {
  if (auto unknown = uri.unknown_attribute()) {
    error = "the key reference has the unknown attribute " + *unknown;
    return nullptr;
  }
  auto module = detail::load_module(uri, error);
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
  if (!log_in(uri, info, *module, error)) return nullptr;
  return std::unique_ptr<Token>(
      new Token(std::move(module), uri, field(info.serialNumber, sizeof info.serialNumber)));
}

}  // namespace token
