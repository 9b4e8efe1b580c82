#include "AppMeasurement/features/APMInAppPurchaseProductCache.h"

namespace {
constexpr size_t kResetAtEntries = 101;
}

APMInAppPurchaseProductCache::APMInAppPurchaseProductCache()
    : lockQueue_(platform::DispatchQueue::createSerial("com.orvane.rzq.measurement.iap-cache")) {}

std::shared_ptr<APMInAppPurchaseProductCache> APMInAppPurchaseProductCache::create() {
  return std::shared_ptr<APMInAppPurchaseProductCache>(new APMInAppPurchaseProductCache());
}

std::shared_ptr<APMInAppPurchaseProductCache> APMInAppPurchaseProductCache::sharedInstance() {
  static const std::shared_ptr<APMInAppPurchaseProductCache>& instance =
      *new std::shared_ptr<APMInAppPurchaseProductCache>(create());
  return instance;
}

std::optional<SKProduct> APMInAppPurchaseProductCache::cachedProductForProductIdentifier(
    const std::string& identifier) {
  std::optional<SKProduct> product;
  lockQueue_->sync([&] {
    auto found = validProducts_.find(identifier);
    if (found != validProducts_.end()) product = found->second;
  });
  return product;
}

size_t APMInAppPurchaseProductCache::countForTesting() {
  size_t count = 0;
  lockQueue_->sync([&] { count = validProducts_.size() + invalidProductIdentifiers_.size(); });
  return count;
}

bool APMInAppPurchaseProductCache::isInvalidForTesting(const std::string& identifier) {
  bool invalid = false;
  lockQueue_->sync([&] { invalid = invalidProductIdentifiers_.contains(identifier); });
  return invalid;
}

void APMInAppPurchaseProductCache::requestProductsWithProductIdentifiers(
    std::set<std::string> productIdentifiers, std::shared_ptr<platform::DispatchQueue> queue,
    APMProductsRequest::CompletionHandler completionHandler) {
  if (!queue || !completionHandler) return;
  std::weak_ptr<APMInAppPurchaseProductCache> weakSelf = weak_from_this();
  APMProductsRequest::requestProductsWithProductIdentifiers(
      std::move(productIdentifiers), lockQueue_,
      [weakSelf, queue, completionHandler](
          const std::optional<std::map<std::string, SKProduct>>& products,
          const std::optional<std::set<std::string>>& invalid,
          const std::optional<APMError>& error) {
        std::shared_ptr<APMInAppPurchaseProductCache> self = weakSelf.lock();
        if (!self) return;
        std::map<std::string, SKProduct> received =
            products.value_or(std::map<std::string, SKProduct>{});
        std::set<std::string> refused = invalid.value_or(std::set<std::string>{});
        for (const auto& [identifier, product] : received) {
          self->validProducts_.insert_or_assign(identifier, product);
        }
        for (const std::string& identifier : refused) {
          self->validProducts_.erase(identifier);
          self->invalidProductIdentifiers_.insert(identifier);
        }
        for (const auto& [identifier, product] : received) {
          self->invalidProductIdentifiers_.erase(identifier);
        }
        if (self->validProducts_.size() + self->invalidProductIdentifiers_.size() >=
            kResetAtEntries) {
          self->validProducts_ = received;
          self->invalidProductIdentifiers_ = refused;
        }
        queue->async([completionHandler, products, invalid, error] {
          completionHandler(products, invalid, error);
        });
      });
}
