#include "core/image_jobs.h"

namespace core {

bool output_is_a_key_file(Report& report, const char* output,
                          std::span<const char* const> keyFiles) {
  // Key files are what the whole chain of trust rests on; an image written over one of them (a
  // slip in the argument order) would destroy the maker's key.
  for (const char* key : keyFiles) {
    if (same_file(output, key)) {
      report.refuse(Class::kOutput, Event::kOutputIsKeyFile, key,
                    std::string("is a key file; the output ") + output + " would replace it");
      return true;
    }
  }
  return false;
}

std::int32_t write_image(Report& report, const char* output, std::span<const std::uint8_t> bytes,
                         Existing existing, Event success, std::string what) {
  OutputSet set(report);  // installed before the buffer can change
  if (!set.add_borrowed(output, bytes, FileAccess::kShared, existing, std::move(what))) return -1;
  switch (set.install()) {
    case OutputSet::Result::kInstalled:
      report.note(success, output);
      return 0;
    case OutputSet::Result::kExists:
      report.refuse(Class::kOutput, Event::kFileOpenError, output,
                    "exists already; --force replaces it");
      return -1;
    case OutputSet::Result::kFailed:
      break;
  }
  return -1;
}

}  // namespace core
