// Finding a token's objects and reading their attributes.
#include "token/objects.h"

#include <algorithm>
#include <array>

#include "token/module.h"

namespace token::detail {

namespace {

// An attribute longer than this is a fault of the module: no key part this layer reads is.
constexpr CK_ULONG kMaxAttribute = 4096;

std::nullopt_t search_failed(CK_RV rv, std::string& error) {
  error = "the token cannot search its objects: " + describe(rv);
  return std::nullopt;
}

}  // namespace

std::vector<Naming> separately(const Naming& naming) {
  std::vector<Naming> out;
  if (naming.label) out.push_back({naming.label, std::nullopt});
  if (naming.id) out.push_back({std::nullopt, naming.id});
  return out;
}

void add_naming(std::vector<CK_ATTRIBUTE>& templ, Naming& naming) {
  if (naming.label) {
    templ.push_back({CKA_LABEL, naming.label->data(), static_cast<CK_ULONG>(naming.label->size())});
  }
  if (naming.id) {
    templ.push_back({CKA_ID, naming.id->data(), static_cast<CK_ULONG>(naming.id->size())});
  }
}

std::string key_name(const Naming& naming) {
  if (naming.label) return "labelled " + *naming.label;
  return "with that id";
}

// Reading a failed search as none would let a second key take a name that is in use.
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

std::optional<std::vector<CK_OBJECT_HANDLE>> find_named(CK_FUNCTION_LIST* f,
                                                        CK_SESSION_HANDLE session, Naming naming,
                                                        std::string& error) {
  std::vector<CK_ATTRIBUTE> templ;
  add_naming(templ, naming);
  return find_objects(f, session, templ, error);
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

}  // namespace token::detail
