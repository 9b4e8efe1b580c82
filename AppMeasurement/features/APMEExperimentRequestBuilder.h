#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "AppMeasurement/features/APMESDKProperty.h"
#include "AppMeasurement/messages/APMPBMessages.h"

// Keeps the registered SDK descriptions and builds the experiment request from them. Safe
// from any thread.
class APMEExperimentRequestBuilder {
 public:
  static APMEExperimentRequestBuilder& sharedInstance();

  // Stores the property under its name, replacing; none is logged (880000).
  void addSDKProperty(const std::shared_ptr<APMESDKProperty>& property);
  // Field 1 the app property; field 2 the client property of every SDK that has a diversion
  // key (the others are left out).
  APMPBExperimentRequest request() const;
  // Platform "ios", the first preferred language lower-cased, the bundle identifier, whether
  // the app comes from the App Store, the experiment library version.
  static APMPBAppProperty appPropertyProto();

  // Forgets every property (tests).
  void removeAllForTesting();

 private:
  mutable std::mutex mutex_;  // guards the map
  std::map<std::string, std::shared_ptr<APMESDKProperty>> clientPropertyBySDKName_;
};
