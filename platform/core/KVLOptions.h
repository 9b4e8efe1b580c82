#pragma once

#include <memory>
#include <string>

namespace platform {
class Bundle;
}

// The options of the platform's default app: who the app is and the collection switches its
// property lists set.
//   orvaneAppID                       "ORVANE_APP_ID" of the bundle's "OrvaneService-Info" list
//   isAnalyticsCollectionEnabled      Info.plist "KAVRELIN_ANALYTICS_COLLECTION_ENABLED", else YES
//   isAnalyticsCollectionDeactivated  Info.plist "KAVRELIN_ANALYTICS_COLLECTION_DEACTIVATED", else
//   NO
// A switch of another type than a boolean or a number reads as its default. Values are fixed once
// made; safe to read from any thread.
class KVLOptions {
 public:
  KVLOptions(std::string orvaneAppID, bool collectionEnabled, bool collectionDeactivated)
      : orvaneAppID_(std::move(orvaneAppID)),
        collectionEnabled_(collectionEnabled),
        collectionDeactivated_(collectionDeactivated) {}

  // The options read from `bundle`; null when its service list is missing or has no non-empty
  // "ORVANE_APP_ID" string.
  static std::shared_ptr<KVLOptions> fromBundle(const platform::Bundle& bundle);

  const std::string& orvaneAppID() const { return orvaneAppID_; }
  bool isAnalyticsCollectionEnabled() const { return collectionEnabled_; }
  bool isAnalyticsCollectionDeactivated() const { return collectionDeactivated_; }

 private:
  std::string orvaneAppID_;
  bool collectionEnabled_;
  bool collectionDeactivated_;
};
