#include "AppMeasurement/foundation/APMAppStaticConfig.h"

std::shared_ptr<APMAppStaticConfig> APMAppStaticConfig::sharedInstance() {
  static const std::shared_ptr<APMAppStaticConfig> instance =
      std::make_shared<APMAppStaticConfig>();
  return instance;
}
