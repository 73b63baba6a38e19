// Keys in a hardware token, reached through its PKCS#11 module. A key is named by a PKCS#11 URI
// (RFC 7512): the path names the token and the key (token=, serial=, object=, id=, ...), the
// query names the module (module-path=, module-name=) and the PIN (pin-source=, pin-value=).
//
// The module is loaded at run time (dlopen), so the programs carry no link to any token library.
// Every failure is reported as one plain sentence naming its cause (Token::error()); nothing here
// prints. Private keys this layer makes or stores are sensitive, never extractable and sign-only.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace token {

// A parsed key reference. Attribute values are percent-decoded.
class Uri {
 public:
  // nullopt unless text is "pkcs11:" followed by a well-formed path and query.
  [[nodiscard]] static std::optional<Uri> parse(std::string_view text);
  Uri() = default;
  Uri(const Uri&) = default;
  Uri& operator=(const Uri& other);  // wipes the values it replaces
  ~Uri();  // wipes the values: a pin-value is a secret

  [[nodiscard]] std::optional<std::string> path(std::string_view name) const;
  [[nodiscard]] std::optional<std::string> query(std::string_view name) const;
  // The text as given, without any pin-value attribute: what may be shown or written to a file.
  [[nodiscard]] const std::string& shown() const { return shown_; }
  // The first path attribute this layer does not know, if any.
  [[nodiscard]] std::optional<std::string> unknown_attribute() const;

 private:
  void wipe_values();

  std::vector<std::pair<std::string, std::string>> path_, query_;
  std::string shown_;
};

// The URI text without its pin-value attributes, in the path or the query (the text itself when
// it holds none).
[[nodiscard]] std::string without_pin_value(std::string_view text);

// The one-line warning that the URI's pin-source file can be read by users other than its owner
// (group or others), if it can.
[[nodiscard]] std::optional<std::string> pin_file_warning(const Uri& uri);

// The RSA key a key set signs with.
struct KeyShape {
  std::uint32_t modulusBits;  // 2048 or 1024
  std::uint32_t exponent;     // 3 or 65537
  std::string_view setName;   // "v2.1" or "v1.1", for messages
};

// An RSA private key in CRT form, big-endian byte strings as PKCS#11 carries them. The caller
// owns the bytes and wipes them.
struct RsaKeyParts {
  std::span<const std::uint8_t> n, e, d, p, q, dP, dQ, qInv;
};

// An open, logged-in session on the token a URI names. Closing it (the destructor) logs out,
// closes the session and unloads the module.
class Token {
 public:
  // Loads the module, finds exactly one token matching the URI and logs in with the URI's PIN
  // (or one read from the terminal). nullptr, with `error` set, on any failure.
  [[nodiscard]] static std::unique_ptr<Token> open(const Uri& uri, std::string& error);
  ~Token();
  Token(const Token&) = delete;
  Token& operator=(const Token&) = delete;

  // The reference to write for the key generate_key or store_key makes (or made): the URI
  // without pin-value, naming the token by its serial= and the key by its id= unless the URI
  // names them already. A key's id is drawn at random when the URI gives none, so that with
  // two tokens of one label, or two keys of one label, the reference still finds exactly its key.
  [[nodiscard]] std::string new_key_reference();

  // Finds the one RSA private key the URI names and checks it signs as `shape` requires
  // (mechanism offered, modulus size, exponent). False with error() set otherwise.
  [[nodiscard]] bool use_key(const KeyShape& shape);
  // Finds the one RSA private key the URI names (the search use_key makes) and returns its
  // modulus size in bits, without checking it against any shape. nullopt with error() set.
  // For a caller that picks the key set by the key: ask this, then use_key(shape).
  [[nodiscard]] std::optional<std::uint32_t> key_modulus_bits();
  // Generates a key pair of `shape` under the URI's label and id (new_key_reference()). Refuses
  // when the URI names no label or id, or an object with them exists already; and, after
  // making it, when any object but the two it made carries its label or id (another command
  // made a key of that name at the same time): it then destroys what it made.
  [[nodiscard]] bool generate_key(const KeyShape& shape);
  // Stores the given key (and its public half) under the URI's label and id, with the same
  // refusals as generate_key.
  [[nodiscard]] bool store_key(const KeyShape& shape, const RsaKeyParts& key);
  // Removes the objects generate_key or store_key made (when what they were for failed).
  void destroy_created();

  // The key in use: modulus (big-endian, modulusBits / 8 bytes) and exponent.
  [[nodiscard]] std::span<const std::uint8_t> modulus() const { return modulus_; }
  [[nodiscard]] std::uint32_t exponent() const { return exponent_; }

  // RSASSA-PSS (SHA-1, MGF1-SHA-1, 20-byte salt) of a 20-byte digest with the key in use:
  // the big-endian signature of exactly modulus().size() bytes. False with error() set.
  [[nodiscard]] bool sign_digest(std::span<const std::uint8_t> digest, std::span<std::uint8_t> out);

  struct KeyAttributes {
    bool sensitive, extractable, alwaysSensitive, neverExtractable, sign, decrypt;
  };
  // The protection attributes of the key in use, as the token reports them.
  [[nodiscard]] std::optional<KeyAttributes> key_attributes();

  [[nodiscard]] const std::string& error() const { return error_; }

  struct Module;

 private:
  Token(std::unique_ptr<Module> module, const Uri& uri, std::string serial);
  [[nodiscard]] std::optional<unsigned long> find_key();
  [[nodiscard]] const std::string& new_key_id();
  [[nodiscard]] bool ready_for_new_key();
  void remove_half_made();
  [[nodiscard]] bool only_created_carry_name();
  [[nodiscard]] bool use_created_key(const KeyShape& shape);

  std::unique_ptr<Module> module_;
  Uri uri_;
  std::string error_;
  unsigned long key_ = 0;
  std::vector<unsigned long> created_;
  std::string serial_;
  std::string newId_;  // the id a key made here gets: the URI's, or drawn at random
  std::vector<std::uint8_t> modulus_;
  std::uint32_t exponent_ = 0;
};

}  // namespace token
