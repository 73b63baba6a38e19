#include "cli/legacy_texts.h"

#include "cli/usage.h"
#include "format/format.h"

using core::Event;

std::string legacy_line(const core::Note& note) {
  switch (note.event) {
    case Event::kSilent:
    case Event::kKeyPairGenerating:  // the dispatcher's set-specific line
    case Event::kPadded:             // this program never pads
      return {};
    case Event::kFileOpenError:
      return "file open error\n";
    case Event::kFileReadError:
      return "file read error\n";
    case Event::kFileWriteError:
      return "file write error\n";
    case Event::kOutOfMemory:
      return kOutOfMemory;
    case Event::kOutputIsKeyFile:
      return "The output file is the key file " + printable(note.file) + ".\n";
    case Event::kKeyExists:
      return "Key file " + printable(note.file) + " exists already: move or remove it first.\n";
    case Event::kKeyPairFailed:
      return "Key pair generation is failed.\n";
    case Event::kKeyNameTooLong:
      return "Key file name is too long.\n";
    case Event::kNeedsRandomDevice:
      return "Key pair generation needs the kernel random device.\n";
    case Event::kKeyFileHoldsNoKey:
      return "Key file " + printable(note.file) + " " + note.cause + ".\n";
    case Event::kKeyStoredInToken:
      return "Key stored in the token; key reference written.\n";
    case Event::kTokenWarning:
      return "Warning: " + printable(note.cause) + ".\n";
    case Event::kTokenError:
      return "Hardware token: " + printable(note.cause) + ".\n";
    case Event::kProofOfPossessionFailed:
      return "Invalid Stage 2 Public Key: POPP(Proof of Posession Private Key) Failure\n";
    case Event::kStage1GenerationFailed:
      return "Stage 1: Signature generation is failed.\n";
    case Event::kStage1GenerationOk:
      return "Stage 1: Signature generation is successful.\n";
    case Event::kStage1VerificationFailed:
      return "Stage 1: Signature verification is failed.\n";
    case Event::kStage1VerificationOk:
      return "Stage 1: Signature verification is successful.\n";
    case Event::kStage2GenerationFailed:
      return "Stage 2: Signature generation is failed.\n";
    case Event::kStage2GenerationOk:
      return "Stage 2: Signature generation is successful.\n";
    case Event::kStage2VerificationFailed:
      return "Stage 2: Signature verification is failed.\n";
    case Event::kStage2VerificationOk:
      return "Stage 2: Signature verification is successful.\n";
    case Event::kBuildTimeRefused:
      return "SOURCE_DATE_EPOCH is " + note.cause + ".\n";
  }
  return {};
}

core::Report printing_report() {
  return core::Report([](const core::Note& note) { print_text(legacy_line(note)); });
}
