// Making a key in the token (generated there, or stored from a key file): the policy every such
// key gets, the turn commands take at it, the checks that its name is free before and only its
// own after, and the undoing of what a failed attempt made.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <p11-kit/pkcs11.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>

#include "crypto/descriptor.h"
#include "token/module.h"
#include "token/objects.h"
#include "token/token.h"

namespace token {

using detail::describe;
using detail::Naming;

namespace {

// What a key made here may do: the private key is sensitive and never extractable (sealed as a
// generated key is: never readable, never exported) and only signs; its public half only verifies.
// Both live on the token; only the private key needs a log-in.
struct Flag {
  CK_ATTRIBUTE_TYPE type;
  bool on;
};
constexpr std::array<Flag, 7> kPrivateKeyPolicy = {{{CKA_TOKEN, true},
                                                    {CKA_PRIVATE, true},
                                                    {CKA_SENSITIVE, true},
                                                    {CKA_EXTRACTABLE, false},
                                                    {CKA_SIGN, true},
                                                    {CKA_DECRYPT, false},
                                                    {CKA_UNWRAP, false}}};
constexpr std::array<Flag, 5> kPublicKeyPolicy = {{{CKA_TOKEN, true},
                                                   {CKA_PRIVATE, false},
                                                   {CKA_VERIFY, true},
                                                   {CKA_ENCRYPT, false},
                                                   {CKA_WRAP, false}}};

// A template's values are only read by the module (they are the input of C_GenerateKeyPair and
// C_CreateObject), so both may point at these constants.
constexpr CK_BBOOL kOn = CK_TRUE;
constexpr CK_BBOOL kOff = CK_FALSE;

// The two templates of a new pair: each half's policy, then the pair's label and id. The
// templates point into naming.
struct PairTemplates {
  std::vector<CK_ATTRIBUTE> privateKey, publicKey;
};

std::vector<CK_ATTRIBUTE> policy_template(std::span<const Flag> policy, Naming& naming) {
  std::vector<CK_ATTRIBUTE> templ;
  for (const Flag& flag : policy) {
    templ.push_back({flag.type, const_cast<CK_BBOOL*>(flag.on ? &kOn : &kOff), sizeof(CK_BBOOL)});
  }
  detail::add_naming(templ, naming);
  return templ;
}

PairTemplates pair_templates(Naming& naming) {
  return {policy_template(kPrivateKeyPolicy, naming), policy_template(kPublicKeyPolicy, naming)};
}

// The name a new key gets: the URI's label, and the URI's id or one drawn for it.
Naming new_naming(const Uri& uri, const std::string& id) {
  return {uri.path("object"), id};
}

std::vector<std::uint8_t> exponent_bytes(std::uint32_t e) {
  std::vector<std::uint8_t> out;
  for (int shift = 24; shift >= 0; shift -= 8) {
    const auto byte = static_cast<std::uint8_t>(e >> shift);
    if (!out.empty() || byte != 0) out.push_back(byte);
  }
  return out;
}

// Refuses a key-making request whose label or id is taken. Searched by label and by id
// separately, over every object class: a public key alone blocks its name as well.
bool name_is_free(CK_FUNCTION_LIST* f, CK_SESSION_HANDLE session, const Naming& naming,
                  std::string& error) {
  for (const Naming& one : detail::separately(naming)) {
    const auto found = detail::find_named(f, session, one, error);
    if (!found) return false;
    if (!found->empty()) {
      error = "the token holds an object " + detail::key_name(one) + " already";
      return false;
    }
  }
  return true;
}

void destroy(const Token::Module& module, std::span<const CK_OBJECT_HANDLE> objects) {
  for (const CK_OBJECT_HANDLE object : objects) module.f->C_DestroyObject(module.session, object);
}

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
  return name_is_free(module_->f, module_->session, new_naming(uri_, newId_), error_);
}

// Two commands making a key of one name at once both pass name_is_free before either creates.
// Each then looks again: whoever sees an object it did not make destroys its own and gives up,
// so of two racers at most one keeps a key, and the token never holds two keys of one name.
bool Token::only_created_carry_name() {
  for (const Naming& one : detail::separately(new_naming(uri_, newId_))) {
    const auto found = detail::find_named(module_->f, module_->session, one, error_);
    if (!found) return false;
    for (const CK_OBJECT_HANDLE object : *found) {
      if (std::find(created_.begin(), created_.end(), object) == created_.end()) {
        error_ = "another key " + detail::key_name(one) + " was made in the token at the same time";
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

// A token that fails part way through making a pair may keep one half (a lone public key). An id
// drawn at random for this command names nothing else, so whatever carries it is that half.
// An id the URI gave may be another command's: then nothing is touched.
void Token::remove_half_made() {
  if (uri_.path("id")) return;
  std::string ignored;
  const auto found = detail::find_named(module_->f, module_->session, {std::nullopt, newId_},
                                        ignored);
  if (found) destroy(*module_, *found);
}

bool Token::generate_key(const KeyShape& shape) {
  const CreationTurn turn;
  if (!ready_for_new_key()) return false;
  Naming naming = new_naming(uri_, newId_);
  PairTemplates templates = pair_templates(naming);
  CK_ULONG bits = shape.modulusBits;
  std::vector<std::uint8_t> e = exponent_bytes(shape.exponent);
  templates.publicKey.push_back({CKA_MODULUS_BITS, &bits, sizeof bits});
  templates.publicKey.push_back({CKA_PUBLIC_EXPONENT, e.data(), static_cast<CK_ULONG>(e.size())});
  CK_MECHANISM mechanism{CKM_RSA_PKCS_KEY_PAIR_GEN, nullptr, 0};
  CK_OBJECT_HANDLE publicKey = CK_INVALID_HANDLE;
  CK_OBJECT_HANDLE privateKey = CK_INVALID_HANDLE;
  const CK_RV rv = module_->f->C_GenerateKeyPair(
      module_->session, &mechanism, templates.publicKey.data(),
      static_cast<CK_ULONG>(templates.publicKey.size()), templates.privateKey.data(),
      static_cast<CK_ULONG>(templates.privateKey.size()), &publicKey, &privateKey);
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
  const CreationTurn turn;
  if (!ready_for_new_key()) return false;
  Naming naming = new_naming(uri_, newId_);
  PairTemplates templates = pair_templates(naming);
  CK_KEY_TYPE rsa = CKK_RSA;
  CK_OBJECT_CLASS privateClass = CKO_PRIVATE_KEY;
  CK_OBJECT_CLASS publicClass = CKO_PUBLIC_KEY;
  const auto part = [](CK_ATTRIBUTE_TYPE type, std::span<const std::uint8_t> bytes) {
    return CK_ATTRIBUTE{type, const_cast<std::uint8_t*>(bytes.data()),
                        static_cast<CK_ULONG>(bytes.size())};
  };
  templates.privateKey.insert(
      templates.privateKey.end(),
      {{CKA_CLASS, &privateClass, sizeof privateClass}, {CKA_KEY_TYPE, &rsa, sizeof rsa},
       part(CKA_MODULUS, key.n),                        part(CKA_PUBLIC_EXPONENT, key.e),
       part(CKA_PRIVATE_EXPONENT, key.d),               part(CKA_PRIME_1, key.p),
       part(CKA_PRIME_2, key.q),                        part(CKA_EXPONENT_1, key.dP),
       part(CKA_EXPONENT_2, key.dQ),                    part(CKA_COEFFICIENT, key.qInv)});
  templates.publicKey.insert(
      templates.publicKey.end(),
      {{CKA_CLASS, &publicClass, sizeof publicClass}, {CKA_KEY_TYPE, &rsa, sizeof rsa},
       part(CKA_MODULUS, key.n), part(CKA_PUBLIC_EXPONENT, key.e)});
  CK_FUNCTION_LIST* f = module_->f;
  CK_OBJECT_HANDLE object = CK_INVALID_HANDLE;
  CK_RV rv = f->C_CreateObject(module_->session, templates.privateKey.data(),
                               static_cast<CK_ULONG>(templates.privateKey.size()), &object);
  if (rv == CKR_OK) {
    created_.push_back(object);
    rv = f->C_CreateObject(module_->session, templates.publicKey.data(),
                           static_cast<CK_ULONG>(templates.publicKey.size()), &object);
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
  destroy(*module_, created_);
  created_.clear();
}

}  // namespace token
