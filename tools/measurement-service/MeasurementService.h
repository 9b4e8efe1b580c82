#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/net/PageSession.h"
#include "tools/loopback-http/LoopbackHttpServer.h"
#include "tools/loopback-http/ScriptedService.h"
#include "tools/measurement-service/AdConversionService.h"
#include "tools/measurement-service/AttributionService.h"
#include "tools/measurement-service/ConfigurationStore.h"
#include "tools/measurement-service/ExperimentEndpoint.h"
#include "tools/measurement-service/PageKeys.h"
#include "tools/measurement-service/UploadStore.h"

namespace measurement_service {

// The header in which the uploads page sends the key of the address it opened (PageKeys).
inline constexpr const char* kPageKeyHeader = "X-Page-Key";

// The local measurement service: what the measurement library talks to on a developer's
// machine and in tests, on 127.0.0.1.
//   GET  /config/app/<app id>?...   the app's stored configuration (encoded MeasurementConfig)
//                                   with ETag and Last-Modified; 304 when the request's
//                                   If-None-Match or If-Modified-Since still match; 404 when the
//                                   app has none
//   POST /a                         an upload: kept, decoded into the upload store, 204; a body
//                                   that does not decode is kept too and answered 400; one that
//                                   is (or inflates) beyond kMaxInflatedUploadBytes, or holds
//                                   more bundles or events than the library sends
//                                   (UploadStore), is kept undecoded and answered 413
//   GET  /?before=ID                a page listing what arrived, kPageUploads uploads newest
//                                   first (those below ID) in at most UploadsPage::kMaxBytes,
//                                   linking to the older ones; each shows what kPageBounds reads
//                                   of it (other GET paths: 404)
//   GET  /uploads.json?before=ID&limit=N
//                                   the latest N uploads (default 100) below ID as JSON, in
//                                   about kMaxUploadsJsonBytes: when uploads were left out for
//                                   size, "X-More-Before" names the ID to go on from
//   POST /_control/page-url         {"url": newPageURL()}
// What arrived is the developer's: uploads carry app instance ids and user ids. The pages that
// show it ("/", "/uploads.json", "/experiments") answer only a browser that opened an address
// of newPageURL() or a request with the control token ("X-Service-Token"); anyone else gets
// 403. The address's one-time secret is traded for this run's session cookie, a redirect to
// "/", as the app's page does it (platform::PageSession). Browsers send that cookie to every
// port of 127.0.0.1, so it opens no data on its own: with it alone each of the pages is a
// script without data, which asks again with the key of the address's fragment (kPageKeyHeader,
// PageKeys) and shows the answer. The data folder is the user's only (0700, its files 0600).
//   POST /api/v1/                   search-ads attribution, answered per token
//                                   (AttributionService, with its control endpoints)
//   PUT  /_control/config/<app id>  stores a configuration (JSON form or encoded bytes)
//   DELETE /_control/config/<app id>
//   POST /sdk-exp and the experiment pages      see ExperimentEndpoint
// plus the deferred deep link, SKAdNetwork and on-device conversion endpoints of
// AdConversionService and the scripting and request-record endpoints of
// loopback::ScriptedService.
class MeasurementService {
 public:
  // The largest batch the library ever uploads (the ceiling of its
  // "measurement.upload.max_batch_size"): a gzip body is inflated no further than this.
  static constexpr size_t kMaxInflatedUploadBytes = 10485760;
  // Bodies above this are refused (413) before they are read whole.
  static constexpr uint64_t kMaxBodyBytes = uint64_t{16} << 20;
  // The bytes of the request bodies being read or handled at once, across every connection
  // (LoopbackHttpServer's maxBodyBytes): a body past 256 KiB is kept in an unnamed file in the
  // data folder, so this bounds the disk they take (as much as the store keeps by default);
  // memory holds at most 256 KiB of each body being read. Four peers that each send 16 MiB
  // and then hold it take a sixteenth; it takes 64 to fill it, and then a body waits for room
  // as the server's budget has it (503 after 5 s unless it is the next to get room).
  static constexpr size_t kMaxHeldBodyBytes = size_t{1} << 30;
  // Bodies of other requests than uploads, the PSM paths and control requests: 413 above this.
  static constexpr size_t kMaxSmallBodyBytes = size_t{256} << 10;
  // The page "/": uploads per page, and what is read of each (bundles shown, their event names,
  // the characters of each name, app id and error, and of each bundle's JSON). The page's text
  // is at most UploadsPage::kMaxBytes: past it the page lists no more and links on.
  static constexpr size_t kPageUploads = 20;
  static constexpr UploadStore::SummaryBounds kPageBounds{
      .bundles = 20,
      .names = 50,
      .textCharacters = 256,
      .errorCharacters = 1024,
      .jsonCharacters = 16 << 10,
  };
  // "/uploads.json" adds uploads while its answer is under this (the first always). Answers
  // that peers leave unread are bounded in all by the server (LoopbackHttpServer's
  // maxUnsentBytes); this keeps one page a small share of that.
  static constexpr size_t kMaxUploadsJsonBytes = size_t{4} << 20;

  struct Options {
    loopback::LoopbackHttpServer::Options server;  // port (0: a free one), deadline, cap
    std::string dataDirectory;                     // holds "uploads.sqlite"; created when missing
    uint64_t maxStoredBytes = UploadStore::kDefaultMaxStoredBytes;  // of the upload store
    std::string configDirectory;  // "<app id>.json" / "<app id>.pb" files; empty: none
    AdConversionService::Options adConversion;  // deferred deep link, SKAdNetwork, PSM, ODC
  };

  // Loads the configurations and starts serving. Throws std::runtime_error on a bad option.
  explicit MeasurementService(const Options& options);

  uint16_t port() const { return server_->port(); }
  // The uploads page's address with a new one-time secret and a key ("http://127.0.0.1:<port>/
  // ?secret=<32 hex digits>#key=<32 hex digits>"): the first browser that opens it gets the
  // session, and its page the key. At most platform::PageSession::kMaxUnspentSecrets unspent
  // ones are kept. Any thread.
  std::string newPageURL();
  std::string baseURL() const { return server_->baseURL(); }
  loopback::ScriptedService& scripted() { return service_; }
  ConfigurationStore& configurations() { return configurations_; }
  UploadStore& uploads() { return *uploads_; }
  const loopback::LoopbackHttpServer& server() const { return *server_; }

 private:
  loopback::HttpResponse configuration(const loopback::HttpRequest& request) const;
  loopback::HttpResponse upload(const loopback::HttpRequest& request);
  loopback::HttpResponse page(const loopback::HttpRequest& request) const;
  // The answer to a request for one of the owner's pages that does not come from the owner
  // (no session cookie, no control token: 403), to one with the session cookie but not the
  // page's key (the page's script, no data), or to one that spends a page secret; nothing when
  // the page's data may be answered.
  std::optional<loopback::HttpResponse> refuseOthers(const loopback::HttpRequest& request);

  // Who may read the owner's pages: set once the server's port is known, before which nobody
  // may.
  struct Owner {
    Owner(std::string cookieName, std::string token)
        : pages(std::move(cookieName)), controlToken(std::move(token)) {}
    platform::PageSession pages;  // the attached value of each secret is its address's key
    PageKeys keys;                // of the addresses whose secret was spent
    const std::string controlToken;
  };

  ConfigurationStore configurations_;
  AttributionService attribution_;
  std::unique_ptr<UploadStore> uploads_;
  std::string storeCatalogue_;  // the JSON answer of "/storekit/products"
  std::unique_ptr<ExperimentEndpoint> experiments_;
  loopback::ScriptedService service_;
  std::unique_ptr<AdConversionService> adConversion_;
  std::unique_ptr<Owner> ownerStorage_;
  std::atomic<Owner*> owner_{nullptr};  // ownerStorage_ once set; read on the handler threads
  std::unique_ptr<loopback::LoopbackHttpServer> server_;  // last: stops before the rest goes
};

// An HTTP date ("Sun, 06 Nov 1994 08:49:37 GMT") and back (nullopt when unparsable).
std::string httpDate(std::time_t time);
std::optional<std::time_t> parseHttpDate(const std::string& text);

}  // namespace measurement_service
