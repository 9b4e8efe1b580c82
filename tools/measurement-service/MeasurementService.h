#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "tools/loopback-http/LoopbackHttpServer.h"
#include "tools/loopback-http/ScriptedService.h"
#include "tools/measurement-service/ConfigurationStore.h"
#include "tools/measurement-service/ExperimentEndpoint.h"
#include "tools/measurement-service/UploadStore.h"

namespace measurement_service {

// The local measurement service: what the measurement library talks to on a developer's
// machine and in tests, on 127.0.0.1.
//   GET  /config/app/<app id>?...   the app's stored configuration (encoded MeasurementConfig)
//                                   with ETag and Last-Modified; 304 when the request's
//                                   If-None-Match or If-Modified-Since still match; 404 when the
//                                   app has none
//   POST /a                         an upload: kept, decoded into the upload store, 204; a body
//                                   that does not decode is kept too and answered 400
//   GET  /                          a page listing what arrived
//   GET  /uploads.json              the latest uploads as JSON
//   PUT  /_control/config/<app id>  stores a configuration (JSON form or encoded bytes)
//   DELETE /_control/config/<app id>
//   POST /sdk-exp and the experiment pages      see ExperimentEndpoint
// plus the scripting and request-record endpoints of loopback::ScriptedService.
class MeasurementService {
 public:
  struct Options {
    uint16_t port = 0;            // 0: a free port
    std::string dataDirectory;    // holds "uploads.sqlite"; created when missing
    std::string configDirectory;  // "<app id>.json" / "<app id>.pb" files; empty: none
  };

  // Loads the configurations and starts serving. Throws std::runtime_error on a bad option.
  explicit MeasurementService(const Options& options);

  uint16_t port() const { return server_->port(); }
  std::string baseURL() const { return server_->baseURL(); }
  loopback::ScriptedService& scripted() { return service_; }
  ConfigurationStore& configurations() { return configurations_; }
  UploadStore& uploads() { return *uploads_; }

 private:
  loopback::HttpResponse configuration(const loopback::HttpRequest& request) const;
  loopback::HttpResponse upload(const loopback::HttpRequest& request);
  loopback::HttpResponse page() const;

  ConfigurationStore configurations_;
  std::unique_ptr<UploadStore> uploads_;
  std::string storeCatalogue_;  // the JSON answer of "/storekit/products"
  std::unique_ptr<ExperimentEndpoint> experiments_;
  loopback::ScriptedService service_;
  std::unique_ptr<loopback::LoopbackHttpServer> server_;  // last: stops before the rest goes
};

// "%XX" sequences of a URL path segment decoded; nullopt when one is malformed.
std::optional<std::string> percentDecode(std::string_view text);
// An HTTP date ("Sun, 06 Nov 1994 08:49:37 GMT") and back (nullopt when unparsable).
std::string httpDate(std::time_t time);
std::optional<std::time_t> parseHttpDate(const std::string& text);

}  // namespace measurement_service
