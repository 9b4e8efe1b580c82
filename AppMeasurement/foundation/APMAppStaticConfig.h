#pragma once

#include <memory>

// The library's static configuration object. It holds no settings of its own; it exists
// so that callers share one instance. Safe from any thread.
class APMAppStaticConfig {
 public:
  // The one instance, made on first use.
  static std::shared_ptr<APMAppStaticConfig> sharedInstance();
};
