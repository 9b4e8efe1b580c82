// What the measurement service hands back to the system after an upload or a view of the uploads
// page, told by the size the request took in memory, not only by its bytes on the wire. The service
// runs in this process, on 127.0.0.1, so that its server's count of hand-backs can be read; the
// gzip tool compresses.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/support/ProtobufWire.h"
#include "tests/support/ServiceProcess.h"
#include "tools/measurement-service/MeasurementService.h"

namespace {

using testsupport::httpRequest;
using testsupport::lengthDelimited;

// A batch of one bundle whose platform text (MeasurementBundle field 8) is `bytes` letters.
std::string batchOf(size_t bytes) {
  return lengthDelimited(1, lengthDelimited(8, std::string(bytes, 'p')));
}

std::string gzipped(const std::string& data) { return testsupport::runCommand("gzip -c", data); }

// A gzip upload of 10 KB can inflate to 10 MiB, which its decoding holds as a body of that size
// would: the server hands memory back after it as after a large body (the count goes up before
// the answer is written), and not after a small upload. Counted in sanitizer builds too, which
// hand nothing back.
TEST(UploadHandBackTest, AGzipUploadIsHandedBackByItsInflatedSize) {
  const std::filesystem::path data =
      std::filesystem::temp_directory_path() / ("kvl-ms-memory-" + std::to_string(::getpid()));
  std::filesystem::remove_all(data);
  {
    measurement_service::MeasurementService::Options options;
    options.dataDirectory = data.string();
    measurement_service::MeasurementService service(options);
    const std::string large = batchOf(size_t{1} << 20);
    struct Case {
      const char* name;
      std::string body;
      long status;
      bool handedBack;
    };
    const Case cases[] = {
        {"gzip inflating to a mebibyte", gzipped(large), 204, true},
        {"gzip inflating to 512 KiB", gzipped(batchOf(size_t{512} << 10)), 204, false},
        {"gzip inflating past the 10 MiB a batch may be", gzipped(batchOf(size_t{11} << 20)), 413,
         true},
        {"a mebibyte not compressed", large, 204, true},
        {"a small upload", batchOf(1000), 204, false},
    };
    for (const Case& c : cases) {
      SCOPED_TRACE(c.name);
      const uint64_t before = service.server().handBacks();
      EXPECT_EQ(httpRequest("POST", service.baseURL() + "/a", {}, c.body).status, c.status);
      EXPECT_EQ(service.server().handBacks() - before, c.handedBack ? 1u : 0u)
          << c.body.size() << " bytes on the wire";
    }
  }
  std::filesystem::remove_all(data);
}

// A view of the uploads page sends no body, yet its reads can go through megabytes: SQLite loads
// each stored text whole to give the page its start. A view that held a mebibyte or more says so
// in its answer's heldBytes, and the server hands memory back after it (counted before the
// answer is written); a view of small uploads does not.
TEST(UploadHandBackTest, AViewIsHandedBackByWhatItsReadsHeld) {
  const std::filesystem::path data =
      std::filesystem::temp_directory_path() / ("kvl-ms-view-" + std::to_string(::getpid()));
  // A batch of one bundle whose app id (field 14) is `appID`, with one event named `name`.
  auto bundleOf = [](const std::string& appID, const std::string& name) {
    return lengthDelimited(
        1, lengthDelimited(14, appID) +
               lengthDelimited(2, lengthDelimited(2, name) + testsupport::key(3, 0) +
                                      testsupport::varint(1000)));
  };
  const std::string mebibyte(size_t{1} << 20, 'n');
  struct Case {
    const char* name;
    std::vector<std::string> uploads;
    bool handedBack;
  };
  const Case cases[] = {
      {"an ordinary upload", {bundleOf("1:42:ios:abc", "purchase")}, false},
      {"an event name of a mebibyte", {bundleOf("app", mebibyte)}, true},
      {"an app id of a mebibyte", {bundleOf(mebibyte, "e")}, true},
      {"a bundle's JSON of a mebibyte", {batchOf(size_t{1} << 20)}, true},
      {"twenty names of 64 KiB",
       std::vector<std::string>(20, bundleOf("app", std::string(size_t{64} << 10, 'm'))), true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(data);
    measurement_service::MeasurementService::Options options;
    options.dataDirectory = data.string();
    measurement_service::MeasurementService service(options);
    for (const std::string& upload : c.uploads) {
      ASSERT_EQ(httpRequest("POST", service.baseURL() + "/a", {}, upload).status, 204);
    }
    const uint64_t before = service.server().handBacks();
    auto page = httpRequest("GET", service.baseURL() + "/",
                            {"X-Service-Token: " + service.server().controlToken()});
    EXPECT_EQ(page.status, 200);
    EXPECT_LT(page.body.size(), size_t{1} << 20) << "the page alone is small";
    EXPECT_EQ(service.server().handBacks() - before, c.handedBack ? 1u : 0u);
  }
  std::filesystem::remove_all(data);
}

}  // namespace
