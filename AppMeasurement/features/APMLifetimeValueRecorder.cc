#include "AppMeasurement/features/APMLifetimeValueRecorder.h"

#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include "AppMeasurement/foundation/APMMonitor.h"
#include "AppMeasurement/foundation/APMUserAttribute.h"
#include "AppMeasurement/records/APMEvent.h"
#include "AppMeasurement/storage/APMDatabase.h"
#include "platform/foundation/Text.h"

namespace {

constexpr std::string_view kPrefix = "_ltv_";
// 2^63: the first double past the int64 range on either side is ±2^63 itself (−2^63 fits).
constexpr double kTwoTo63 = 9223372036854775808.0;

APMMonitor& monitor() { return *APMMonitor::monitor(); }

// The double as int64 when it lies in [−2^63, 2^63); NaN and infinities do not.
std::optional<int64_t> int64FromIntegralDouble(double value) {
  if (!(value >= -kTwoTo63 && value < kTwoTo63)) return std::nullopt;
  return static_cast<int64_t>(value);
}

void logOutOfBounds(const APMValue& value) {
  monitor().logWithLevel(1, 22002, "Cannot record transaction with value that is out of bounds",
                         value.description());
}

std::string errorText(const APMErrorSlot& error) {
  return error ? error->description() : std::string("(unknown error)");
}

}  // namespace

APMLifetimeValueRecorder::APMLifetimeValueRecorder(CurrencyLimit maxTrackedCurrencies)
    : maxTrackedCurrencies_(std::move(maxTrackedCurrencies)) {}

bool APMLifetimeValueRecorder::isEcommercePurchaseEvent(const APMEvent& event) {
  const std::string& name = event.name();
  return name == "ecommerce_purchase" || name == "purchase" || name == "refund";
}

bool APMLifetimeValueRecorder::isPurchaseEvent(const APMEvent& event) {
  return event.name() == "_iap" || isEcommercePurchaseEvent(event);
}

bool APMLifetimeValueRecorder::recordLifetimeValueToDatabase(APMDatabase& database,
                                                             const APMEvent& event, double now) {
  if (!isPurchaseEvent(event)) return true;

  const APMValue* currency = event.parameter("currency");
  if (currency == nullptr || !currency->isString() ||
      platform::Text::utf16Length(*currency->stringValue()) != 3) {
    monitor().logWithLevel(1, 22000, "Cannot record transaction with invalid currency code",
                           currency ? currency->description() : std::string("(nil)"));
    return true;
  }
  const APMValue* value = event.parameter("value");
  if (value == nullptr || !(value->isDouble() || value->isInt64())) {
    monitor().logWithLevel(1, 22001, "Cannot record transaction with invalid transaction value",
                           value ? value->description() : std::string("(nil)"));
    return true;
  }

  int64_t amount;
  if (isEcommercePurchaseEvent(event)) {
    double units =
        value->isDouble() ? value->doubleValue() : static_cast<double>(value->int64Value());
    // std::round rounds halves away from zero; the range is checked on the rounded double so
    // the conversion below is always defined.
    std::optional<int64_t> micros = int64FromIntegralDouble(std::round(units * 1000000.0));
    if (!micros) {
      logOutOfBounds(*value);
      return false;
    }
    amount = *micros;
    if (event.name() == "refund") {
      if (amount == INT64_MIN) {
        logOutOfBounds(*value);
        return false;
      }
      amount = -amount;
    }
  } else if (value->isInt64()) {
    amount = value->int64Value();
  } else {
    std::optional<int64_t> micros = int64FromIntegralDouble(std::trunc(value->doubleValue()));
    if (!micros) {
      logOutOfBounds(*value);
      return false;
    }
    amount = *micros;
  }

  std::string name = std::string(kPrefix) + platform::Text::uppercase(*currency->stringValue());
  APMErrorSlot error;
  std::optional<std::vector<APMUserAttribute>> stored =
      database.allLifetimeValueUserAttributes(&error);
  if (!stored) {
    monitor().logWithLevel(1, 22003, "Failed to query all Lifetime Value User properties. Error",
                           errorText(error));
    return false;
  }

  int64_t total = amount;
  bool found = false;
  for (const APMUserAttribute& attribute : *stored) {
    if (attribute.name() != name) continue;
    found = true;
    // A total that no longer fits keeps the stored one: refusing the purchase (NO) would make
    // the engine drop every later purchase in this currency too.
    if (__builtin_add_overflow(attribute.value().int64Value(), amount, &total)) {
      logOutOfBounds(*value);
      return true;
    }
    break;
  }

  std::optional<APMUserAttribute> updated =
      APMUserAttribute::create("auto", name, APMValue(total), now);
  if (!updated) {
    // The upper-cased code makes no valid attribute name (not three letters or digits).
    monitor().logWithLevel(1, 22000, "Cannot record transaction with invalid currency code",
                           currency->description());
    return true;
  }

  if (!found && !stored->empty() &&
      static_cast<int64_t>(stored->size()) >= static_cast<int64_t>(maxTrackedCurrencies_())) {
    const std::string& oldest = stored->back().name();
    if (!database.deleteUserAttributeWithName(oldest, &error)) {
      monitor().logWithLevel(1, 22004, "Unable to delete Lifetime Value User property. Name, error",
                             oldest, errorText(error));
      return false;
    }
  }

  if (!database.updateUserAttribute(*updated, &error)) {
    monitor().logWithLevel(1, 22005,
                           "Unable to upsert Lifetime Value User Attribute in database. Name, "
                           "error",
                           name, errorText(error));
    return false;
  }
  monitor().logWithLevel(7, 22006, "Lifetime value has been updated in database",
                         name + " = " + std::to_string(total));
  return true;
}

bool APMIsAdExposureEvent(const APMEvent& event) {
  return event.origin() == "am" || event.name() == "_xa" || event.name() == "_xu";
}
