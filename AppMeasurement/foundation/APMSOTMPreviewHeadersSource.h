#pragma once

#include <optional>

#include "platform/foundation/Value.h"

// The server-side tag-manager preview headers that a debug link sets on the engine. The
// deep-link handling implements it; without one there are no preview headers.
class APMSOTMPreviewHeadersSource {
 public:
  virtual ~APMSOTMPreviewHeadersSource() = default;
  // The headers, or nullopt when no preview is active. Any thread.
  virtual std::optional<platform::Value::Dictionary> SOTMPreviewHeaders() = 0;
};
