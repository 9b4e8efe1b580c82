#include "platform/storekit/SKProductsRequest.h"

#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/JSONSerialization.h"
#include "platform/utilities/OULNetwork.h"

namespace {

std::mutex& storeURLMutex() {
  static std::mutex& mutex = *new std::mutex();
  return mutex;
}
std::string& storeURLValue() {
  static std::string& url = *new std::string("http://127.0.0.1:8080");
  return url;
}

std::optional<platform::Decimal> decimalField(const platform::Value& entry, const char* key) {
  const platform::Value* value = entry.find(key);
  if (value == nullptr || value->asString() == nullptr) return std::nullopt;
  platform::Decimal decimal = platform::Decimal::fromString(*value->asString());
  if (decimal.isNaN()) return std::nullopt;
  return decimal;
}

std::string textField(const platform::Value& entry, const char* key) {
  const platform::Value* value = entry.find(key);
  return value != nullptr && value->asString() != nullptr ? *value->asString() : std::string();
}

}  // namespace

std::shared_ptr<SKProductsRequest> SKProductsRequest::create(
    std::set<std::string> productIdentifiers) {
  if (productIdentifiers.empty()) return nullptr;
  return std::shared_ptr<SKProductsRequest>(new SKProductsRequest(std::move(productIdentifiers)));
}

void SKProductsRequest::setStoreURL(std::string url) {
  std::lock_guard<std::mutex> lock(storeURLMutex());
  storeURLValue() = std::move(url);
}

std::string SKProductsRequest::storeURL() {
  std::lock_guard<std::mutex> lock(storeURLMutex());
  return storeURLValue();
}

void SKProductsRequest::setDelegate(std::weak_ptr<SKProductsRequestDelegate> delegate) {
  std::lock_guard<std::mutex> lock(mutex_);
  delegate_ = std::move(delegate);
}

std::optional<SKProductsResponse> SKProductsRequest::responseFromCatalogue(
    std::string_view json, const std::set<std::string>& productIdentifiers) {
  absl::StatusOr<platform::Value> catalogue = platform::JSONSerialization::JSONObjectWithData(json);
  if (!catalogue.ok()) return std::nullopt;
  const platform::Value* products = catalogue->find("products");
  if (products == nullptr || products->asArray() == nullptr) return std::nullopt;
  SKProductsResponse response;
  std::set<std::string> found;
  for (const platform::Value& entry : *products->asArray()) {
    std::string identifier = textField(entry, "productIdentifier");
    std::optional<platform::Decimal> price = decimalField(entry, "price");
    if (!productIdentifiers.contains(identifier) || !price || found.contains(identifier)) continue;
    SKProduct product{identifier, textField(entry, "localizedTitle"), *price,
                      textField(entry, "currencyCode"), std::nullopt};
    if (std::optional<platform::Decimal> intro = decimalField(entry, "introductoryPrice")) {
      const platform::Value* mode = entry.find("introductoryPaymentMode");
      int64_t modeNumber = mode && mode->asInteger() ? *mode->asInteger() : 0;
      if (modeNumber < 0 || modeNumber > 2) modeNumber = 0;
      product.introductoryPrice =
          SKProductDiscount{*intro, static_cast<SKProductDiscountPaymentMode>(modeNumber)};
    }
    found.insert(identifier);
    response.products.push_back(std::move(product));
  }
  for (const std::string& identifier : productIdentifiers) {
    if (!found.contains(identifier)) response.invalidProductIdentifiers.push_back(identifier);
  }
  return response;
}

void SKProductsRequest::start() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (started_) return;
    started_ = true;
    network_ = OULNetwork::create();
  }
  std::shared_ptr<SKProductsRequest> self = shared_from_this();
  const std::string url = storeURL() + "/storekit/products";
  network_->getURL(
      url, {}, platform::DispatchQueue::createSerial("platform.storekit.products"), false,
      [self, url](const std::optional<OULHTTPURLResponse>& response,
                  const std::optional<std::string>& data, const std::optional<OULError>& error) {
        const std::string store = "The store's catalogue at " + url;
        if (error || !response) {
          self->finish(std::nullopt, store + " could not be fetched: " +
                                         (error ? error->description : std::string("no answer")));
          return;
        }
        if (response->statusCode != 200) {
          self->finish(std::nullopt,
                       store + " answered HTTP status " + std::to_string(response->statusCode));
          return;
        }
        std::optional<SKProductsResponse> answer =
            responseFromCatalogue(data.value_or(""), self->productIdentifiers_);
        self->finish(answer,
                     store + " is not a catalogue (a JSON object with a \"products\" array)");
      });
}

void SKProductsRequest::finish(const std::optional<SKProductsResponse>& response,
                               const std::string& reason) {
  std::shared_ptr<SKProductsRequestDelegate> delegate;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    delegate = delegate_.lock();
  }
  if (!delegate) return;
  if (response) {
    delegate->productsRequestDidReceiveResponse(*this, *response);
  } else {
    delegate->requestDidFailWithError(*this, SKTransactionError{"SKErrorDomain", 0, reason});
  }
}
