// A token's objects (internal to this layer): found by a template of attributes, named by label
// and id, and read one attribute at a time.
#pragma once

#include <p11-kit/pkcs11.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace token::detail {

// A search never needs more objects than this to tell one from several.
inline constexpr std::size_t kMaxFound = 16;

// The label and id a key goes by; either may be absent.
struct Naming {
  std::optional<std::string> label, id;
};

// The label alone and the id alone, each that is given: a name is taken when either is.
[[nodiscard]] std::vector<Naming> separately(const Naming& naming);

// Adds CKA_LABEL and CKA_ID for what naming gives; the template points into naming.
void add_naming(std::vector<CK_ATTRIBUTE>& templ, Naming& naming);

// How a message names an object: "labelled <label>" or "with that id".
[[nodiscard]] std::string key_name(const Naming& naming);

// The objects matching templ, at most kMaxFound of them. A search the token fails is a failure
// (error set), never "none".
[[nodiscard]] std::optional<std::vector<CK_OBJECT_HANDLE>> find_objects(
    CK_FUNCTION_LIST* f, CK_SESSION_HANDLE session, std::vector<CK_ATTRIBUTE>& templ,
    std::string& error);

// The objects carrying naming's label and id.
[[nodiscard]] std::optional<std::vector<CK_OBJECT_HANDLE>> find_named(CK_FUNCTION_LIST* f,
                                                                      CK_SESSION_HANDLE session,
                                                                      Naming naming,
                                                                      std::string& error);

// One attribute's value; nullopt when the token does not give it or it is absurdly long.
[[nodiscard]] std::optional<std::vector<std::uint8_t>> attribute(CK_FUNCTION_LIST* f,
                                                                CK_SESSION_HANDLE session,
                                                                CK_OBJECT_HANDLE object,
                                                                CK_ATTRIBUTE_TYPE type);

}  // namespace token::detail
