// The attribution walk-through of docs/attribution.md, as a new user runs it: the measurement
// service with its sample answers, then the driver as a fresh install on 16.1 with tracking
// authorised and a link to open. Its output, StoreKit's record file (Python's json) and the
// service's decoded uploads are checked.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "tests/support/ServiceProcess.h"

namespace {

using testsupport::runCommand;
using testsupport::ServiceProcess;

TEST(DriverAttributionTest, FreshInstallWithLinkAndConversionValue) {
  std::filesystem::path work = std::filesystem::temp_directory_path() /
                               ("kvl-driver-attribution-" + std::to_string(::getpid()));
  std::filesystem::remove_all(work);
  std::string samples = std::string(KVL_TEST_SOURCE_DIR) + "/tools/measurement-service/samples";
  ServiceProcess service(
      KVL_TEST_SERVICE,
      {"--port", "0", "--data", (work / "service").string(), "--config-dir",
       std::string(KVL_TEST_SOURCE_DIR) + "/tools/measurement-service/sample-config", "--deeplink",
       samples + "/deeplink.json", "--skan", samples + "/skan.json", "--psm-members",
       std::string(KVL_TEST_SOURCE_DIR) + "/tools/psm-server/sample-members.json"});
  std::string output =
      runCommand(std::string(KVL_TEST_DRIVER) + " --app-dir " + (work / "app").string() +
                 " --service " + service.baseURL() +
                 " --system-version 16.1 --tracking-authorized --open-url "
                 "'kavrelin://open?utm_source=news&utm_campaign=spring&obraid=B1' --skan-records " +
                 (work / "skan.jsonl").string() + " --upload 2>/dev/null");
  EXPECT_NE(
      output.find("delegate opened com.orvane.kavrelin.app://promo?utm_source=ads&utm_medium=cpc"),
      std::string::npos)
      << output;
  EXPECT_NE(output.find("uploaded\nskan updated\n"), std::string::npos) << output;
  // The first open's registration comes first; the update is the line with a fine value.
  std::string skan =
      runCommand("python3 -c \"import json; r = [json.loads(l) for l in open('" +
                 (work / "skan.jsonl").string() +
                 "') if 'fine' in l][0]; print(r['fine'], r['coarse'], r['lock'])\"");
  EXPECT_EQ(skan, "42 high False\n");
  std::string uploads = runCommand(
      "python3 -c \"import json, os, urllib.request; d = json.load(urllib.request.urlopen("
      "urllib.request.Request('" +
      service.baseURL() +
      "/uploads.json', headers={'X-Service-Token': os.environ['KVL_SERVICE_TOKEN']}))); bs = [b "
      "for u in d for b in u.get('bundles', [])]; "
      "print(sorted(set(e['name'] for b in bs for e in b.get('events', [])))); "
      "print(sorted(set(str(b.get('ad_campaign_info', {}).get('deep_link_obraid')) for b in "
      "bs)))\"");
  EXPECT_NE(uploads.find("'_cmp'"), std::string::npos) << uploads;
  EXPECT_NE(uploads.find("'987654321'"), std::string::npos) << uploads;
  EXPECT_NE(uploads.find("'B1'"), std::string::npos) << uploads;
  std::filesystem::remove_all(work);
}

}  // namespace
