// A PKCS#11 session: token and key lookup, login, signing, key generation and key storage.
#include "token/token.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <p11-kit/pkcs11.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "crypto/descriptor.h"
#include "crypto/wipe.h"
#include "token/module.h"
#include "token/pin.h"

namespace token {

using detail::describe;
using detail::field;
using detail::load_module;

namespace {

// What a module may report before the answer is taken for a fault: no machine has more token
// slots, no token more signing mechanisms, and a key set's search never needs more objects.
constexpr CK_ULONG kMaxSlots = 1024;
constexpr CK_ULONG kMaxMechanisms = 4096;
constexpr std::size_t kMaxFound = 16;
constexpr CK_ULONG kMaxAttribute = 4096;
// Bytes of a key's CKA_ID when the URI names none.
constexpr std::size_t kIdSize = 16;

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

}  // namespace

Token::Token(std::unique_ptr<Module> module, const Uri& uri, std::string serial)
    : module_(std::move(module)), uri_(uri), serial_(std::move(serial)) {}

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
    detail::Pin pin;
    if (!detail::pin_for(uri, field(info.label, sizeof info.label), pin, error)) return nullptr;
    const CK_RV rv = f->C_Login(module->session, CKU_USER,
                                reinterpret_cast<CK_UTF8CHAR*>(pin.data()),
                                static_cast<CK_ULONG>(std::strlen(pin.data())));
    if (rv != CKR_OK && rv != CKR_USER_ALREADY_LOGGED_IN) {
      error = describe(rv);
      return nullptr;
    }
    module->loggedIn = rv == CKR_OK;
  }
  return std::unique_ptr<Token>(
      new Token(std::move(module), uri, field(info.serialNumber, sizeof info.serialNumber)));
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

std::nullopt_t search_failed(CK_RV rv, std::string& error) {
  error = "the token cannot search its objects: " + describe(rv);
  return std::nullopt;
}

// The objects matching templ, at most kMaxFound of them (enough to tell one from several).
// A search the token fails is a failure, never "none": reading it as none would let a second
// key take a name that is in use.
std::optional<std::vector<CK_OBJECT_HANDLE>> find_objects(CK_FUNCTION_LIST* f,
                                                          CK_SESSION_HANDLE session,
                                                          std::vector<CK_ATTRIBUTE>& templ,
                                                          std::string& error) {
  const CK_RV started =
      f->C_FindObjectsInit(session, templ.data(), static_cast<CK_ULONG>(templ.size()));
  if (started != CKR_OK) return search_failed(started, error);
  CK_RV rv = CKR_OK;
  std::vector<CK_OBJECT_HANDLE> found;
  std::array<CK_OBJECT_HANDLE, 4> batch{};
  CK_ULONG count = 0;
  while (found.size() < kMaxFound) {
    rv = f->C_FindObjects(session, batch.data(), batch.size(), &count);
    if (rv != CKR_OK || count == 0) break;
    found.insert(found.end(), batch.begin(),
                 batch.begin() + static_cast<std::ptrdiff_t>(std::min<CK_ULONG>(count, batch.size())));
  }
  f->C_FindObjectsFinal(session);
  if (rv != CKR_OK) return search_failed(rv, error);
  return found;
}

std::optional<std::vector<std::uint8_t>> attribute(CK_FUNCTION_LIST* f, CK_SESSION_HANDLE session,
                                                  CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type) {
  CK_ATTRIBUTE query{type, nullptr, 0};
  if (f->C_GetAttributeValue(session, object, &query, 1) != CKR_OK ||
      query.ulValueLen == CK_UNAVAILABLE_INFORMATION || query.ulValueLen > kMaxAttribute) {
    return std::nullopt;
  }
  std::vector<std::uint8_t> value(query.ulValueLen);
  query.pValue = value.data();
  if (f->C_GetAttributeValue(session, object, &query, 1) != CKR_OK ||
      query.ulValueLen > value.size()) {
    return std::nullopt;
  }
  value.resize(query.ulValueLen);
  return value;
}

std::string key_name(const Naming& naming) {
  if (naming.label) return "labelled " + *naming.label;
  return "with that id";
}

// RFC 3986's unreserved characters stay; every other byte becomes %XX.
std::string percent_encode(std::string_view value, bool everyByte) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (const char c : value) {
    const auto byte = static_cast<unsigned char>(c);
    if (!everyByte && (std::isalnum(byte) != 0 || c == '-' || c == '.' || c == '_' || c == '~')) {
      out.push_back(c);
    } else {
      out.push_back('%');
      out.push_back(kHex[byte >> 4]);
      out.push_back(kHex[byte & 0x0F]);
    }
  }
  return out;
}

// kIdSize bytes from the kernel's generator, none of them zero (a reference refuses %00, which
// would cut a value where C strings end); empty when the generator gives too few.
std::string random_id() {
  std::string id;
  const qiv::Descriptor fd(::open("/dev/urandom", O_RDONLY | O_CLOEXEC));
  std::array<char, 4 * kIdSize> drawn{};
  for (int round = 0; fd.get() >= 0 && id.size() < kIdSize && round < 8; ++round) {
    const ssize_t n = ::read(fd.get(), drawn.data(), drawn.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    for (const char c : std::span(drawn).first(static_cast<std::size_t>(n))) {
      if (c != 0 && id.size() < kIdSize) id.push_back(c);
    }
  }
  return id.size() == kIdSize ? id : std::string();
}

}  // namespace

// Drawn once, and only when the URI gives no id.
const std::string& Token::new_key_id() {
  if (newId_.empty()) {
    const auto given = uri_.path("id");
    newId_ = given ? *given : random_id();
  }
  return newId_;
}

std::string Token::new_key_reference() {
  static_cast<void>(new_key_id());
  std::string added;
  if (!uri_.path("serial")) added += ";serial=" + percent_encode(serial_, false);
  if (!uri_.path("id")) added += ";id=" + percent_encode(newId_, true);
  const std::string& shown = uri_.shown();
  const std::size_t query = std::min(shown.find('?'), shown.size());
  // "pkcs11:" with an empty path takes the first attribute without its separator.
  const bool emptyPath = query == std::string_view("pkcs11:").size();
  return shown.substr(0, query) + (emptyPath ? added.substr(1) : added) + shown.substr(query);
}

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
  const auto keys = find_objects(f, module_->session, templ, error_);
  if (!keys) return false;
  if (keys->size() != 1) {
    error_ = keys->empty() ? "no RSA private key in the token matches " + uri_.shown()
                           : "more than one private key matches " + uri_.shown() +
                                 "; name it with object= or id=";
    return false;
  }
  key_ = keys->front();

  auto modulus = attribute(f, module_->session, key_, CKA_MODULUS);
  auto exponent = attribute(f, module_->session, key_, CKA_PUBLIC_EXPONENT);
  if (!exponent) {
    // Some tokens keep the exponent on the public half only.
    CK_OBJECT_CLASS publicClass = CKO_PUBLIC_KEY;
    templ[0].pValue = &publicClass;
    const auto halves = find_objects(f, module_->session, templ, error_);
    if (!halves) return false;
    if (halves->size() == 1) {
      exponent = attribute(f, module_->session, halves->front(), CKA_PUBLIC_EXPONENT);
    }
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
  if (f->C_GetMechanismList(module_->slot, nullptr, &count) == CKR_OK && count <= kMaxMechanisms) {
    offered.resize(count);
    if (f->C_GetMechanismList(module_->slot, offered.data(), &count) != CKR_OK ||
        count > offered.size()) {
      count = 0;
    }
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
  // The module gets a copy: whatever it does to its input, the caller checks the signature
  // against its own digest, never against bytes the module could have changed.
  std::vector<std::uint8_t> input(digest.begin(), digest.end());
  std::vector<std::uint8_t> signature(modulus_.size());
  auto length = static_cast<CK_ULONG>(signature.size());
  if (rv == CKR_OK) {
    rv = f->C_Sign(module_->session, input.data(), static_cast<CK_ULONG>(input.size()),
                   signature.data(), &length);
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

// Refuses a key-making request whose label or id is missing or taken. Searched by label and by
// id separately, over every object class: a public key alone blocks its name as well.
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
    const auto found = find_objects(f, session, templ, error);
    if (!found) return false;
    if (!found->empty()) {
      error = "the token holds an object " + key_name(one) + " already";
      return false;
    }
  }
  return true;
}

}  // namespace

// Two commands making a key of one name at once both pass name_is_free before either creates.
// Each then looks again: whoever sees an object it did not make destroys its own and gives up,
// so of two racers at most one keeps a key, and the token never holds two keys of one name.
bool Token::only_created_carry_name() {
  Naming naming{uri_.path("object"), newId_};
  for (const bool label : {true, false}) {
    Naming one{label ? naming.label : std::nullopt, label ? std::nullopt : naming.id};
    if (!one.label && !one.id) continue;
    std::vector<CK_ATTRIBUTE> templ;
    add_naming(templ, one);
    const auto found = find_objects(module_->f, module_->session, templ, error_);
    if (!found) return false;
    for (const CK_OBJECT_HANDLE object : *found) {
      if (std::find(created_.begin(), created_.end(), object) == created_.end()) {
        error_ = "another key " + key_name(one) + " was made in the token at the same time";
        return false;
      }
    }
  }
  return true;
}

bool Token::use_created_key(const KeyShape& shape) {
  if (!only_created_carry_name()) return false;
  // From here on the URI names the key just made by its id, as its reference will.
  auto made = Uri::parse(new_key_reference());
  if (!made) {
    error_ = "the key's reference is not a PKCS#11 URI";
    return false;
  }
  uri_ = *made;
  return use_key(shape);
}

namespace {

// Commands of one user on one machine take turns at making a key: from the check that its
// label and id are free to the second look after it exists. The second look alone is not
// enough with every token: a module that keeps objects in files per process (SoftHSM2 does)
// may show another process's new object only a moment later, so two commands could each make
// a key and each see only its own. The turn is a lock on a file of the user's own; where it
// cannot be had, the command goes on with the second look alone.
class CreationTurn {
 public:
  CreationTurn() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    const std::string folder = runtime != nullptr && runtime[0] == '/' ? runtime : "/tmp";
    const std::string path =
        folder + "/.Tarnwick_V21-token-" + std::to_string(::geteuid()) + ".lock";
    fd_ = qiv::Descriptor(
        ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0600));
    struct stat info {};
    // Someone else's file under that name is not ours to lock on.
    if (fd_.get() < 0 || ::fstat(fd_.get(), &info) != 0 || !S_ISREG(info.st_mode) ||
        info.st_uid != ::geteuid()) {
      fd_ = qiv::Descriptor();
      return;
    }
    while (::flock(fd_.get(), LOCK_EX) != 0 && errno == EINTR) {
    }
  }

 private:
  qiv::Descriptor fd_;  // closing it ends the turn
};

}  // namespace

// Before a key is made or stored: the URI names it, its id is drawn (or the URI's), and neither
// its label nor its id is taken yet.
bool Token::ready_for_new_key() {
  if (!uri_.path("object") && !uri_.path("id")) {
    error_ = "the key reference names no key: give it object= or id=";
    return false;
  }
  if (new_key_id().empty()) {
    error_ = "no random id for the key: the kernel random device gives no bytes";
    return false;
  }
  Naming naming{uri_.path("object"), newId_};
  return name_is_free(module_->f, module_->session, naming, error_);
}

// A token that fails part way through making a pair may keep one half (a lone public key). An id
// drawn at random for this command names nothing else, so whatever carries it is that half.
// An id the URI gave may be another command's: then nothing is touched.
void Token::remove_half_made() {
  if (uri_.path("id")) return;
  Naming naming{std::nullopt, newId_};
  std::vector<CK_ATTRIBUTE> templ;
  add_naming(templ, naming);
  std::string ignored;
  const auto found = find_objects(module_->f, module_->session, templ, ignored);
  if (!found) return;
  for (const CK_OBJECT_HANDLE object : *found) module_->f->C_DestroyObject(module_->session, object);
}

bool Token::generate_key(const KeyShape& shape) {
  CK_FUNCTION_LIST* f = module_->f;
  const CreationTurn turn;
  if (!ready_for_new_key()) return false;
  Naming naming{uri_.path("object"), newId_};
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
    remove_half_made();
    return false;
  }
  created_ = {publicKey, privateKey};
  return use_created_key(shape);
}

bool Token::store_key(const KeyShape& shape, const RsaKeyParts& key) {
  CK_FUNCTION_LIST* f = module_->f;
  const CreationTurn turn;
  if (!ready_for_new_key()) return false;
  Naming naming{uri_.path("object"), newId_};
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
      {CKA_SENSITIVE, &yes, sizeof yes},  // sealed as a generated key is: never readable,
      {CKA_EXTRACTABLE, &no, sizeof no},  // never exported
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
  return use_created_key(shape);
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
