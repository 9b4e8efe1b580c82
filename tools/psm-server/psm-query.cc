// psm-query: one private-set-membership query of the older conversion flow, through our client,
// against psm-server (or any service of the same protocol).
//   psm-query [--server http://127.0.0.1:8787] [--app-id ID] --email ADDRESS
//   psm-query ... --phone NUMBER | --digest <64 hex digits of SHA-256(canonical identifier)>
// Prints "member: true, value: <value>" or "member: false"; exit status 0, or 1 on failure.
#include <cstdio>
#include <cstring>
#include <future>
#include <string>

#include "AppMeasurement/PrivateSetMembership/Sources/ODCPrivateSetMembershipClient.h"
#include "AppMeasurement/PrivateSetMembership/Sources/ODCServiceHost.h"
#include "absl/strings/escaping.h"
#include "platform/dispatch/DispatchQueue.h"
#include "platform/utilities/OULNetwork.h"

namespace {

// To standard error (status 2) for a usage error; to standard output (status 0) when asked for.
int usage(bool asked = false) {
  std::fprintf(
      asked ? stdout : stderr,
      "usage: psm-query [--server URL] [--app-id ID] (--email A | --phone N | --digest HEX)\n");
  return asked ? 0 : 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string appID = "1:1234567890:ios:abcdef";
  std::string kind, identifier;
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    if (option == "--help" || option == "-h") return usage(true);
  }
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string option = argv[i];
    if (option == "--server") {
      ODCServiceHost::setBaseURL(argv[i + 1]);
    } else if (option == "--app-id") {
      appID = argv[i + 1];
    } else if (option == "--email" || option == "--phone" || option == "--digest") {
      kind = option;
      identifier = argv[i + 1];
    } else {
      return usage();
    }
  }
  if (kind.empty()) return usage();

  std::unique_ptr<ODCPrivateSetMembershipClient> client;
  if (kind == "--email") {
    client = ODCPrivateSetMembershipClient::initWithEmailAddress(identifier, appID);
  } else if (kind == "--phone") {
    client = ODCPrivateSetMembershipClient::initWithPhoneNumber(identifier, appID);
  } else {
    std::string digest = absl::HexStringToBytes(identifier);
    client = ODCPrivateSetMembershipClient::initWithHashedEmailAddress(digest, appID, 14);
  }
  if (!client) {
    std::fprintf(stderr, "psm-query: the identifier cannot be used\n");
    return 1;
  }
  auto payload = client->payloadWithPSMRequest();
  if (!payload) {
    std::fprintf(stderr, "psm-query: no request could be built\n");
    return 1;
  }
  auto network = OULNetwork::create();
  std::promise<std::optional<std::string>> answer;
  network->postURL(client->PSMRequestURLWithRetryCount(0), *payload,
                   platform::DispatchQueue::createSerial("psm-query"), false,
                   [&](const auto& response, const auto& data, const auto& error) {
                     if (error || !response || response->statusCode != 200) {
                       std::fprintf(
                           stderr, "psm-query: request failed (%s)\n",
                           error ? error->description.c_str()
                                 : std::to_string(response ? response->statusCode : 0).c_str());
                       answer.set_value(std::nullopt);
                       return;
                     }
                     answer.set_value(data.value_or(""));
                   });
  std::optional<std::string> body = answer.get_future().get();
  if (!body) return 1;
  std::optional<std::string> value = client->parsedPSMValueFromResponse(*body);
  if (!value) {
    std::printf("member: false\n");
    return 0;
  }
  std::string raw;
  absl::WebSafeBase64Unescape(*value, &raw);
  std::printf("member: true, value: %s\n", raw.c_str());
  return 0;
}
