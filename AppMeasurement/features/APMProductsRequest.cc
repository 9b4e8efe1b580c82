#include "AppMeasurement/features/APMProductsRequest.h"

void APMProductsRequest::requestProductsWithProductIdentifiers(
    std::set<std::string> productIdentifiers, std::shared_ptr<platform::DispatchQueue> queue,
    CompletionHandler completionHandler) {
  if (!queue || !completionHandler) return;
  std::shared_ptr<APMProductsRequest> request = create(std::move(productIdentifiers));
  if (!request) {
    queue->async([completionHandler] {
      completionHandler(std::nullopt, std::nullopt,
                        apm_errorWithCode(1, "Invalid product identifiers."));
    });
    return;
  }
  // The block holds the request until it has run: nothing else keeps it alive.
  request->requestWithQueue(queue,
                            [request, completionHandler](const auto& products, const auto& invalid,
                                                         const auto& error) mutable {
                              completionHandler(products, invalid, error);
                              request.reset();
                            });
}

std::shared_ptr<APMProductsRequest> APMProductsRequest::create(
    std::set<std::string> productIdentifiers) {
  std::shared_ptr<SKProductsRequest> request =
      SKProductsRequest::create(std::move(productIdentifiers));
  if (!request) return nullptr;
  return std::shared_ptr<APMProductsRequest>(new APMProductsRequest(std::move(request)));
}

void APMProductsRequest::requestWithQueue(std::shared_ptr<platform::DispatchQueue> queue,
                                          CompletionHandler completionHandler) {
  if (!queue || !completionHandler) return;
  std::shared_ptr<SKProductsRequest> request;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    queue_ = std::move(queue);
    completionHandler_ = std::move(completionHandler);
    request = productsRequest_;
  }
  if (!request) return;
  request->setDelegate(weak_from_this());
  request->start();
}

void APMProductsRequest::clearInstance() {
  std::lock_guard<std::mutex> lock(mutex_);
  productsRequest_.reset();
  completionHandler_ = nullptr;
  queue_.reset();
}

bool APMProductsRequest::stored(std::shared_ptr<platform::DispatchQueue>* queue,
                                CompletionHandler* handler) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!queue_ || !completionHandler_) return false;
  *queue = queue_;
  *handler = completionHandler_;
  return true;
}

void APMProductsRequest::productsRequestDidReceiveResponse(SKProductsRequest&,
                                                           const SKProductsResponse& response) {
  std::shared_ptr<platform::DispatchQueue> queue;
  CompletionHandler handler;
  if (!stored(&queue, &handler)) return;
  std::map<std::string, SKProduct> products;
  for (const SKProduct& product : response.products) {
    if (!product.productIdentifier.empty())
      products.insert_or_assign(product.productIdentifier, product);
  }
  std::set<std::string> invalid(response.invalidProductIdentifiers.begin(),
                                response.invalidProductIdentifiers.end());
  std::weak_ptr<APMProductsRequest> weakSelf = weak_from_this();
  queue->async([weakSelf, handler, products = std::move(products), invalid = std::move(invalid)] {
    handler(products, invalid, std::nullopt);
    if (auto self = weakSelf.lock()) self->clearInstance();
  });
}

void APMProductsRequest::requestDidFailWithError(SKProductsRequest&,
                                                 const SKTransactionError& error) {
  std::shared_ptr<platform::DispatchQueue> queue;
  CompletionHandler handler;
  if (!stored(&queue, &handler)) return;
  // StoreKit's error as it came, its description included.
  platform::Value::Dictionary userInfo;
  if (!error.localizedDescription.empty()) {
    userInfo.emplace(std::string(kAPMLocalizedDescriptionKey),
                     platform::Value(error.localizedDescription));
  }
  APMError failure(error.domain, error.code, std::move(userInfo));
  std::weak_ptr<APMProductsRequest> weakSelf = weak_from_this();
  queue->async([weakSelf, handler, failure] {
    handler(std::nullopt, std::nullopt, failure);
    if (auto self = weakSelf.lock()) self->clearInstance();
  });
}
