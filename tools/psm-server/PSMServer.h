#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "absl/status/statusor.h"
#include "platform/foundation/JSONBounds.h"
#include "tools/loopback-http/LoopbackHttpServer.h"
#include "tools/loopback-http/RequestLog.h"
#include "tools/psm-server/PSMServerConfig.h"
#include "tools/psm-server/PSMServerDatabase.h"

// psm-server: the private-set-membership and on-device conversion service of our own, over
// HTTP/1.1 on 127.0.0.1 (Boost.Beast). Endpoints:
//   POST /pagead/conversion/app/psm  {"psm_request"} -> {"psm_response"}  (older flow)
//   GET  /odm/config                 -> the "odm" config, or 204 with no body without one
//   POST /odm/psm                    {"psm_request", "odmed"} -> {"psm_response"}
//   POST /odm/validate               {"mvs", "odmed"} -> {"mv_oa4k", "mv_aaps"}; 400 when no
//                                    value of the MVs belongs to an install
// A JSON body beyond kRequestJSONBounds gets 413 with the reason (measured before any parse);
// malformed requests get 400. Served by loopback::LoopbackHttpServer (its Host check, read
// deadline, connection cap and limits hold here too), bodies up to kMaxBodyBytes. Every method
// is thread-safe.
class PSMServer {
 public:
  // Listens on 127.0.0.1:port (0: a free port) and starts serving.
  static absl::StatusOr<std::unique_ptr<PSMServer>> start(PSMServerConfig config,
                                                          uint16_t port = 0);
  static absl::StatusOr<std::unique_ptr<PSMServer>> start(
      PSMServerConfig config, loopback::LoopbackHttpServer::Options options);
  // A request of the largest size a client sends (10000 entries) fits several times over.
  static constexpr uint64_t kMaxBodyBytes = uint64_t{8} << 20;
  // A request is one small object: a parse costs memory per value, not per byte.
  static constexpr platform::JSONBounds kRequestJSONBounds{8, 64};
  ~PSMServer();
  PSMServer(const PSMServer&) = delete;
  PSMServer& operator=(const PSMServer&) = delete;

  uint16_t port() const;
  std::string baseURL() const;
  // The targets ("/odm/config?...") of the recent requests, in order: the last 1000 at most.
  std::vector<std::string> targets() const;
  // The next `count` requests to `path` are answered with `status` and an empty body.
  void failNext(const std::string& path, int status, int count);
  void stop();

  // The answer to one request (what the HTTP layer calls); public for the fuzz target.
  struct Answer {
    int status = 200;
    std::string body;
    std::string contentType = "application/json";  // of a body that is not empty
  };
  Answer handle(const std::string& method, const std::string& target, const std::string& body);

 private:
  explicit PSMServer(PSMServerConfig config);

  PSMServerConfig config_;
  std::unique_ptr<PSMServerDatabase> olderFlow_;
  std::unique_ptr<PSMServerDatabase> odm_;
  loopback::RequestLog log_{{1000, size_t{64} << 10, size_t{16} << 20}};
  mutable std::mutex mutex_;
  std::map<std::string, std::pair<int, int>> failures_;  // path -> (status, count); mutex_
  std::unique_ptr<loopback::LoopbackHttpServer> http_;   // last: stops before the rest goes
};
