#include "tests/OrvaneAdsOnDeviceConversion/fuzz/PSMFuzzInput.h"

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string_view>

#include "AppMeasurement/PrivateSetMembership/Sources/APMSerializationUtil.h"
#include "AppMeasurement/PrivateSetMembership/Sources/ODCPrivateSetMembershipClient.h"
#include "OrvaneAdsOnDeviceConversion/Sources/ODCCandidateFetcher.h"
#include "OrvaneAdsOnDeviceConversion/Sources/ODCConfigFetcher.h"
#include "OrvaneAdsOnDeviceConversion/Sources/ODCMatchValidator.h"
#include "OrvaneAdsOnDeviceConversion/Sources/ODCSerializationUtil.h"
#include "absl/strings/escaping.h"
#include "platform/foundation/AppContainer.h"
#include "platform/foundation/PlatformLog.h"

namespace {

namespace pm = private_membership::blinders;

// The fixed clients every input is run against (made once; their keys stay for the run).
struct Fixture {
  Fixture() {
    // Every rejected input logs its reason; millions of lines would only slow the search.
    if (std::getenv("KVL_FUZZ_QUIET")) platform::PlatformLog::setSink([](const std::string&) {});
    const auto root = std::filesystem::temp_directory_path() / "kvl-psm-fuzz";
    (void)platform::AppContainer::setRoot(root);
    std::vector<pm::IdentifierEntry> entries;
    for (int i = 0; i < 4; ++i) entries.push_back({"tag", "id-" + std::to_string(i), "x"});
    mini = *pm::PrivateMembershipBlindersMiniClient::Create(entries, {8, 2, 8});
    (void)mini->CreateRequest(3);
    older = ODCPrivateSetMembershipClient::initWithEmailAddress("jane@example.com", "app");
    (void)older->payloadWithPSMRequest();
    context = std::make_shared<ODCContext>(nullptr, nullptr, nullptr);
  }
  std::unique_ptr<pm::PrivateMembershipBlindersMiniClient> mini;
  std::unique_ptr<ODCPrivateSetMembershipClient> older;
  std::shared_ptr<ODCContext> context;
};

Fixture& fixture() {
  static Fixture* instance = new Fixture();
  return *instance;
}

}  // namespace

void PSMFuzzOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return;
  Fixture& f = fixture();
  const std::string input(reinterpret_cast<const char*>(data) + 1, size - 1);
  std::optional<OULError> error;
  switch (data[0] % 6) {
    case kPSMFuzzResponse:
      if (auto response = APMSerializationUtil::DeserializePSMResponse(input); response.ok()) {
        (void)f.mini->ProcessResponse(*response);
      }
      break;
    case kPSMFuzzOlderFlowBody:
      (void)f.older->parsedPSMValueFromResponse(input);
      break;
    case kPSMFuzzConfig: {
      auto fetcher = std::make_shared<ODCConfigFetcher>(f.context);
      (void)fetcher->createPSMRequestWithData(input, &error);
      break;
    }
    case kPSMFuzzCandidate: {
      if (!f.context->PSMClient) {
        auto client =
            ads::conversion_tracking::app_conversion::odm::OnDeviceMeasurementV2Client::Create(
                "bWF0Y2hpbmc", "2026-12-07", "com.example", 8,
                &ODCSerializationUtil::parseUnencryptedMetadata);
        (void)(*client)->CreateRequest();
        f.context->PSMClient = *std::move(client);
      }
      auto fetcher = std::make_shared<ODCCandidateFetcher>(f.context);
      (void)fetcher->findPSMMatchesWithData(input, &error);
      break;
    }
    case kPSMFuzzValidator: {
      auto validator = std::make_shared<ODCMatchValidator>(f.context);
      (void)validator->storeValidatedPSMValue(input, &error);
      break;
    }
    case kPSMFuzzMetadata:
      (void)ODCSerializationUtil::parseUnencryptedMetadata(input);
      break;
  }
}
