#include "AppMeasurement/features/APMInAppPurchaseTransactionReporter.h"

#include <stdio.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include <gtest/gtest.h>

#include "AppMeasurement/features/APMPurchaseDates.h"
#include "platform/utilities/OULAppEnvironmentUtil.h"
#include "tests/support/DispatchTestEnvironment.h"
#include "tests/support/LogCapture.h"
#include "tests/support/TestHttpServer.h"

namespace {

constexpr double kDay = 86400;
constexpr double kStart = 1'767'225'600;  // 2026-01-01T00:00:00Z

std::string python(const std::string& expression) {
  std::string command = "python3 -c \"import hashlib, decimal; print(" + expression + ")\"";
  FILE* pipe = popen(command.c_str(), "r");
  std::string out;
  char buffer[256];
  while (pipe && fgets(buffer, sizeof buffer, pipe)) out += buffer;
  if (pipe) pclose(pipe);
  while (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

// The signed low 64 bits of the MD5, as hashlib makes them.
int64_t md5Low64(const std::string& text) {
  return std::stoll(
      python("int.from_bytes(hashlib.md5(b'" + text + "').digest()[8:], 'big', signed=True)"));
}

APMInAppPurchaseItem item(const std::string& product, const std::string& transaction,
                          const std::string& original, int64_t type, double date,
                          std::optional<uint64_t> webOrder = std::nullopt, bool freeTrial = false,
                          bool intro = false) {
  APMInAppPurchaseItem result;
  result.productID = product;
  result.transactionID = transaction;
  result.originalTransactionID = original;
  result.purchaseType = type;
  result.purchaseDateIA5String = APMIA5StringFromDate(date);
  result.webOrderLineItemID = webOrder;
  result.freeTrial = freeTrial;
  result.introductoryOffer = intro;
  return result;
}

SKProduct product(const std::string& id, const char* price = "0.99",
                  std::optional<SKProductDiscount> intro = std::nullopt) {
  return SKProduct{id, "Title", platform::Decimal::fromString(price), "USD", intro};
}

struct Logged {
  std::string name;
  APMValueMap parameters;
};

std::string describe(const APMValueMap& parameters) {
  std::string text;
  for (const auto& [key, value] : parameters) text += key + "=" + value.description() + " ";
  return text;
}

TEST(APMInAppPurchaseTransactionReporterTest, OneTableOfPurchases) {
  testsupport::DispatchTestEnvironment environment;
  const std::vector<APMInAppPurchaseItem> receipt = {
      item("coins", "t1", "t1", 1, kStart),
      item("pro", "t2", "t2", 0, kStart + 1 * kDay),
      item("season", "t4", "t4", 2, kStart + 2 * kDay),
      item("monthly", "t5", "t5", 3, kStart + 3 * kDay, 1001),
      item("monthly", "t6", "t5", 3, kStart + 4 * kDay, 1002),
      item("trial", "t7", "t7", 3, kStart + 5 * kDay, 2001, true),
      item("trial", "t8", "t7", 3, kStart + 6 * kDay, 2002),
      item("intro", "t9", "t9", 3, kStart + 7 * kDay, 3001, false, true),
      item("twice", "u1", "u1", 2, kStart + 8 * kDay),
      item("twice", "u2", "u2", 2, kStart + 8 * kDay),
  };
  struct Case {
    const char* label;
    SKProduct product;
    int64_t quantity;
    std::string transaction;
    std::optional<std::string> original;
    double date;
    bool receiptValid;
    std::string name;      // "" for no event
    std::string expected;  // the logged parameters
  };
  const std::string coinsDid = std::to_string(md5Low64("t1coins"));
  const std::vector<Case> cases = {
      {"consumable", product("coins"), 2, "t1", std::nullopt, kStart, true, "_iap",
       "_did=" + coinsDid +
           " _skv=1 currency=USD price=990000 product_id=coins product_name=Title quantity=2 "
           "value=1980000 "},
      {"receipt not valid", product("coins"), 1, "t1", std::nullopt, kStart, false, "_iapx",
       "_did=" + coinsDid +
           " _skv=1 currency=USD price=990000 product_id=coins product_name=Title quantity=1 "
           "value=990000 "},
      {"restore of a non-consumable", product("pro"), 1, "t3", "t2", kStart + kDay, true, "_iapx",
       "_skv=1 currency=USD price=990000 product_id=pro product_name=Title quantity=1 "
       "value=990000 "},
      {"non-renewing", product("season"), 1, "t4", std::nullopt, kStart + 2 * kDay, true, "_iap",
       "_did=" + std::to_string(md5Low64("t4season")) +
           " _skv=1 currency=USD price=990000 product_id=season product_name=Title quantity=1 "
           "subscription=1 value=990000 "},
      {"auto-renewable first period", product("monthly"), 1, "t5", std::nullopt, kStart + 3 * kDay,
       true, "_iap",
       "_did=" + std::to_string(md5Low64("t51001monthly")) +
           " _skv=1 currency=USD price=990000 product_id=monthly product_name=Title quantity=1 "
           "subscription=1 value=990000 "},
      {"renewal", product("monthly"), 1, "t6", "t5", kStart + 4 * kDay, true, "_assr",
       "_did=" + std::to_string(md5Low64("t51002monthly")) +
           " _skv=1 currency=USD price=990000 product_id=monthly product_name=Title quantity=1 "
           "value=990000 "},
      {"conversion", product("trial"), 1, "t8", "t7", kStart + 6 * kDay, true, "_assc",
       "_did=" + std::to_string(md5Low64("t72002trial")) +
           " _skv=1 currency=USD price=990000 product_id=trial product_name=Title quantity=1 "
           "value=990000 "},
      {"free trial", product("trial"), 1, "t7", std::nullopt, kStart + 5 * kDay, true, "_iap",
       "_did=" + std::to_string(md5Low64("t72001trial")) +
           " _skv=1 currency=USD free_trial=1 original_price=990000 price=0 "
           "price_is_discounted=1 product_id=trial product_name=Title quantity=1 subscription=1 "
           "value=0 "},
      {"introductory offer",
       product("intro", "0.99",
               SKProductDiscount{platform::Decimal::fromString("0.49"),
                                 SKProductDiscountPaymentMode::PayAsYouGo}),
       3, "t9", std::nullopt, kStart + 7 * kDay, true, "_iap",
       "_did=" + std::to_string(md5Low64("t93001intro")) +
           " _skv=1 currency=USD original_price=990000 price=490000 price_is_discounted=1 "
           "product_id=intro product_name=Title quantity=3 subscription=1 value=1470000 "},
      {"two subscriptions at one date", product("twice"), 1, "u2", std::nullopt, kStart + 8 * kDay,
       true, "_iapx",
       "_skv=1 currency=USD price=990000 product_id=twice product_name=Title quantity=1 "
       "subscription=1 value=990000 "},
      {"not in the receipt", product("other"), 1, "x", std::nullopt, kStart, true, "_iapx",
       "_skv=1 currency=USD price=990000 product_id=other product_name=Title quantity=1 "
       "value=990000 "},
      {"quantity 0: no value", product("coins"), 0, "t1", std::nullopt, kStart, true, "", ""},
      {"no currency", SKProduct{"coins", "T", platform::Decimal::fromString("1"), "", std::nullopt},
       1, "t1", std::nullopt, kStart, true, "", ""},
      {"price past int64 micro-units", product("coins", "10000000000000"), 1, "t1", std::nullopt,
       kStart, true, "", ""},
      {"value past int64 micro-units", product("coins", "1000000000000"), 10, "t1", std::nullopt,
       kStart, true, "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    std::vector<Logged> logged;
    APMInAppPurchaseTransactionReporter reporter({
        [&] { return c.receiptValid; },
        [] { return false; },
        [&] { return receipt; },
        [&](const std::string& name, const APMValueMap& p) {
          logged.push_back({name, p});
        },
    });
    SKPaymentTransaction transaction;
    transaction.transactionState = SKPaymentTransactionState::Purchased;
    transaction.payment = {c.product.productIdentifier, c.quantity};
    transaction.transactionIdentifier = c.transaction;
    transaction.transactionDate = c.date;
    if (c.original) {
      auto original = std::make_shared<SKPaymentTransaction>();
      original->transactionIdentifier = c.original;
      transaction.originalTransaction = original;
    }
    reporter.reportTransactionsFromArray({transaction},
                                         [&](const std::string&) { return c.product; });
    if (c.name.empty()) {
      EXPECT_TRUE(logged.empty());
      continue;
    }
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_EQ(logged[0].name, c.name);
    EXPECT_EQ(describe(logged[0].parameters), c.expected);
  }
}

// An introductory price is applied only where StoreKit has product discounts (iOS 11.2 on);
// before, the offer is marked and the regular price stays.
TEST(APMInAppPurchaseTransactionReporterTest, IntroductoryPricesFromIOS112) {
  testsupport::DispatchTestEnvironment environment;
  const std::vector<APMInAppPurchaseItem> receipt = {
      item("intro", "t9", "t9", 3, kStart, 3001, false, true)};
  struct Case {
    const char* systemVersion;
    std::string expected;
  };
  const Case cases[] = {
      {"11.1",
       "_skv=1 currency=USD price=990000 price_is_discounted=1 product_id=intro "
       "product_name=Title quantity=2 subscription=1 value=1980000 "},
      {"11.2",
       "_skv=1 currency=USD original_price=990000 price=490000 price_is_discounted=1 "
       "product_id=intro product_name=Title quantity=2 subscription=1 value=980000 "},
  };
  const SKProduct offered = product("intro", "0.99",
                                    SKProductDiscount{platform::Decimal::fromString("0.49"),
                                                      SKProductDiscountPaymentMode::PayAsYouGo});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.systemVersion);
    OULAppEnvironmentUtil::setConfiguration(
        OULAppEnvironmentUtil::Configuration{"iPhone10,1", c.systemVersion, false, false});
    std::vector<Logged> logged;
    APMInAppPurchaseTransactionReporter reporter({
        [] { return true; },
        [] { return false; },
        [&] { return receipt; },
        [&](const std::string& name, const APMValueMap& p) {
          logged.push_back({name, p});
        },
    });
    SKPaymentTransaction transaction;
    transaction.transactionState = SKPaymentTransactionState::Purchased;
    transaction.payment = {"intro", 2};
    transaction.transactionIdentifier = "t9";
    transaction.transactionDate = kStart;
    reporter.reportTransactionsFromArray({transaction},
                                         [&](const std::string&) { return offered; });
    OULAppEnvironmentUtil::setConfiguration(std::nullopt);
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_EQ(logged[0].name, "_iap");
    // "_did" aside, which the table above checks.
    logged[0].parameters.erase("_did");
    EXPECT_EQ(describe(logged[0].parameters), c.expected);
  }
}

// StoreKit 2: "validated" only for verified transactions, the sandbox in any letter case, and a
// verified transaction missing from the receipt classified by its own fields.
TEST(APMInAppPurchaseTransactionReporterTest, FacadeTransactions) {
  testsupport::DispatchTestEnvironment environment;
  struct Case {
    const char* label;
    bool verified;
    std::optional<std::string> environmentText;
    std::string name;
    std::string marks;  // "sandbox"/"validated" present
  };
  for (const Case& c :
       std::vector<Case>{{"verified", true, "Production", "_iap", "validated "},
                         {"verified sandbox", true, "SandBox", "_iap", "sandbox validated "},
                         {"xcode", true, "XCODE", "_iap", "sandbox validated "},
                         {"not verified, no receipt", false, std::nullopt, "_iapx", ""}}) {
    SCOPED_TRACE(c.label);
    std::vector<Logged> logged;
    APMInAppPurchaseTransactionReporter reporter({
        [] { return false; },
        [] { return false; },
        [] { return std::vector<APMInAppPurchaseItem>{}; },
        [&](const std::string& name, const APMValueMap& p) {
          logged.push_back({name, p});
        },
    });
    reporter.reportTransactionWithProductID(
        product("coins"), "2000", "2000", std::nullopt, 1, false, false, 1, kStart + 0.7,
        std::nullopt, std::nullopt, std::nullopt, c.environmentText, c.verified);
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_EQ(logged[0].name, c.name);
    std::string marks;
    for (const char* mark : {"sandbox", "validated"}) {
      if (logged[0].parameters.contains(mark)) marks += std::string(mark) + " ";
    }
    EXPECT_EQ(marks, c.marks);
    EXPECT_EQ(logged[0].parameters.at("_skv").description(), "2");
    if (c.verified) {
      EXPECT_EQ(logged[0].parameters.at("_did").int64Value(), md5Low64("2000coins"));
    }
  }
}

TEST(APMInAppPurchaseTransactionReporterTest, FingerprintsAndAmounts) {
  testsupport::DispatchTestEnvironment environment;
  struct Case {
    std::optional<std::string> identifier;
    SKPaymentTransactionState state;
    bool fingerprint;
  };
  for (const Case& c :
       std::vector<Case>{{"1000000123", SKPaymentTransactionState::Purchased, true},
                         {"0-00-0", SKPaymentTransactionState::Purchased, false},
                         {"", SKPaymentTransactionState::Purchased, false},
                         {std::nullopt, SKPaymentTransactionState::Purchased, false},
                         {"1", SKPaymentTransactionState::Restored, false}}) {
    SKPaymentTransaction transaction;
    transaction.transactionState = c.state;
    transaction.transactionIdentifier = c.identifier;
    std::optional<std::string> fingerprint =
        APMInAppPurchaseTransactionReporter::transactionFingerprint(transaction);
    ASSERT_EQ(fingerprint.has_value(), c.fingerprint) << c.identifier.value_or("(nil)");
    if (c.fingerprint) {
      EXPECT_EQ(*fingerprint, python("hashlib.md5(b'" + *c.identifier + "').hexdigest()"));
    }
  }
  EXPECT_FALSE(APMInAppPurchaseTransactionReporter::transactionFingerprint(std::nullopt));
  // Decimal amounts truncated toward zero, as Python's decimal module computes them.
  for (auto [price, quantity] : std::vector<std::pair<const char*, int64_t>>{
           {"0.99", 3}, {"1.0000009", 1}, {"-2.5000001", 2}, {"9223372036854.775807", 1}}) {
    std::string expected = python("int(decimal.Decimal('" + std::string(price) + "') * " +
                                  std::to_string(quantity) + " * 1000000)");
    EXPECT_EQ(
        std::to_string(*APMPurchaseValueMicros(platform::Decimal::fromString(price), quantity)),
        expected)
        << price;
  }
  EXPECT_FALSE(APMPurchaseValueMicros(platform::Decimal::fromString("9223372036854.775808"), 1));
  EXPECT_EQ(APMPurchaseIdentity("", std::nullopt, "p"), -1);
  EXPECT_EQ(APMIA5StringFromDate(kStart + 0.7), "2026-01-01T00:00:00Z");
}

}  // namespace

namespace {

// Both roads through a real store request: products fetched once, a product the store does
// not know drops the report with 21027.
TEST(APMInAppPurchaseTransactionReporterStore, ProductsComeFromTheStore) {
  testsupport::DispatchTestEnvironment environment;
  testsupport::TestHttpServer store;
  const std::string catalogue =
      R"({"products":[{"productIdentifier":"coins","localizedTitle":"Coins",)"
      R"("price":"0.99","currencyCode":"USD"}]})";
  SKProductsRequest::setStoreURL(store.baseURL());
  struct Case {
    const char* label;
    bool facade;
    std::string productID;
    int storeStatus;
    std::string expected;  // the event name, or the log code
  };
  for (const Case& c :
       std::vector<Case>{{"payment queue", false, "coins", 200, "_iapx"},
                         {"facade", true, "coins", 200, "_iap"},
                         {"payment queue, store failing", false, "coins", 500, "I-ACS021027"},
                         {"facade, unknown product", true, "nothing", 200, "I-ACS021027"}}) {
    SCOPED_TRACE(c.label);
    store.respondTo("/storekit/products", {c.storeStatus, {}, catalogue});
    testsupport::LogCapture capture;
    std::promise<std::string> logged;
    APMInAppPurchaseTransactionReporter reporter(
        {[] { return false; }, [] { return false; },
         [] { return std::vector<APMInAppPurchaseItem>{}; },
         [&](const std::string& name, const APMValueMap&) { logged.set_value(name); }},
        APMInAppPurchaseProductCache::create());
    if (c.facade) {
      reporter.reportTransactionWithProductIdentifier(c.productID, "5", "5", std::nullopt, 1, false,
                                                      false, 1, kStart, std::nullopt, std::nullopt,
                                                      std::nullopt, "Production", true);
    } else {
      SKPaymentTransaction transaction;
      transaction.transactionState = SKPaymentTransactionState::Purchased;
      transaction.payment = {c.productID, 1};
      transaction.transactionIdentifier = "5";
      reporter.paymentQueueUpdatedFilteredTransactions({transaction});
    }
    std::future<std::string> future = logged.get_future();
    if (c.expected.starts_with("I-ACS")) {
      // The request's answer is real network time; the log line follows it on the queues.
      for (int i = 0; i < 200 && !capture.contains(c.expected); ++i) {
        environment.waitUntilIdle();
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
      }
      EXPECT_TRUE(capture.contains(c.expected));
      environment.waitUntilIdle();
      EXPECT_EQ(future.wait_for(std::chrono::seconds(0)), std::future_status::timeout);
    } else {
      ASSERT_EQ(future.wait_for(std::chrono::seconds(20)), std::future_status::ready);
      EXPECT_EQ(future.get(), c.expected);
    }
  }
}

// The facade road reads the receipt first: the report classifies against the receipt as it
// was when the transaction came, however long the store takes with the product.
TEST(APMInAppPurchaseTransactionReporterStore, FacadeReadsTheReceiptBeforeAskingTheStore) {
  testsupport::DispatchTestEnvironment environment;
  testsupport::TestHttpServer store;
  store.respondTo("/storekit/products",
                  {200,
                   {},
                   R"({"products":[{"productIdentifier":"coins","localizedTitle":"C",)"
                   R"("price":"0.99","currencyCode":"USD"}]})"});
  SKProductsRequest::setStoreURL(store.baseURL());
  std::atomic<long> storeRequestsAtReceipt{-1};
  std::promise<std::string> logged;
  APMInAppPurchaseTransactionReporter reporter(
      {[] { return true; }, [] { return false; },
       [&] {
         storeRequestsAtReceipt = static_cast<long>(store.requestCount());
         return std::vector<APMInAppPurchaseItem>{};
       },
       [&](const std::string& name, const APMValueMap&) { logged.set_value(name); }},
      APMInAppPurchaseProductCache::create());
  reporter.reportTransactionWithProductIdentifier("coins", "9", "9", std::nullopt, 1, false, false,
                                                  1, kStart, std::nullopt, std::nullopt,
                                                  std::nullopt, std::nullopt, true);
  EXPECT_EQ(storeRequestsAtReceipt.load(), 0);  // read on the caller's thread, first
  std::future<std::string> future = logged.get_future();
  ASSERT_EQ(future.wait_for(std::chrono::seconds(20)), std::future_status::ready);
  EXPECT_EQ(future.get(), "_iap");
  EXPECT_EQ(store.requestCount(), 1u);
  environment.waitUntilIdle();
}

}  // namespace
