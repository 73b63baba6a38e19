#include "core/report.h"

namespace core {

void Report::note(Event event, std::string file, std::string cause) {
  notes_.push_back({event, std::move(file), std::move(cause)});
  if (listener_) listener_(notes_.back());
}

std::int32_t Report::refuse(Class kind, Event event, std::string file, std::string cause,
                            std::int32_t result) {
  if (!refusal_) refusal_ = Refusal{kind, file, cause};
  note(event, std::move(file), std::move(cause));
  return result;
}

}  // namespace core
