#include "tools/measurement-service/MeasurementService.h"

#include "platform/dispatch/Clock.h"
#include "platform/foundation/URL.h"
#include "platform/net/QueryItem.h"
#include "platform/security/SecretToken.h"
#include "tools/measurement-service/UploadsPage.h"

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace measurement_service {

using loopback::HttpRequest;
using loopback::HttpResponse;

namespace {

double nowSeconds() { return platform::Clock::current()->now(); }

// The pages that show what arrived.
bool isOwnersPage(const std::string& path) {
  return path == "/" || path == "/uploads.json" || path == "/experiments";
}

// What a request with the session cookie but without the page's key gets at any of the owner's
// pages: no data, only a script that asks again for the same address with the key its tab
// holds (from the fragment of the address it opened) and shows the answer.
constexpr const char* kOwnersPageShell = R"(<!doctype html><meta charset=utf-8>
<title>Measurement service</title>
<p id=status>Loading...</p>
<script>
(async () => {
  const status = document.getElementById('status');
  const fragment = new URLSearchParams(location.hash.slice(1));
  if (fragment.get('key')) {
    sessionStorage.setItem('uploads-page-key', fragment.get('key'));
    history.replaceState(null, '', location.pathname + location.search);
  }
  const key = sessionStorage.getItem('uploads-page-key');
  if (!key) {
    status.textContent = 'This tab holds no key of the uploads page: open a new address of ' +
      'the service (POST /_control/page-url).';
    return;
  }
  const answer = await fetch(location.pathname + location.search,
                             {headers: {'X-Page-Key': key}, cache: 'no-store'});
  const text = await answer.text();
  if (!answer.ok) {
    status.textContent = text;
    return;
  }
  if ((answer.headers.get('Content-Type') || '').startsWith('application/json')) {
    const pre = document.createElement('pre');
    pre.textContent = JSON.stringify(JSON.parse(text), null, 2);
    status.replaceWith(pre);
    const more = answer.headers.get('X-More-Before');
    if (more) {
      const older = document.createElement('a');
      older.href = '/uploads.json?before=' + encodeURIComponent(more);
      older.textContent = 'Older uploads';
      pre.after(older);
    }
    return;
  }
  const shown = new DOMParser().parseFromString(text, 'text/html');
  document.replaceChild(document.adoptNode(shown.documentElement), document.documentElement);
})();
</script>
)";

// The owner's pages hold data that must not linger in a cache, and answer differently with
// and without the page's key.
void keepUncached(HttpResponse& response) {
  response.headers.emplace_back("Cache-Control", "no-store");
  response.headers.emplace_back("Vary", "Cookie, " + std::string(kPageKeyHeader));
}

}  // namespace

std::string httpDate(std::time_t time) {
  std::tm parts{};
  gmtime_r(&time, &parts);
  char text[64];
  std::strftime(text, sizeof text, "%a, %d %b %Y %H:%M:%S GMT", &parts);
  return text;
}

std::optional<std::time_t> parseHttpDate(const std::string& text) {
  std::tm parts{};
  const char* end = strptime(text.c_str(), "%a, %d %b %Y %H:%M:%S GMT", &parts);
  if (!end || *end != '\0') return std::nullopt;
  return timegm(&parts);
}

namespace {
constexpr const char* kSampleStoreCatalogue =
    R"({"products":[)"
    R"({"productIdentifier":"com.orvane.sample.coins","localizedTitle":"100 Coins",)"
    R"("price":"0.99","currencyCode":"USD"},)"
    R"({"productIdentifier":"com.orvane.sample.premium","localizedTitle":"Premium",)"
    R"("price":"4.99","currencyCode":"USD","introductoryPrice":"0",)"
    R"("introductoryPaymentMode":2}]})";
}  // namespace

MeasurementService::MeasurementService(const Options& options) {
  // What arrived is the user's alone: the folder is narrowed even when it was there before.
  std::filesystem::create_directories(options.dataDirectory);
  if (::chmod(options.dataDirectory.c_str(), 0700) != 0) {
    throw std::runtime_error("cannot make " + options.dataDirectory + " the user's only");
  }
  uploads_ = std::make_unique<UploadStore>(options.dataDirectory + "/uploads.sqlite",
                                           options.maxStoredBytes);
  std::string error;
  if (!options.configDirectory.empty() &&
      !configurations_.loadFolder(options.configDirectory, &error)) {
    throw std::runtime_error(error);
  }
  service_.route("GET", "/config/app/", [this](const HttpRequest& r) { return configuration(r); });
  service_.route("POST", "/a", [this](const HttpRequest& r) { return upload(r); });
  // "/" routes every path as a prefix: only the page itself is answered there.
  service_.route("GET", "/", [this](const HttpRequest& r) {
    return r.path == "/" ? page(r) : HttpResponse::text(404, "no such resource\n");
  });
  // The store's product catalogue for the StoreKit stand-in: "<data>/storekit-products.json"
  // when present, else two sample products.
  storeCatalogue_ = kSampleStoreCatalogue;
  if (std::ifstream in(options.dataDirectory + "/storekit-products.json"); in) {
    storeCatalogue_.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  service_.route("GET", "/storekit/products", [this](const HttpRequest&) {
    return HttpResponse::text(200, storeCatalogue_, "application/json");
  });
  service_.route("GET", "/uploads.json", [this](const HttpRequest& r) {
    std::optional<uint64_t> before = loopback::queryItemNumber(r.query, "before", 0);
    std::optional<uint64_t> limit = loopback::queryItemNumber(r.query, "limit", 100);
    if (!before || !limit || *limit == 0) {
      return HttpResponse::text(400, "before and limit are whole numbers, limit above 0\n");
    }
    int64_t more = 0;
    HttpResponse response =
        HttpResponse::text(200,
                           uploads_->latestJson(static_cast<int>(std::min<int64_t>(*limit, 100000)),
                                                *before, kMaxUploadsJsonBytes, &more),
                           "application/json");
    if (more != 0) response.headers.emplace_back("X-More-Before", std::to_string(more));
    return response;
  });
  service_.route("POST", "/_control/page-url", [this](const HttpRequest&) {
    if (owner_.load() == nullptr) return HttpResponse::text(503, "starting\n");
    return HttpResponse::text(200, nlohmann::json{{"url", newPageURL()}}.dump() + "\n",
                              "application/json");
  });
  service_.route("PUT", "/_control/config/", [this](const HttpRequest& r) {
    auto appID =
        platform::URL::percentDecoded(r.path.substr(std::string("/_control/config/").size()));
    std::string reason;
    if (!appID || appID->empty()) return HttpResponse::text(400, "bad app id\n");
    // The store reads a body that starts with "{" as JSON: such a one is measured first.
    const size_t first = r.body.find_first_not_of(" \t\r\n");
    if (first != std::string::npos && r.body[first] == '{') {
      if (auto refused = loopback::refuseUnboundedJSON(r.body, loopback::kDocumentJSONBounds)) {
        return *refused;
      }
    }
    if (!configurations_.put(*appID, r.body, static_cast<std::time_t>(nowSeconds()), &reason)) {
      return HttpResponse::text(400, reason + "\n");
    }
    return HttpResponse::text(204, "");
  });
  service_.route("DELETE", "/_control/config/", [this](const HttpRequest& r) {
    auto appID =
        platform::URL::percentDecoded(r.path.substr(std::string("/_control/config/").size()));
    if (!appID) return HttpResponse::text(400, "bad app id\n");
    configurations_.remove(*appID);
    return HttpResponse::text(204, "");
  });
  experiments_ = std::make_unique<ExperimentEndpoint>(options.dataDirectory);
  experiments_->addRoutes(service_);
  service_.route("POST", "/api/v1/",
                 [this](const HttpRequest& r) { return attribution_.attribution(r); });
  service_.route("PUT", "/_control/attribution/",
                 [this](const HttpRequest& r) { return attribution_.script(r); });
  service_.route("DELETE", "/_control/attribution/",
                 [this](const HttpRequest& r) { return attribution_.forget(r); });
  loopback::LoopbackHttpServer::Options server = options.server;
  server.bodyLimit = std::min(server.bodyLimit, kMaxBodyBytes);
  server.bodyFolder = options.dataDirectory;
  server.maxBodyBytes = kMaxHeldBodyBytes;
  adConversion_ = std::make_unique<AdConversionService>(options.adConversion);
  adConversion_->install(service_);
  server_ = std::make_unique<loopback::LoopbackHttpServer>(server, [this](const HttpRequest& r) {
    // What a route decodes costs many times its body: only uploads, the PSM answers (one
    // string in a small object) and control requests take large bodies.
    bool large = r.path == "/a" || r.path == "/pagead/conversion/app/psm" ||
                 r.path.rfind("/odm/", 0) == 0 || r.path.rfind("/_control/", 0) == 0;
    if (!large && r.body.size() > kMaxSmallBodyBytes) {
      return HttpResponse::text(
          413, "a body here is at most " + std::to_string(kMaxSmallBodyBytes) + " bytes\n");
    }
    if (isOwnersPage(r.path)) {
      std::optional<HttpResponse> response = refuseOthers(r);
      if (!response) response = service_.handle(r);
      keepUncached(*response);
      return *response;
    }
    return service_.handle(r);
  });
  // Cookies are shared by every port of a host: the name tells this service's from another's.
  ownerStorage_ = std::make_unique<Owner>("uploads-session-" + std::to_string(server_->port()),
                                          server_->controlToken());
  owner_ = ownerStorage_.get();
}

std::string MeasurementService::newPageURL() {
  std::string key = platform::randomSecretToken();
  return baseURL() + "/?secret=" + owner_.load()->pages.newSecret(key) + "#key=" + key;
}

std::optional<HttpResponse> MeasurementService::refuseOthers(const HttpRequest& request) {
  Owner* owner = owner_.load();
  if (owner == nullptr) return HttpResponse::text(503, "starting\n");
  // Only a GET spends the address: any other method (a link preview's HEAD, a page's POST) is
  // answered as without the secret, and the developer's GET still finds it unspent.
  if (std::string_view secret = platform::queryItem(request.query, "secret").value_or("");
      !secret.empty() && request.method == "GET") {
    std::optional<std::string> key = owner->pages.spend(secret);
    if (!key) {
      return HttpResponse::text(403,
                                "this address was used already; ask the service for a new one "
                                "(POST /_control/page-url)\n");
    }
    owner->keys.add(std::move(*key));
    // The browser keeps the address's fragment (the key) across the redirect.
    HttpResponse response = HttpResponse::text(303, "");
    response.headers.emplace_back("Location", "/");  // the bare address, whatever was asked
    response.headers.emplace_back("Set-Cookie", owner->pages.setCookie());
    return response;
  }
  if (platform::equalSecrets(request.header(loopback::kControlTokenHeader).value_or(""),
                             owner->controlToken)) {
    return std::nullopt;
  }
  if (owner->pages.admits(request.header("Cookie").value_or(""))) {
    std::optional<std::string> key = request.header(kPageKeyHeader);
    if (!key) return HttpResponse::text(200, kOwnersPageShell, "text/html; charset=utf-8");
    if (owner->keys.admits(*key)) return std::nullopt;
    return HttpResponse::text(403,
                              "this page's key opens nothing here any more; open a new address "
                              "of the service (POST /_control/page-url)\n");
  }
  return HttpResponse::text(403,
                            "open the address the service printed (it holds a one-time secret), "
                            "or send the control token in " +
                                std::string(loopback::kControlTokenHeader) + "\n");
}

HttpResponse MeasurementService::configuration(const HttpRequest& request) const {
  std::optional<std::string> appID =
      platform::URL::percentDecoded(request.path.substr(std::string("/config/app/").size()));
  if (!appID) return HttpResponse::text(400, "malformed app id\n");
  std::optional<StoredConfiguration> stored = configurations_.find(*appID);
  if (!stored) return HttpResponse::text(404, "no configuration for this app\n");

  HttpResponse response;
  response.headers = {{"ETag", stored->etag}, {"Last-Modified", httpDate(stored->modified)}};
  std::optional<std::string> ifNoneMatch = request.header("If-None-Match");
  std::optional<std::string> ifModifiedSince = request.header("If-Modified-Since");
  bool unchanged = false;
  if (ifNoneMatch) {
    unchanged = *ifNoneMatch == stored->etag;  // a validator, when sent, decides alone
  } else if (ifModifiedSince) {
    std::optional<std::time_t> since = parseHttpDate(*ifModifiedSince);
    unchanged = since && stored->modified <= *since;
  }
  if (unchanged) {
    response.status = 304;
    return response;
  }
  response.status = 200;
  response.headers.emplace_back("Content-Type", "application/x-protobuf");
  response.body = stored->bytes;
  return response;
}

HttpResponse MeasurementService::upload(const HttpRequest& request) {
  UploadSummary summary =
      uploads_->record(request.body, request.header("Content-Encoding").value_or(""), nowSeconds(),
                       kMaxInflatedUploadBytes);
  HttpResponse response;
  response.status = 204;
  if (summary.tooLarge) {
    response = HttpResponse::text(413, summary.error + "\n");
  } else if (!summary.decoded) {
    response = HttpResponse::text(400, "cannot decode: " + summary.error + "\n");
  } else if (summary.repeatedBundles > 0) {
    response.headers.emplace_back("X-Repeated-Bundles", std::to_string(summary.repeatedBundles));
  }
  // A gzip body of 10 KB can inflate to 10 MiB: what decoding it took is handed back as after
  // a body of that size.
  response.heldBytes = summary.inflatedBytes;
  return response;
}

// The page's first upload is always shown whole, so each page leads on; the page's own
// heading and link take well under 1 KiB.
static_assert(UploadsPage::maxUploadBytes(MeasurementService::kPageBounds) + 1024 <=
              UploadsPage::kMaxBytes);

HttpResponse MeasurementService::page(const HttpRequest& request) const {
  std::optional<uint64_t> before = loopback::queryItemNumber(request.query, "before", 0);
  if (!before) return HttpResponse::text(400, "before is a whole number\n");
  // An upload at a time, each read within the page's bounds: what a view holds is the page and
  // one upload's summary, whatever the uploads hold. One more upload than the page lists is read
  // to tell whether older ones are left.
  UploadsPage shown;
  int64_t next = static_cast<int64_t>(*before);  // the uploads below it are not yet shown
  int64_t older = 0;                             // where the link to older uploads leads
  bool full = false;
  size_t readBytes = 0;
  auto list = [&](const UploadStore::UploadSummaryRow& upload) {
    readBytes += upload.readBytes;
    if (full || shown.count() == kPageUploads) {
      older = next;
      return false;
    }
    const size_t count = shown.count();
    full = !shown.add(upload);
    if (shown.count() == count) {
      older = next;  // did not fit: the next page starts with it
      return false;
    }
    next = upload.id;
    return true;
  };
  uploads_->summaries(static_cast<int>(kPageUploads) + 1, next, kPageBounds, list);
  HttpResponse response =
      HttpResponse::text(200, std::move(shown).finish(older), "text/html; charset=utf-8");
  // What the reads went through stays with the allocator unless handed back: past a mebibyte
  // the server does (the page counted too: building it took as much again).
  response.heldBytes = readBytes + response.body.size();
  return response;
}

}  // namespace measurement_service
