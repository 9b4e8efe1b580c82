#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include "AppMeasurement/foundation/APMError.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/storekit/SKProductsRequest.h"

// One store products request with a completion block and the queue it runs on. StoreKit
// answers on a thread of its own; the request hops to its queue before calling the block, then
// drops the block, the queue and the store request (a request is freed once its block ran).
class APMProductsRequest : public SKProductsRequestDelegate,
                           public std::enable_shared_from_this<APMProductsRequest> {
 public:
  // (products by identifier, invalid identifiers, error): the first two are absent on failure.
  using CompletionHandler =
      std::function<void(const std::optional<std::map<std::string, SKProduct>>& products,
                         const std::optional<std::set<std::string>>& invalidIdentifiers,
                         const std::optional<APMError>& error)>;

  // Makes and starts a request; the block runs once on `queue`. A request the store will not
  // make answers error 1 "Invalid product identifiers.". Nothing without a queue or a block.
  static void requestProductsWithProductIdentifiers(std::set<std::string> productIdentifiers,
                                                    std::shared_ptr<platform::DispatchQueue> queue,
                                                    CompletionHandler completionHandler);

  // initWithProductIdentifiers:; null when the store makes no request.
  static std::shared_ptr<APMProductsRequest> create(std::set<std::string> productIdentifiers);

  // Stores the pair, becomes the store request's delegate and starts it; nothing without both.
  void requestWithQueue(std::shared_ptr<platform::DispatchQueue> queue,
                        CompletionHandler completionHandler);
  void clearInstance();

  void productsRequestDidReceiveResponse(SKProductsRequest& request,
                                         const SKProductsResponse& response) override;
  void requestDidFailWithError(SKProductsRequest& request,
                               const SKTransactionError& error) override;

 private:
  explicit APMProductsRequest(std::shared_ptr<SKProductsRequest> request)
      : productsRequest_(std::move(request)) {}
  // The stored pair, or nothing; taken under the lock.
  bool stored(std::shared_ptr<platform::DispatchQueue>* queue, CompletionHandler* handler);

  std::mutex mutex_;  // guards the three below
  std::shared_ptr<SKProductsRequest> productsRequest_;
  CompletionHandler completionHandler_;
  std::shared_ptr<platform::DispatchQueue> queue_;
};
