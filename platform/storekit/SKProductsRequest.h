#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/storekit/SKPaymentTransaction.h"
#include "platform/storekit/SKProduct.h"

class OULNetwork;
class SKProductsRequest;

// What a products request found: the products, and the identifiers the store does not know.
struct SKProductsResponse {
  std::vector<SKProduct> products;
  std::vector<std::string> invalidProductIdentifiers;
};

// Told once how a request ended, on a network thread (a thread of the request's choosing).
class SKProductsRequestDelegate {
 public:
  virtual ~SKProductsRequestDelegate() = default;
  virtual void productsRequestDidReceiveResponse(SKProductsRequest& request,
                                                 const SKProductsResponse& response) = 0;
  virtual void requestDidFailWithError(SKProductsRequest& request,
                                       const SKTransactionError& error) = 0;
};

// The store's products request. Here the store is the development service: `start` GETs its
// catalogue ("<store URL>/storekit/products", a JSON object {"products": [{"productIdentifier",
// "localizedTitle", "price" (decimal text), "currencyCode", optional "introductoryPrice"
// (decimal text) and "introductoryPaymentMode" (0-2)}]}) and answers the requested
// identifiers from it. The request keeps itself alive until its delegate has been told.
// Thread-safe.
class SKProductsRequest : public std::enable_shared_from_this<SKProductsRequest> {
 public:
  // initWithProductIdentifiers:. Null for an empty set (the store makes no request for it).
  static std::shared_ptr<SKProductsRequest> create(std::set<std::string> productIdentifiers);

  // The store's base URL, e.g. "http://127.0.0.1:8080"; process-wide.
  static void setStoreURL(std::string url);
  static std::string storeURL();

  void setDelegate(std::weak_ptr<SKProductsRequestDelegate> delegate);
  // Starts the request once; later calls do nothing. A store that cannot be reached, answers
  // other than 200 or a body that is not a catalogue fail the request (domain
  // "SKErrorDomain", code 0, "unknown"), with the reason as the error's description: the
  // store's URL and the transport error, the status, or what the body lacks.
  void start();

  const std::set<std::string>& productIdentifiers() const { return productIdentifiers_; }

  // The catalogue's answer for the identifiers; nothing when the text is not a catalogue.
  static std::optional<SKProductsResponse> responseFromCatalogue(
      std::string_view json, const std::set<std::string>& productIdentifiers);

 private:
  explicit SKProductsRequest(std::set<std::string> productIdentifiers)
      : productIdentifiers_(std::move(productIdentifiers)) {}
  void finish(const std::optional<SKProductsResponse>& response, const std::string& reason);

  const std::set<std::string> productIdentifiers_;
  std::mutex mutex_;  // guards the two below
  std::weak_ptr<SKProductsRequestDelegate> delegate_;
  bool started_ = false;
  std::shared_ptr<OULNetwork> network_;
};
