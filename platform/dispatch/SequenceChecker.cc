#include "platform/dispatch/SequenceChecker.h"

#include <cstdlib>
#include <string>

#include "platform/foundation/PlatformLog.h"

namespace platform {

void SequenceChecker::check(std::string_view where) const {
  if (calledOnValidSequence()) return;
  auto queue = queue_.lock();
  PlatformLog::write(std::string(where) + " must run on queue " +
                     (queue ? queue->label() : std::string("<released queue>")));
#ifndef NDEBUG
  std::abort();
#endif
}

}  // namespace platform
