// The scheme of every configured service host: plain http only where the host is this
// machine's loopback, https for any other, whatever the host text looks like.
#include <gtest/gtest.h>

#include <string>

#include "AppMeasurement/features/APMETaskManager.h"
#include "AppMeasurement/features/APMSearchAdReporter.h"
#include "AppMeasurement/foundation/APMRemoteConfig.h"
#include "tests/support/ClosedPort.h"

namespace {

TEST(ServiceHostSchemeTest, PlainHttpOnlyForALoopbackHost) {
  struct Case {
    const char* host;
    const char* scheme;
  };
  const Case cases[] = {
      {"127.0.0.1:8970", "http://"},
      {"127.0.0.1", "http://"},
      {"localhost:8970", "http://"},
      {"LOCALHOST:8970", "http://"},
      {"[::1]:8970", "http://"},
      {"app-measurement.example.com", "https://"},
      // The userinfo is not the host: the request would go to 192.0.2.2.
      {"127.0.0.1:80@192.0.2.2", "https://"},
      {"localhost@192.0.2.2:8970", "https://"},
      // Names that only start like a loopback host.
      {"127.0.0.1.example.com", "https://"},
      {"localhost.example.com:8970", "https://"},
      {"[::1].example.com", "https://"},
      {"127.0.0.1.:8970", "https://"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.host);
    const std::string base = std::string(c.scheme) + c.host;
    EXPECT_EQ(APMRemoteConfig::baseURLWithHost(c.host), base);
    APMRemoteConfig::setHosts({c.host, c.host, c.host});
    EXPECT_EQ(APMETaskManager::fetchURL(), base + "/sdk-exp");
    APMSearchAdReporter::setAttributionServiceHost(c.host);
    EXPECT_EQ(APMSearchAdReporter::attributionServiceURL(), base + "/api/v1/");
  }
  APMRemoteConfig::setHosts(testsupport::processClosedHosts<APMRemoteConfig::Hosts>());
  APMSearchAdReporter::setAttributionServiceHost(testsupport::processClosedPort().host());
}

}  // namespace
