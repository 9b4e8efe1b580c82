// The monitor's class operations: level table, keys, context encoding, console text.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

#include "AppMeasurement/foundation/APMASLLogger.h"
#include "AppMeasurement/foundation/APMMonitor.h"

namespace {

TEST(APMMonitorLevels, TableOfLevels) {
  struct Row {
    int level;
    OULLoggerLevel utilities;
    const char* name;  // nullptr: none
    bool silent;
    bool monitorable;
  };
  const Row rows[] = {
      {0, OULLoggerLevelError, "ERROR", false, false},
      {1, OULLoggerLevelError, "ERROR", false, true},
      {2, OULLoggerLevelError, "ERROR", true, true},
      {3, OULLoggerLevelWarning, "WARNING", false, false},
      {4, OULLoggerLevelWarning, "WARNING", false, true},
      {5, OULLoggerLevelWarning, "WARNING", true, true},
      {6, OULLoggerLevelNotice, "NOTICE", false, false},
      {7, OULLoggerLevelDebug, "DEBUG", false, false},
      {8, OULLoggerLevelDebug, nullptr, false, false},
      {9, OULLoggerLevelWarning, nullptr, true, true},
      {42, OULLoggerLevelWarning, nullptr, true, true},
      {std::numeric_limits<int>::max(), OULLoggerLevelWarning, nullptr, true, true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.level);
    EXPECT_EQ(APMASLLogger::OULLoggerLevelFromLogLevel(row.level), row.utilities);
    auto name = APMMonitor::logLevelDescriptionFromLogLevel(row.level);
    if (row.name) {
      EXPECT_EQ(name, row.name);
    } else {
      EXPECT_FALSE(name.has_value());
    }
    EXPECT_EQ(APMMonitor::isSilentLevel(row.level), row.silent);
    EXPECT_EQ(APMMonitor::isMonitorableLevel(row.level), row.monitorable);
  }
}

TEST(APMMonitorKeys, HealthDataKeyCarriesLetterVersionAndMessage) {
  EXPECT_EQ(APMMonitor::monitoringDataKeyWithMessage("M", 4, 111500), "1W_111500:M");
  EXPECT_EQ(APMMonitor::monitoringDataKeyWithMessage("Failed", 0, 111500), "1E_111500:Failed");
  EXPECT_EQ(APMMonitor::monitoringDataKeyWithMessage("x", 2, 7), "1E_7:x");
  EXPECT_EQ(APMMonitor::monitoringDataKeyWithMessage("x", 5, 7), "1W_7:x");
  EXPECT_EQ(APMMonitor::monitoringDataKeyWithMessage("x", 9, 7), "1?_7:x");
  EXPECT_EQ(APMMonitor::monitoringDataKeyWithMessage("x", -1, 7), "1?_7:x");
  EXPECT_EQ(APMMonitor::monitoringDataKeyWithMessage("", 1, 111500), "1E_111500:");
}

TEST(APMMonitorEncoding, OneContext) {
  struct Case {
    APMLogContext context;
    const char* encoded;
  };
  const int64_t kMax = std::numeric_limits<int64_t>::max();
  const int64_t kMin = std::numeric_limits<int64_t>::min();
  const Case cases[] = {
      {APMLogContext(), ""},
      {APMLogContext(nullptr), ""},
      {APMLogContext("personal@example.com"), "-"},
      {APMLogContext(""), "-"},
      {APMLogContext(0), "0"},
      {APMLogContext(42), "42"},
      {APMLogContext(99), "99"},
      {APMLogContext(-99), "-99"},
      {APMLogContext(100), "100...999"},
      {APMLogContext(-100), "-999...-100"},
      {APMLogContext(1234), "1000...9999"},
      {APMLogContext(-1234), "-9999...-1000"},
      {APMLogContext(999999999999999999LL), "100000000000000000...999999999999999999"},
      {APMLogContext(1000000000000000000LL), "1000000000000000000...9223372036854775807"},
      {APMLogContext(kMax), "1000000000000000000...9223372036854775807"},
      {APMLogContext(kMin), "-9223372036854775807...-1000000000000000000"},
      {APMLogContext(true), "1"},
      {APMLogContext(false), "0"},
      {APMLogContext(42.9), "42"},
      {APMLogContext(-3.5), "-3"},
      {APMLogContext(99.5), "10...99"},
      {APMLogContext(1234.5), "1000...9999"},
      {APMLogContext(-0.001), "0"},
      {APMLogContext(1e300), "9223372036854775807...9223372036854775807"},
      {APMLogContext(std::numeric_limits<double>::quiet_NaN()), "?"},
      {APMLogContext(std::numeric_limits<double>::infinity()), "?"},
      {APMLogContext(platform::Value::date(5)), "?"},
      {APMLogContext(platform::Value::Array{platform::Value(1)}), "?"},
      {APMLogContext(platform::Value::bytes("x")), "?"},
      {APMLogContext(apm_errorWithCode(3, "x")), "com.orvane.rzq.measurement.ErrorDomain"},
      {APMLogContext(APMError("", 3)), "-"},
      {APMLogContext(platform::Exception("NSGenericException", "boom")), "NSGenericException"},
      {APMLogContext(APMLogContext::ExceptionInfo{"", "boom", {}}), "-"},
      {APMLogContext::object("APMEvent", "name=_s"), "?"},
  };
  for (size_t i = 0; i < std::size(cases); ++i) {
    EXPECT_EQ(APMMonitor::encodedStringWithContextObject(cases[i].context), cases[i].encoded)
        << "case " << i;
  }
}

TEST(APMMonitorEncoding, ArrayJoinsWithOrWithoutSpaces) {
  std::vector<APMLogContext> contexts{"abc", 42, 1234};
  EXPECT_EQ(APMMonitor::encodedStringWithContextArray(contexts, true), "-, 42, 1000...9999");
  EXPECT_EQ(APMMonitor::encodedStringWithContextArray(contexts, false), "-,42,1000...9999");
  EXPECT_EQ(APMMonitor::encodedStringWithContextArray({}, true), "");
  EXPECT_EQ(APMMonitor::encodedStringWithContextArray({APMLogContext(), 1}, false), ",1");
}

TEST(APMMonitorText, ConsoleText) {
  EXPECT_EQ(APMMonitor::stringWithLogMessage(std::nullopt, 6, {}, false), "(Message was nil)");
  EXPECT_EQ(APMMonitor::stringWithLogMessage("", 6, {}, false), "(Message was empty)");
  EXPECT_EQ(APMMonitor::stringWithLogMessage("Plain", 6, {}, true), "Plain");
  EXPECT_EQ(APMMonitor::stringWithLogMessage("Values", 6, {"abc", 42, 1234}, true),
            "Values: -, 42, 1000...9999");
  EXPECT_EQ(APMMonitor::stringWithLogMessage("Values", 6, {"abc", 42, 1234}, false),
            "Values: abc, 42, 1234");
  EXPECT_EQ(APMMonitor::stringWithLogMessage("Nil", 6, {APMLogContext()}, false), "Nil: (nil)");
  EXPECT_EQ(APMMonitor::stringWithLogMessage(
                "Obj", 6, {APMLogContext::object("APMEvent", "name=_s, params={}")}, false),
            "Obj: name=_s, params={}");
  int anchor = 0;
  std::string fallback = APMMonitor::stringWithLogMessage(
      "Obj", 6, {APMLogContext::object("APMThing", std::nullopt, &anchor)}, false);
  EXPECT_EQ(fallback.rfind("Obj: <APMThing 0x", 0), 0u) << fallback;
  EXPECT_EQ(fallback.back(), '>');
  EXPECT_EQ(APMMonitor::stringWithLogMessage(
                "Ex", 1, {platform::Exception("NSInvalidArgumentException", "bad")}, false),
            "Ex: NSInvalidArgumentException: bad");
  std::string error = APMMonitor::stringWithLogMessage(
      "Err", 1, {apm_errorWithCode(3, "Transaction failed")}, false);
  EXPECT_NE(error.find("Code=3"), std::string::npos);
  EXPECT_NE(error.find("Transaction failed"), std::string::npos);
}

TEST(APMMonitorText, LastMeasurementSymbolOfAnException) {
  APMLogContext::ExceptionInfo exception{"NSRangeException", "index", {}};
  EXPECT_EQ(APMMonitor::lastAPMSymbolFromException(exception), "NSRangeException");

  exception.callStackSymbols = {
      "0   CoreFoundation   0x0000000180 __exceptionPreprocess + 164",
      "1   libobjc.A.dylib  0x0000000181 -[APMNotThis one] + 56",
      "2   CoreFoundation   0x0000000182 -[NSArray objectAtIndex:] + 20",
      "3   short line",
      "4   MyApp            0x0000000183 -[APMMeasurement handleEventOnWorkerQueue:] + 300",
      "5   MyApp            0x0000000184 apmHelper + 12",
  };
  EXPECT_EQ(APMMonitor::lastAPMSymbolFromException(exception),
            "-[APMMeasurement handleEventOnWorkerQueue:]");

  exception.callStackSymbols[4] = "4   MyApp   0x0000000183 main + 300";
  EXPECT_EQ(APMMonitor::lastAPMSymbolFromException(exception), "apmHelper");  // case-insensitive

  // Fewer than three lines: the name, even when an earlier line would match.
  exception.callStackSymbols = {"0 a b -[APMX y] + 1", "1 a b -[APMX y] + 1"};
  EXPECT_EQ(APMMonitor::lastAPMSymbolFromException(exception), "NSRangeException");
  EXPECT_EQ(APMMonitor::encodedStringWithContextObject(APMLogContext(exception)),
            "NSRangeException");
}

}  // namespace
