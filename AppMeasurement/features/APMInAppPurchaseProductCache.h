#pragma once

#include <map>
#include <memory>
#include <set>
#include <string>

#include "AppMeasurement/features/APMProductsRequest.h"

// The products (and the identifiers the store called invalid) that earlier products requests
// returned, so most purchases are reported without asking the store again. Both collections
// live on the lock queue "com.orvane.rzq.measurement.iap-cache"; all methods are callable from
// any thread except that queue. At most 100 entries are kept across responses: an update that
// reaches 101 leaves the last response alone.
class APMInAppPurchaseProductCache
    : public std::enable_shared_from_this<APMInAppPurchaseProductCache> {
 public:
  static std::shared_ptr<APMInAppPurchaseProductCache> sharedInstance();
  static std::shared_ptr<APMInAppPurchaseProductCache> create();

  // The cached product or nothing; waits for the lock queue.
  std::optional<SKProduct> cachedProductForProductIdentifier(const std::string& identifier);
  // Asks the store, updates the cache, then calls the block on `queue` with this response.
  // Nothing without a queue or a block.
  void requestProductsWithProductIdentifiers(
      std::set<std::string> productIdentifiers, std::shared_ptr<platform::DispatchQueue> queue,
      APMProductsRequest::CompletionHandler completionHandler);

  // Entries held now (both collections); waits for the lock queue.
  size_t countForTesting();
  bool isInvalidForTesting(const std::string& identifier);

 private:
  APMInAppPurchaseProductCache();

  std::shared_ptr<platform::DispatchQueue> lockQueue_;
  // Touched only on lockQueue_.
  std::map<std::string, SKProduct> validProducts_;
  std::set<std::string> invalidProductIdentifiers_;
};
