// What a command of the core did, told to the face that called it. The core prints nothing: it
// reports each event as it happens (a face may show it at once, which keeps the order of lines
// and prompts), and it leaves behind the outcome a face needs afterwards: the first refusal with
// its class, the file it concerns and a plain cause; what was written; which keys took part.
//
// An event names what happened, never how to word it: the legacy face has a fixed line for each
// (cli/legacy_texts.cpp), the new face words refusals from their file and cause.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace core {

// The class of a refusal: one exit status each in the new face.
enum class Class : std::uint8_t {
  kVerify,  // an image or key does not verify
  kUsage,   // what was asked for cannot be done as asked (conflicting inputs)
  kKey,     // a key file, key reference or eFuse value is refused
  kInput,   // an input file cannot be read, or an image is refused
  kToken,   // the hardware token failed or refused
  kSystem,  // no memory, no kernel random device
  kOutput,  // an output cannot be written
};

enum class Event : std::uint8_t {
  kSilent,  // a refusal the legacy face has no line for
  kFileOpenError,
  kFileReadError,
  kFileWriteError,
  kOutOfMemory,
  kOutputIsKeyFile,  // file: the key file
  kKeyExists,        // file: the key file
  kKeyPairGenerating,
  kKeyPairFailed,
  kKeyNameTooLong,
  kNeedsRandomDevice,
  kKeyFileHoldsNoKey,  // file: the key file; cause: the set's name
  kKeyStoredInToken,
  kTokenWarning,  // cause: the warning
  kTokenError,   // cause: what the token said
  kProofOfPossessionFailed,
  kStage1GenerationFailed,
  kStage1GenerationOk,
  kStage1VerificationFailed,
  kStage1VerificationOk,
  kStage2GenerationFailed,
  kStage2GenerationOk,
  kStage2VerificationFailed,
  kStage2VerificationOk,
  kBuildTimeRefused,  // cause: why SOURCE_DATE_EPOCH is refused
  kPadded,            // file: the BL1; cause: "N bytes to M"
};

struct Note {
  Event event;
  std::string file;
  std::string cause;
};

struct Refusal {
  Class kind;
  std::string file;  // empty when no one file is concerned
  std::string cause;
};

// A file the command wrote, as it is on disk now.
struct Written {
  std::string path;
  std::uint64_t size = 0;
  std::array<std::uint8_t, 32> sha256{};
  std::string what;  // "v2.1 maker public key", "v2.1 secured BL1", ...
};

// A key that took part: its role, its set and its fingerprint (as sbinspect shows it).
struct KeyUse {
  std::string role;  // "maker", "customer", "next-stage", "signing"
  std::string set;
  std::string fingerprint;
};

class Report {
 public:
  Report() = default;
  explicit Report(std::function<void(const Note&)> listener) : listener_(std::move(listener)) {}

  // An event that is not a refusal (a success line, a warning).
  void note(Event event, std::string file = {}, std::string cause = {});
  // A refusal: the event is told, and the first refusal of the command becomes its outcome.
  // Returns `result`, the legacy command result for it, so that a caller can `return
  // report.refuse(...)`.
  std::int32_t refuse(Class kind, Event event, std::string file, std::string cause,
                      std::int32_t result = -1);

  [[nodiscard]] bool refused() const { return refusal_.has_value(); }
  [[nodiscard]] const std::optional<Refusal>& refusal() const { return refusal_; }
  [[nodiscard]] bool refused_as(Class kind) const { return refusal_ && refusal_->kind == kind; }

  void wrote(Written written) { written_.push_back(std::move(written)); }
  void used_key(KeyUse key) { keys_.push_back(std::move(key)); }
  [[nodiscard]] const std::vector<Written>& written() const { return written_; }
  [[nodiscard]] const std::vector<KeyUse>& keys() const { return keys_; }
  [[nodiscard]] const std::vector<Note>& notes() const { return notes_; }

 private:
  std::function<void(const Note&)> listener_;
  std::vector<Note> notes_;
  std::optional<Refusal> refusal_;
  std::vector<Written> written_;
  std::vector<KeyUse> keys_;
};

}  // namespace core
