#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>

#include "tools/loopback-http/LoopbackHttpServer.h"
#include "tools/loopback-http/ScriptedService.h"

namespace link_service {

// The local login-and-link service the app's social-login and dynamic-links stand-ins talk to,
// on 127.0.0.1. Every request is recorded and any path's answer can be scripted
// (ScriptedService's "/_control/" endpoints).
//
// Links:
//   POST /v1/shortLinks         {"longDynamicLink": URL} -> {"shortLink": "<scheme>://<host>/s<n>",
//                                "warning": []}; 400 without a long link, 413 for one over
//                                kMaxLongLinkBytes
//   POST /v1/reopenAttribution  {"requestedLink": short link} -> {"deepLink": the long link's
//                                "link" item} for a short link it made, else {}
// Social login:
//   POST /v1/login {permissions, tracking, nonce?} -> a fixed test user's tokens and profile
//   POST /v1/reauthorize -> a fresh access token;  GET /v1/graph/<path>?... -> {"id", "path",
//   "query"};  POST /v1/app_events, POST /v1/aem -> {}
// Thread-safe: routes run on the server's thread.
class LinkService {
 public:
  explicit LinkService(const loopback::LoopbackHttpServer::Options& options);
  // The most short links it keeps, and the most bytes of links in all; past either the oldest
  // is forgotten (resolving it answers {}).
  static constexpr size_t kMaxShortLinks = 10000;
  static constexpr size_t kMaxLinkBytes = size_t{16} << 20;
  // The longest long link it takes: the links an app makes are a few hundred bytes, and browsers
  // cut URLs near this.
  static constexpr size_t kMaxLongLinkBytes = size_t{64} << 10;
  // Bodies above this are refused (413) before they are read whole.
  static constexpr uint64_t kMaxBodyBytes = uint64_t{1} << 20;
  std::string baseURL() const { return server_.baseURL(); }

 private:
  loopback::HttpResponse shorten(const loopback::HttpRequest& request);
  loopback::HttpResponse resolve(const loopback::HttpRequest& request);

  std::mutex mutex_;
  std::map<std::string, std::string> longLinks_;  // short -> long; guarded by mutex_
  std::deque<std::string> shortLinks_;            // in order made; guarded by mutex_
  size_t linkBytes_ = 0;  // of the short and long links kept; guarded by mutex_
  uint64_t next_ = 1;     // guarded by mutex_
  loopback::ScriptedService service_;
  loopback::LoopbackHttpServer server_;
};

}  // namespace link_service
