#pragma once

#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "tools/loopback-http/ScriptedService.h"

class PSMServer;

namespace measurement_service {

// The ad-conversion endpoints of the local measurement service (deferred deep link,
// SKAdNetwork conversion values, private set membership and on-device conversion):
//   GET  /pagead/conversion/app/deeplink?...  the deferred deep link set below (JSON, 200), or
//                                             204 with no body when none is set
//   POST /skan                                decodes a SkAdNetworkConversionValueRequest (400
//                                             when it does not decode) and answers the encoded
//                                             SkAdNetworkConversionValueResponse set below
//                                             (by default status NO_UPDATE); gzip-compressed
//                                             when the request accepts gzip and the answer asks
//                                             for it. As a real service, it gives an app
//                                             instance an UPDATE once per conversion value
//                                             (fine, coarse, lock window): asked again, that
//                                             instance gets NO_UPDATE until another value is
//                                             set. A request without an app instance
//                                             identifier gets the answer every time.
//   POST /pagead/conversion/app/psm, GET /odm/config, POST /odm/psm, POST /odm/validate
//                                             answered by psm-server's handler when a member
//                                             file was given (404 otherwise)
// Control endpoints (unrecorded):
//   PUT /_control/deeplink   the body is the deep-link answer, kept as sent; empty removes it
//   PUT /_control/skan       {"response": {<SkAdNetworkConversionValueResponse as JSON>},
//                             "gzip": true, "content_encoding": "GZIP"}; within "response",
//                             "expiry_in_seconds" and "event_age_seconds" set the two times
//                             relative to the moment of each answer
// Thread-safe: routes run on the server's thread while tests script from theirs.
class AdConversionService {
 public:
  struct Options {
    std::string deepLinkFile;  // a deferred deep-link answer to start with; empty: none
    std::string skanFile;      // a /_control/skan JSON to start with; empty: none
    std::string psmMembers;    // psm-server's member file; empty: no PSM or ODC endpoints
  };

  // Throws std::runtime_error when a file cannot be read or parsed.
  explicit AdConversionService(const Options& options);
  ~AdConversionService();

  // Adds the routes to `service` (before it serves).
  void install(loopback::ScriptedService& service);

 private:
  loopback::HttpResponse deepLink(const loopback::HttpRequest& request) const;
  loopback::HttpResponse skan(const loopback::HttpRequest& request);
  loopback::HttpResponse setSkan(const loopback::HttpRequest& request);
  // Whether `instance` was given `value` already; remembers it as given otherwise. Holds
  // mutex_.
  bool alreadyGiven(const std::string& instance, const std::string& value);

  // The app instances remembered (the oldest is forgotten beyond this), and the longest
  // identifier remembered (the library's are 32 characters; a longer one is answered as one
  // without an identifier).
  static constexpr size_t kMaxRememberedInstances = 10000;
  static constexpr size_t kMaxInstanceIDLength = 128;

  mutable std::mutex mutex_;
  std::optional<std::string> deepLink_;  // guarded by mutex_
  nlohmann::ordered_json skan_;          // guarded by mutex_; null: NO_UPDATE
  // The conversion value last given to each app instance, and the instances oldest first;
  // guarded by mutex_.
  std::map<std::string, std::string> givenSkanValues_;
  std::deque<std::string> givenSkanOrder_;
  std::unique_ptr<PSMServer> psm_;       // thread-safe itself
};

// gzip (RFC 1952) of bytes.
std::string gzipCompress(std::string_view data);

}  // namespace measurement_service
