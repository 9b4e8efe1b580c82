#include "AppMeasurement/features/APMReceipt.h"

#include <openssl/bytestring.h>
#include <openssl/is_boringssl.h>
#include <openssl/sha.h>

#include <array>
#include <mutex>

#include "AppMeasurement/foundation/APMAEU.h"
#include "AppMeasurement/foundation/APMDataAdditions.h"
#include "AppMeasurement/foundation/APMMonitor.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/FileManager.h"
#include "platform/foundation/Text.h"
#include "platform/uikit/UIDevice.h"

namespace {

constexpr uint8_t W = kAPMReceiptWildcard;

// Receipt attributes: SEQUENCE, INTEGER type, INTEGER version, OCTET STRING with its length.
const std::vector<uint8_t>& kBundleTemplate =
    *new std::vector<uint8_t>{48, W, 2, 1, 2, 2, 1, W, 4, W};
const std::vector<uint8_t>& kOpaqueTemplate =
    *new std::vector<uint8_t>{48, W, 2, 1, 4, 2, 1, W, 4, W};
const std::vector<uint8_t>& kHashTemplate =
    *new std::vector<uint8_t>{48, W, 2, 1, 5, 2, 1, W, 4, W};
const std::vector<uint8_t>& kVersionTemplate =
    *new std::vector<uint8_t>{48, W, 2, 1, 19, 2, 1, W, 4, W};
// The in-app receipt: the only wildcard is the version byte, which gives the value's length.
const std::vector<uint8_t>& kInAppTemplate = *new std::vector<uint8_t>{2, 1, 17, 2, 1, W, 4};

enum class Field {
  kProductID,
  kTransactionID,
  kOriginalTransactionID,
  kSubscriptionExpiration,
  kFreeTrial,
  kIntroductoryOffer,
  kPurchaseType,
  kWebOrderLineItemID,
  kPurchaseDate,
  kOriginalPurchaseDate,
  kCancellationDate,
};

struct FieldTemplate {
  Field field;
  std::vector<uint8_t> bytes;
};

// In-app fields: INTEGER of two bytes (the type), INTEGER version, OCTET STRING with length,
// then the inner tag and its length. Tried in this order.
std::vector<uint8_t> fieldBytes(uint8_t type, uint8_t innerTag) {
  return {2, 2, 6, type, 2, 1, W, 4, W, innerTag, W};
}
const std::vector<FieldTemplate>& fieldTemplates() {
  static const std::vector<FieldTemplate>& templates = *new std::vector<FieldTemplate>{
      {Field::kProductID, fieldBytes(166, 12)},
      {Field::kTransactionID, fieldBytes(167, 12)},
      {Field::kOriginalTransactionID, fieldBytes(169, 12)},
      {Field::kSubscriptionExpiration, fieldBytes(172, 22)},
      {Field::kFreeTrial, fieldBytes(177, 2)},
      {Field::kIntroductoryOffer, fieldBytes(183, 2)},
      {Field::kPurchaseType, fieldBytes(171, 2)},
      {Field::kWebOrderLineItemID, fieldBytes(175, 2)},
      {Field::kPurchaseDate, fieldBytes(168, 22)},
      {Field::kOriginalPurchaseDate, fieldBytes(170, 22)},
      {Field::kCancellationDate, fieldBytes(176, 22)},
  };
  return templates;
}

APMMonitor& monitor() { return *APMMonitor::monitor(); }

std::optional<std::string> utf8Text(const std::string& bytes) {
  if (!platform::Text::isValidUTF8(bytes)) return std::nullopt;
  return bytes;
}
std::optional<std::string> asciiText(const std::string& bytes) {
  for (unsigned char c : bytes) {
    if (c > 127) return std::nullopt;
  }
  return bytes;
}

// 0 → NO, 1 → YES; anything else logs the code and leaves NO.
bool flagFromValue(const std::string& value, int64_t code, const char* message) {
  if (value.size() != 1) return false;
  uint8_t byte = static_cast<uint8_t>(value[0]);
  if (byte > 1) {
    monitor().logWithLevel(5, code, message, static_cast<int64_t>(byte));
    return false;
  }
  return byte == 1;
}

void setField(APMInAppPurchaseItem& item, Field field, const std::string& value) {
  switch (field) {
    case Field::kProductID:
      item.productID = utf8Text(value);
      break;
    case Field::kTransactionID:
      item.transactionID = utf8Text(value);
      break;
    case Field::kOriginalTransactionID:
      item.originalTransactionID = utf8Text(value);
      break;
    case Field::kSubscriptionExpiration:
      item.subscriptionExpirationDateIA5String = asciiText(value);
      break;
    case Field::kFreeTrial:
      item.freeTrial = flagFromValue(value, 39025, "Subdata FT unexpected value");
      break;
    case Field::kIntroductoryOffer:
      item.introductoryOffer = flagFromValue(value, 39028, "Subdata IO unexpected value");
      break;
    case Field::kPurchaseType:
      if (value.size() == 1) item.purchaseType = static_cast<uint8_t>(value[0]);
      break;
    case Field::kWebOrderLineItemID:
      if (uint64_t number = apm_64LeastSignificantBits(value); number != 0) {
        item.webOrderLineItemID = number;
      }
      break;
    case Field::kPurchaseDate:
      item.purchaseDateIA5String = asciiText(value);
      break;
    case Field::kOriginalPurchaseDate:
      item.originalPurchaseDateIA5String = asciiText(value);
      break;
    case Field::kCancellationDate:
      item.cancellationDateIA5String = asciiText(value);
      break;
  }
}

template <size_t N>
std::string digest(const std::string& input,
                   uint8_t* (*function)(const uint8_t*, size_t, uint8_t*)) {
  std::array<uint8_t, N> out{};
  function(reinterpret_cast<const uint8_t*>(input.data()), input.size(), out.data());
  return std::string(reinterpret_cast<const char*>(out.data()), N);
}

std::string bytesAfterTagAndLength(const std::string& value) { return value.substr(2); }

}  // namespace

std::optional<std::string> APMReceiptMatchTemplate(const std::vector<uint8_t>& byteTemplate,
                                                   std::string_view data, int64_t offset) {
  const int64_t length = static_cast<int64_t>(data.size());
  const int64_t templateLength = static_cast<int64_t>(byteTemplate.size());
  // Written as differences of non-negative numbers so a hostile offset cannot overflow.
  if (offset < 0 || length == 0 || templateLength == 0 || offset >= length - templateLength) {
    return std::nullopt;
  }
  CBS cbs;
  CBS_init(&cbs, reinterpret_cast<const uint8_t*>(data.data()), data.size());
  if (!CBS_skip(&cbs, static_cast<size_t>(offset))) return std::nullopt;
  std::optional<uint8_t> lastCaptured;
  for (uint8_t expected : byteTemplate) {
    uint8_t byte;
    if (!CBS_get_u8(&cbs, &byte)) return std::nullopt;
    if (expected == kAPMReceiptWildcard) {
      lastCaptured = byte;
    } else if (byte != expected) {
      return std::nullopt;
    }
  }
  if (!lastCaptured || *lastCaptured == 0) return std::nullopt;
  const int64_t valueLength = *lastCaptured;
  if (valueLength >= 128) {
    monitor().logWithLevel(5, 39027, "Data is longer than 127", valueLength);
  }
  if (valueLength > length - templateLength - offset) return std::nullopt;
  CBS value;
  if (!CBS_get_bytes(&cbs, &value, static_cast<size_t>(valueLength))) return std::nullopt;
  return std::string(reinterpret_cast<const char*>(CBS_data(&value)), CBS_len(&value));
}

std::optional<std::string> APMReceiptInAppAttributeAtOffset(std::string_view data, int64_t offset) {
  return APMReceiptMatchTemplate(kInAppTemplate, data, offset);
}

std::optional<std::vector<APMInAppPurchaseItem>> APMInAppPurchaseItemsFromReceipt(
    std::string_view data) {
  if (data.empty()) return std::nullopt;
  std::vector<APMInAppPurchaseItem> items;
  std::optional<APMInAppPurchaseItem> current;
  std::vector<bool> found;
  const int64_t length = static_cast<int64_t>(data.size());
  for (int64_t p = 0; p < length;) {
    if (std::optional<std::string> inApp = APMReceiptInAppAttributeAtOffset(data, p)) {
      if (current && current->productID) {
        items.push_back(*current);
      }
      current = APMInAppPurchaseItem{};
      found.assign(fieldTemplates().size(), false);
      p += static_cast<int64_t>(inApp->size()) + 1;
      continue;
    }
    bool matched = false;
    if (current) {
      for (size_t i = 0; i < fieldTemplates().size(); ++i) {
        if (found[i]) continue;
        std::optional<std::string> value =
            APMReceiptMatchTemplate(fieldTemplates()[i].bytes, data, p);
        if (!value) continue;
        found[i] = true;
        setField(*current, fieldTemplates()[i].field, *value);
        // Past the value in all: its length, then one more (the loop does not step again).
        p += static_cast<int64_t>(value->size()) + 1;
        matched = true;
        break;
      }
    }
    if (!matched) ++p;
  }
  // The last item was never listed: items are listed when the next one starts.
  if (current) items.push_back(*current);
  return items;
}

APMReceiptEnvironment APMReceiptEnvironment::current() {
  APMReceiptEnvironment environment;
  environment.simulator = APMAEU::isNOD();
  environment.sandbox = APMAEU::isASRS();
  if (std::optional<std::string> path = APMAEU::appStoreRURL()) {
    absl::StatusOr<std::string> contents =
        platform::FileManager::defaultManager().contentsAtPath(*path);
    if (contents.ok()) environment.receipt = *std::move(contents);
  }
  if (std::optional<UIDevice::UUID> vendor = UIDevice::currentDevice().identifierForVendor()) {
    environment.deviceID = vendor->bytes;
  }
  std::shared_ptr<platform::Bundle> bundle = platform::Bundle::mainBundle();
  if (bundle) {
    environment.bundleID = bundle->bundleIdentifier();
    if (std::optional<platform::Value> version =
            bundle->objectForInfoDictionaryKey("CFBundleVersion")) {
      if (const std::string* text = version->asString()) environment.bundleVersion = *text;
    }
  }
  return environment;
}

bool APMComputeReceiptValidity(const APMReceiptEnvironment& environment) {
  if (environment.simulator) {
    monitor().logWithLevel(5, 39000, "Parsed data is on simulator");
    return false;
  }
  if (environment.sandbox) {
    monitor().logWithLevel(5, 39001, "Parsed data is sandbox");
    return false;
  }
  if (!environment.receipt) {
    monitor().logWithLevel(5, 39009, "Parsed data is nil");
    return false;
  }
  const std::string& data = *environment.receipt;
  if (data.empty()) {
    monitor().logWithLevel(5, 39011, "Parsed data is empty");
    return false;
  }
  if (!environment.deviceID) {
    monitor().logWithLevel(5, 39013, "Device ID data is nil");
    return false;
  }
  std::optional<std::string> opaque, bundle, hash, inApp;
  const int64_t length = static_cast<int64_t>(data.size());
  for (int64_t p = 0; p < length && !(opaque && bundle && hash && inApp); ++p) {
    if (!opaque) opaque = APMReceiptMatchTemplate(kOpaqueTemplate, data, p);
    if (!bundle) {
      bundle = APMReceiptMatchTemplate(kBundleTemplate, data, p);
      if (bundle) {
        const int64_t size = static_cast<int64_t>(bundle->size());
        if (size <= 2) {
          monitor().logWithLevel(5, 39019, "B data is too short. Length", size);
        } else {
          int64_t tag = static_cast<uint8_t>((*bundle)[0]);
          int64_t inner = static_cast<uint8_t>((*bundle)[1]);
          if (tag != 12) monitor().logWithLevel(5, 39020, "B data byte 0 is wrong. Value", tag);
          if (inner != size - 2) {
            monitor().logWithLevel(5, 39021, "B data byte 1 is wrong. Value, expected value", inner,
                                   size - 2);
          }
          if (bytesAfterTagAndLength(*bundle) != environment.bundleID.value_or("")) {
            monitor().logWithLevel(5, 39022, "B data does not match actual string");
          }
        }
      }
    }
    if (!hash) hash = APMReceiptMatchTemplate(kHashTemplate, data, p);
    if (!inApp) inApp = APMReceiptInAppAttributeAtOffset(data, p);
  }
  if (!inApp) {
    monitor().logWithLevel(5, 39014, "I data is missing");
    return false;
  }
  if (!opaque) {
    monitor().logWithLevel(5, 39015, "O data is missing");
    return false;
  }
  if (!bundle) {
    monitor().logWithLevel(5, 39016, "B data is missing");
    return false;
  }
  if (!hash) {
    monitor().logWithLevel(5, 39017, "H data is missing");
    return false;
  }
  std::string input = *environment.deviceID + *opaque + *bundle;
  if (digest<SHA_DIGEST_LENGTH>(input, SHA1) == *hash) return true;
  if (digest<SHA256_DIGEST_LENGTH>(input, SHA256) == *hash) return true;
  monitor().logWithLevel(5, 39018, "H data does not match");
  return false;
}

bool APMComputeIsVersionSameAsOriginalVersion(const APMReceiptEnvironment& environment) {
  if (environment.simulator || environment.sandbox) return true;
  if (!environment.receipt) {
    monitor().logWithLevel(5, 39002, "Version data is nil");
    return false;
  }
  const std::string& data = *environment.receipt;
  if (data.empty()) {
    monitor().logWithLevel(5, 39004, "Version data is empty");
    return false;
  }
  std::optional<std::string> version;
  const int64_t length = static_cast<int64_t>(data.size());
  for (int64_t p = 0; p < length && !version; ++p) {
    version = APMReceiptMatchTemplate(kVersionTemplate, data, p);
  }
  const int64_t size = version ? static_cast<int64_t>(version->size()) : 0;
  if (size <= 2) {
    monitor().logWithLevel(5, 39006, "V data is too short. Length", size);
    return false;
  }
  int64_t tag = static_cast<uint8_t>((*version)[0]);
  int64_t inner = static_cast<uint8_t>((*version)[1]);
  if (tag != 12) monitor().logWithLevel(5, 39007, "V data byte 0 is wrong. Value", tag);
  if (inner != size - 2) {
    monitor().logWithLevel(5, 39008, "V data byte 1 is wrong. Value, expected", inner, size - 2);
  }
  return environment.bundleVersion &&
         bytesAfterTagAndLength(*version) == *environment.bundleVersion;
}

bool APMReceiptIsValid() {
  static const bool valid = APMComputeReceiptValidity(APMReceiptEnvironment::current());
  return valid;
}

bool APMIsVersionSameAsOriginalVersion() {
  static const bool same =
      APMComputeIsVersionSameAsOriginalVersion(APMReceiptEnvironment::current());
  return same;
}

bool APMVerifyTransactionDeviceVerification(std::string_view deviceVerification,
                                            std::optional<std::string_view> uuid,
                                            std::string_view nonce) {
  if (!uuid) return false;
  std::string input = platform::Text::lowercase(nonce) + platform::Text::lowercase(*uuid);
  return digest<SHA384_DIGEST_LENGTH>(input, SHA384) == deviceVerification;
}
