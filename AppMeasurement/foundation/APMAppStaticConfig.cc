#include "AppMeasurement/foundation/APMAppStaticConfig.h"

std::shared_ptr<APMAppStaticConfig> APMAppStaticConfig::sharedInstance() {
  static const std::shared_ptr<APMAppStaticConfig>& instance =
      *new std::shared_ptr<APMAppStaticConfig>(std::make_shared<APMAppStaticConfig>());
  return instance;
}
