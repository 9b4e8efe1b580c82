// A full private-set-membership query (mini client, request, POST to psm-server on 127.0.0.1,
// processing of the answer) of 1 and 100 identifiers, against the elliptic-curve operations the
// query cannot do without (per identifier: the client's Encrypt, the server's ReEncrypt and the
// client's Decrypt, called directly) in the same run. Also psm-server's queries per second at 1
// and 100 identifiers beside its bare ReEncrypt rate. Ratios are of medians over repetitions.

#include <benchmark/benchmark.h>
#include <openssl/nid.h>

#include <cstdio>
#include <cstdlib>
#include <future>
#include <map>
#include <string>
#include <vector>

#include "AppMeasurement/PrivateSetMembership/Sources/APMSerializationUtil.h"
#include "AppMeasurement/PrivateSetMembership/Sources/ODCIdentifierHashing.h"
#include "absl/strings/escaping.h"
#include "bench/MedianRatios.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/JSONSerialization.h"
#include "platform/utilities/OULNetwork.h"
#include "privacy/blinders/cpp/public/ec_commutative_cipher.h"
#include "tools/psm-server/PSMServer.h"

namespace {

namespace pm = private_membership::blinders;
constexpr char kAppID[] = "1:1234567890:ios:abcdef";

std::string email(int i) { return "user" + std::to_string(i) + "@example.com"; }

// psm-server with every third of the identifiers as a member.
PSMServer& server() {
  static std::unique_ptr<PSMServer> instance = [] {
    PSMServerConfig config;
    for (int i = 0; i < 100; i += 3) {
      config.members.push_back({PSMServerConfig::OlderFlowMember::Kind::Email, email(i), "v"});
    }
    return *PSMServer::start(std::move(config));
  }();
  return *instance;
}

std::string post(const std::string& url, const std::string& body) {
  static auto network = OULNetwork::create();
  static auto queue = platform::DispatchQueue::createSerial("psm.bench");
  std::promise<std::string> done;
  network->postURL(url, body, queue, false, [&](const auto&, const auto& data, const auto&) {
    done.set_value(data.value_or(""));
  });
  return done.get_future().get();
}

std::vector<pm::IdentifierEntry> entries(int count) {
  std::vector<pm::IdentifierEntry> out;
  for (int i = 0; i < count; ++i) {
    std::string input = ODCHashIdentifierWithAppID(email(i), kAppID);
    out.push_back({kAppID, input, input});
  }
  return out;
}

// A side that computes the wrong thing is no figure: checked once, outside the timed loops;
// ends the program with a message.
void expect(bool good, const std::string& what) {
  if (good) return;
  std::fprintf(stderr, "psm_bench: %s\n", what.c_str());
  std::exit(1);
}

// One full query, as timed below; its answer must name exactly the members (every third).
void checkFullQuery(const std::vector<pm::IdentifierEntry>& identifiers, const std::string& url) {
  auto client = *pm::PrivateMembershipBlindersMiniClient::Create(identifiers, {14, 2, 0});
  auto request = *client->CreateRequest(3);
  std::string body = "{\"psm_request\":\"" +
                     absl::WebSafeBase64Escape(APMSerializationUtil::SerializePSMRequest(request)) +
                     "\"}";
  auto json = platform::JSONSerialization::JSONObjectWithData(post(url, body));
  const platform::Value* answer = json.ok() ? json->find("psm_response") : nullptr;
  expect(answer && answer->asString(), "psm-server gave no psm_response");
  std::string bytes;
  absl::WebSafeBase64Unescape(*answer->asString(), &bytes);
  auto results = client->ProcessResponse(*APMSerializationUtil::DeserializePSMResponse(bytes));
  expect(results.ok() && results->size() == identifiers.size(),
         "the answer does not cover every identifier");
  std::map<std::string, bool> member;
  for (size_t i = 0; i < identifiers.size(); ++i) member[identifiers[i].identifier] = i % 3 == 0;
  for (const auto& result : *results) {
    auto it = member.find(result.entry.identifier);
    expect(it != member.end() && it->second == result.is_member &&
               (!result.is_member || result.value == "v"),
           "the answer's membership differs from psm-server's members");
  }
}

void BM_FullQuery(benchmark::State& state) {
  const auto identifiers = entries(static_cast<int>(state.range(0)));
  const std::string url = server().baseURL() + "/pagead/conversion/app/psm";
  checkFullQuery(identifiers, url);
  for (auto _ : state) {
    auto client = *pm::PrivateMembershipBlindersMiniClient::Create(identifiers, {14, 2, 0});
    auto request = *client->CreateRequest(3);
    std::string body =
        "{\"psm_request\":\"" +
        absl::WebSafeBase64Escape(APMSerializationUtil::SerializePSMRequest(request)) + "\"}";
    auto json = platform::JSONSerialization::JSONObjectWithData(post(url, body));
    std::string bytes;
    absl::WebSafeBase64Unescape(*json->find("psm_response")->asString(), &bytes);
    auto results = client->ProcessResponse(*APMSerializationUtil::DeserializePSMResponse(bytes));
    if (!results.ok() || results->size() != identifiers.size()) state.SkipWithError("bad answer");
    benchmark::DoNotOptimize(results);
  }
}

// The anchor: Encrypt, ReEncrypt and Decrypt once per identifier, nothing else.
void BM_ECOperations(benchmark::State& state) {
  const auto identifiers = entries(static_cast<int>(state.range(0)));
  auto client = *blinders::ECCommutativeCipher::CreateWithRandomKey(NID_X9_62_prime256v1, 0);
  auto other = *blinders::ECCommutativeCipher::CreateWithRandomKey(NID_X9_62_prime256v1, 0);
  // The layers commute: removing the client's leaves the server's encryption alone.
  for (const auto& entry : identifiers) {
    auto doubly = other->ReEncrypt(*client->Encrypt(entry.identifier + entry.extra));
    auto decrypted = doubly.ok() ? client->Decrypt(*doubly) : doubly;
    expect(decrypted.ok() && *decrypted == *other->Encrypt(entry.identifier + entry.extra),
           "the elliptic-curve operations do not commute");
  }
  for (auto _ : state) {
    for (const auto& entry : identifiers) {
      auto encrypted = *client->Encrypt(entry.identifier + entry.extra);
      auto doubly = *other->ReEncrypt(encrypted);
      benchmark::DoNotOptimize(client->Decrypt(doubly));
    }
  }
}

// psm-server's answer over HTTP to a prepared request.
void BM_ServerQuery(benchmark::State& state) {
  auto client = *pm::PrivateMembershipBlindersMiniClient::Create(
      entries(static_cast<int>(state.range(0))), {14, 2, 0});
  const std::string body = "{\"psm_request\":\"" +
                           absl::WebSafeBase64Escape(APMSerializationUtil::SerializePSMRequest(
                               *client->CreateRequest(3))) +
                           "\"}";
  const std::string url = server().baseURL() + "/pagead/conversion/app/psm";
  for (auto _ : state) benchmark::DoNotOptimize(post(url, body));
  state.SetItemsProcessed(state.iterations());
}

// Where the rest of a full query goes: the client's set-up (a fresh key per query) and the
// server's answer without HTTP.
void BM_MiniClientCreate(benchmark::State& state) {
  const auto identifiers = entries(1);
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        pm::PrivateMembershipBlindersMiniClient::Create(identifiers, {14, 2, 0}));
  }
}

void BM_ServerAnswerInProcess(benchmark::State& state) {
  PSMServerConfig config;
  for (int i = 0; i < 100; i += 3) {
    config.members.push_back({PSMServerConfig::OlderFlowMember::Kind::Email, email(i), "v"});
  }
  auto database = *PSMServerDatabase::Create(
      1, 0, [&](const std::string& tag) { return config.olderFlowMembers(tag); });
  auto client = *pm::PrivateMembershipBlindersMiniClient::Create(
      entries(static_cast<int>(state.range(0))), {14, 2, 0});
  const std::string request = APMSerializationUtil::SerializePSMRequest(*client->CreateRequest(3));
  for (auto _ : state) benchmark::DoNotOptimize(database->AnswerSerialized(request));
}

void BM_ServerReEncrypt(benchmark::State& state) {
  auto client = *blinders::ECCommutativeCipher::CreateWithRandomKey(NID_X9_62_prime256v1, 0);
  auto server = *blinders::ECCommutativeCipher::CreateWithRandomKey(NID_X9_62_prime256v1, 0);
  const std::string encrypted = *client->Encrypt("identifier");
  for (auto _ : state) benchmark::DoNotOptimize(server->ReEncrypt(encrypted));
  state.SetItemsProcessed(state.iterations());
}

// The queries over HTTP wait for the server's threads: their iteration counts are set by wall
// time (by the caller's CPU time alone, a query of 1 identifier ran 120,000 times a repetition).
// The ratios are of wall times throughout.
BENCHMARK(BM_FullQuery)
    ->Arg(1)
    ->Arg(100)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_ECOperations)->Arg(1)->Arg(100)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ServerQuery)
    ->Arg(1)
    ->Arg(100)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_MiniClientCreate)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ServerAnswerInProcess)
    ->Arg(1)
    ->Arg(100)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ServerReEncrypt)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
  if (!kvlbench::initialize(argc, argv)) return 1;
  kvlbench::MedianReporter reporter;
  for (const char* n : {"1", "100"}) {
    reporter.ratio(std::string("full query of ") + n + " / its EC operations",
                   std::string("BM_FullQuery/") + n, std::string("BM_ECOperations/") + n);
    reporter.require(std::string("BM_ServerQuery/") + n);
    reporter.require(std::string("BM_ServerAnswerInProcess/") + n);
  }
  reporter.require("BM_MiniClientCreate");
  reporter.require("BM_ServerReEncrypt");
  reporter.run();
  // Where the time goes, from the same medians (milliseconds); a missing one fails below.
  std::printf("\n");
  for (const char* n : {"1", "100"}) {
    const double full = reporter.median(std::string("BM_FullQuery/") + n);
    const double ec = reporter.median(std::string("BM_ECOperations/") + n);
    const double server = reporter.median(std::string("BM_ServerQuery/") + n);
    std::printf("full query of %s: %.3f ms, EC operations alone %.3f ms\n", n, full * 1e3,
                ec * 1e3);
    if (server > 0) {
      std::printf("psm-server at %s identifier(s): %.0f queries/s (%.0f identifiers/s)\n", n,
                  1 / server, 1 / server * std::stod(n));
    }
  }
  std::printf(
      "where the rest goes: client set-up %.3f ms a query; server answer without HTTP "
      "%.3f ms (1) and %.3f ms (100)\n",
      reporter.median("BM_MiniClientCreate") * 1e3,
      reporter.median("BM_ServerAnswerInProcess/1") * 1e3,
      reporter.median("BM_ServerAnswerInProcess/100") * 1e3);
  if (reporter.median("BM_ServerReEncrypt") > 0) {
    std::printf("ReEncrypt alone: %.0f/s\n", 1 / reporter.median("BM_ServerReEncrypt"));
  }
  reporter.printRatios();
  benchmark::Shutdown();
  return reporter.complete() ? 0 : 1;
}
