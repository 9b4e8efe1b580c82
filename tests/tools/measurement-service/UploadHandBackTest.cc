// What the measurement service hands back to the system after an upload, told by the size the
// upload took in memory, not only by its bytes on the wire. The service runs in this process,
// on 127.0.0.1, so that its server's count of hand-backs can be read; the gzip tool compresses.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>

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

}  // namespace
