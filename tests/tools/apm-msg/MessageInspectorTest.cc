#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "AppMeasurement/messages/APMPBMessages.h"
#include "tests/AppMeasurement/messages/MessageTestSupport.h"
#include "tests/support/LogCapture.h"
#include "tools/apm-msg/MessageInspector.h"

namespace {

using json = nlohmann::ordered_json;

std::string gzipped(const std::string& data) {
  z_stream z{};
  deflateInit2(&z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&z, data.size()), '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  z.avail_in = static_cast<uInt>(data.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

struct Result {
  int status;
  std::string out;
  std::string err;
};

Result runTool(const std::vector<std::string>& arguments, const std::string& input) {
  Result r;
  r.status = apmmsg::run(arguments, input, &r.out, &r.err);
  return r;
}

TEST(MessageInspector, EveryMessageSurvivesJsonBothWays) {
  for (const NANOMessageLayout* layout : messagetest::allLayouts()) {
    SCOPED_TRACE(layout->name);
    NANODynamicMessage filled(*layout);
    messagetest::fillMessage(filled, 3, 2);
    std::string bytes = *filled.protoBuffer();
    std::string error;
    auto object = apmmsg::decodeToJson(*layout, bytes, &error);
    ASSERT_TRUE(object) << error;
    EXPECT_FALSE(object->contains("_unknown"));
    // Through text too, as the tool prints and reads it.
    json reread = json::parse(object->dump(2));
    auto encoded = apmmsg::encodeFromJson(*layout, reread, &error);
    ASSERT_TRUE(encoded) << error;
    EXPECT_EQ(*encoded, bytes);
  }
}

TEST(MessageInspector, DecodesProtocBytesWithSchemaNames) {
  std::string text =
      "name: \"_s\"\n"
      "timestamp_millis: -5\n"
      "params { name: \"_o\" string_value: \"auto\" }\n"
      "params { name: \"n\" param_value { name: \"x\" double_value: 2.5 } }\n";
  std::string bytes, error;
  ASSERT_EQ(messagetest::runProtoc("-I" + messagetest::protoDir() + " --encode=apm.Event " +
                                       messagetest::protoDir() + "/measurement_upload.proto",
                                   text, &bytes, &error),
            0)
      << error;
  Result r = runTool({"decode", "Event"}, bytes);
  ASSERT_EQ(r.status, 0) << r.err;
  json object = json::parse(r.out);
  EXPECT_EQ(object["name"], "_s");
  EXPECT_EQ(object["timestamp_millis"], -5);
  EXPECT_EQ(object["params"][0]["string_value"], "auto");
  EXPECT_EQ(object["params"][1]["param_value"][0]["double_value"], 2.5);
  // Fields in schema order.
  EXPECT_EQ(object.begin().key(), "params");
}

TEST(MessageInspector, EncodedJsonReadsBackInProtoc) {
  json object = {{"status", "UPDATE"},
                 {"fine_value", 42},
                 {"coarse_value", "HIGH"},
                 {"lock_window", true},
                 {"expiry_timestamp_millis", "9223372036854775807"}};
  Result r = runTool({"encode", "SkAdNetworkConversionValueResponse"}, object.dump());
  ASSERT_EQ(r.status, 0) << r.err;
  std::string text, error;
  ASSERT_EQ(messagetest::runProtoc("-I" + messagetest::protoDir() +
                                       " --decode=apm.SkAdNetworkConversionValueResponse " +
                                       messagetest::protoDir() + "/skadnetwork.proto",
                                   r.out, &text, &error),
            0)
      << error;
  EXPECT_EQ(text,
            "status: UPDATE\nfine_value: 42\ncoarse_value: HIGH\nlock_window: true\n"
            "expiry_timestamp_millis: 9223372036854775807\n");
}

TEST(MessageInspector, ShowsUnknownFieldsAtEveryLevel) {
  // Event { params { name: "p", 99: 7 }, 50: "zz", name: "e" }
  std::string param = std::string("\x0a\x01p") + "\x98\x06\x07";
  std::string bytes = "\x0a" + std::string(1, static_cast<char>(param.size())) + param +
                      "\x92\x03\x02zz" +
                      "\x12\x01"
                      "e";
  Result r = runTool({"decode", "Event"}, bytes);
  ASSERT_EQ(r.status, 0) << r.err;
  json object = json::parse(r.out);
  EXPECT_EQ(object["_unknown"],
            json::parse(R"([{"field":50,"wire_type":"length_delimited","hex":"7a7a"}])"));
  EXPECT_EQ(object["params"][0]["_unknown"],
            json::parse(R"([{"field":99,"wire_type":"varint","value":7}])"));
  // Encoding the shown JSON leaves the unknown fields out, as the runtime does.
  Result back = runTool({"encode", "Event"}, r.out);
  ASSERT_EQ(back.status, 0) << back.err;
  EXPECT_EQ(back.out,
            "\x0a\x03\x0a\x01p\x12\x01"
            "e");
}

TEST(MessageInspector, ReadsGzipInput) {
  APMPBMeasurementBatch batch;
  NANOSetString(batch, APMPBMeasurementBatch::kUploadSubdomain, "region1");
  Result r = runTool({"decode", "MeasurementBatch", "--gunzip"}, gzipped(*batch.protoBuffer()));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(json::parse(r.out), json::parse(R"({"upload_subdomain":"region1"})"));

  std::string error;
  EXPECT_FALSE(apmmsg::gunzip(gzipped(std::string(5000, 'a')), &error, 4096));
  EXPECT_NE(error.find("beyond 4096"), std::string::npos);
  std::string truncated = gzipped(std::string(100, 'a'));
  truncated.resize(truncated.size() / 2);
  EXPECT_FALSE(apmmsg::gunzip(truncated, &error));
}

TEST(MessageInspector, GzipMembersAreAllReadAndTrailingBytesRefused) {
  // Concatenated members are one gzip file (gzip -d writes them all); protobuf bytes that
  // are concatenated are one merged message, so dropping the later members loses fields.
  std::string error;
  auto both = apmmsg::gunzip(gzipped("abc") + gzipped("def"), &error);
  ASSERT_TRUE(both) << error;
  EXPECT_EQ(*both, "abcdef");
  EXPECT_FALSE(apmmsg::gunzip(gzipped("abc") + "junk", &error));
  EXPECT_NE(error.find("not valid gzip"), std::string::npos) << error;
  EXPECT_FALSE(apmmsg::gunzip(gzipped("abc") + gzipped("def").substr(0, 12), &error));

  APMPBMeasurementBatch first, second;
  NANOSetString(first, APMPBMeasurementBatch::kUploadSubdomain, "region1");
  NANOSetString(second, APMPBMeasurementBatch::kField7, "seven");
  Result r = runTool({"decode", "MeasurementBatch", "--gunzip"},
                     gzipped(*first.protoBuffer()) + gzipped(*second.protoBuffer()));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(json::parse(r.out), json::parse(R"({"field_7":"seven","upload_subdomain":"region1"})"));
}

TEST(MessageInspector, InvalidUTF8IsShownAsStandardBase64) {
  // Expected texts from Python's base64.b64encode: one, two, three and four trailing bytes.
  const std::pair<std::string, std::string> cases[] = {{"\xff", "/w=="},
                                                       {"\xff\xfe", "//4="},
                                                       {"\xff\xfe\xfd", "//79"},
                                                       {"\xff\xfe\xfd\xfc", "//79/A=="}};
  for (const auto& [bytes, base64] : cases) {
    std::string event = "\x12" + std::string(1, static_cast<char>(bytes.size())) + bytes;
    Result r = runTool({"decode", "Event"}, event);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(json::parse(r.out)["name"]["invalid_utf8_base64"], base64);
  }
}

TEST(MessageInspector, MalformedBase64AndNumberTextAreRefused) {
  struct Case {
    const char* message;
    const char* input;
  };
  const Case cases[] = {
      // Text after the padding, a lone trailing character, padding in the middle.
      {"Event", R"({"name":{"invalid_utf8_base64":"/w=x"}})"},
      {"Event", R"({"name":{"invalid_utf8_base64":"/w==/w=="}})"},
      {"Event", R"({"name":{"invalid_utf8_base64":"QUJDR"}})"},
      {"Event", R"({"name":{"invalid_utf8_base64":"QUJD=RA=="}})"},
      // Numbers as text take only plain digits with an optional minus sign.
      {"ResultData", R"({"status":[" -1"]})"},
      {"ResultData", R"({"status":["+1"]})"},
      {"Event", R"({"timestamp_millis":" 5"})"},
      // A float field cannot hold a finite value beyond its range.
      {"EventParam", R"({"field_4":1e300})"},
      {"UserAttribute", R"({"field_5":-3.5e38})"},
  };
  for (const Case& c : cases) {
    Result r = runTool({"encode", c.message}, c.input);
    EXPECT_EQ(r.status, 1) << c.input << " gave " << r.out.size() << " bytes";
    EXPECT_TRUE(r.out.empty()) << c.input;
  }
  // Well-formed forms still encode: padded and unpadded base64, numbers as text.
  Result padded = runTool({"encode", "Event"}, R"({"name":{"invalid_utf8_base64":"/w=="}})");
  Result unpadded = runTool({"encode", "Event"}, R"({"name":{"invalid_utf8_base64":"/w"}})");
  ASSERT_EQ(padded.status, 0) << padded.err;
  EXPECT_EQ(padded.out, std::string("\x12\x01\xff", 3));
  EXPECT_EQ(unpadded.out, padded.out);
  Result numbers = runTool({"encode", "ResultData"}, R"({"status":["18446744073709551615"]})");
  ASSERT_EQ(numbers.status, 0) << numbers.err;
  EXPECT_EQ(numbers.out, std::string("\x08\xff\xff\xff\xff\xff\xff\xff\xff\xff\x01", 11));
  Result negative = runTool({"encode", "Event"}, R"({"timestamp_millis":"-5"})");
  ASSERT_EQ(negative.status, 0) << negative.err;
  Result largest = runTool({"encode", "EventParam"}, R"({"field_4":3.4028234663852886e38})");
  ASSERT_EQ(largest.status, 0) << largest.err;
  EXPECT_EQ(largest.out, std::string("\x25\xff\xff\x7f\x7f", 5));
  Result infinite = runTool({"encode", "EventParam"}, R"({"field_4":"-Infinity"})");
  ASSERT_EQ(infinite.status, 0) << infinite.err;
  EXPECT_EQ(infinite.out, std::string("\x25\x00\x00\x80\xff", 5));
}

TEST(MessageInspector, BadInputIsAnErrorNeverACrash) {
  struct Case {
    std::vector<std::string> arguments;
    std::string input;
    std::string error;
  };
  std::string deepJson;
  for (int i = 0; i < 5000; ++i) deepJson += "{\"param_value\":[";
  const Case cases[] = {
      {{}, "", "usage: apm-msg"},
      {{"decode"}, "", "usage: apm-msg"},
      {{"decode", "NoSuchMessage"}, "", "unknown message \"NoSuchMessage\""},
      {{"decode", "Event"}, "\x12\x09short", "cannot decode Event"},
      {{"decode", "Event"}, std::string("\x12\x81\x80\x40", 4), "cannot decode Event"},
      {{"decode", "Event", "--gunzip"}, "plain", "not valid gzip"},
      {{"encode", "Event"}, "{not json", "not valid JSON"},
      {{"encode", "Event"}, "[1,2]", "Event: expected an object, got an array"},
      {{"encode", "Event"}, R"({"name":5})", "Event.name: expected text, got 5"},
      {{"encode", "Event"}, R"({"timestamp_millis":1.5})", "Event.timestamp_millis"},
      {{"encode", "Event"}, R"({"params":{}})", "Event.params: expected a list"},
      {{"encode", "Event"}, R"({"field_5":4294967296})", "Event.field_5"},
      {{"encode", "MeasurementBundle"}, R"({"experiment_ids":[-1]})", "experiment_ids"},
      {{"encode", "MeasurementBundle"},
       R"({"apple_consent_status":"MAYBE"})",
       "is not a value of AppleConsentStatus"},
      {{"encode", "EventParam"}, deepJson, ""},
      {{"encode", "EventParam"}, deepJson + "]}", ""},
  };
  for (const Case& c : cases) {
    Result r = runTool(c.arguments, c.input);
    EXPECT_EQ(r.status, 1) << c.error;
    EXPECT_TRUE(r.out.empty()) << c.error;
    EXPECT_NE(r.err.find(c.error), std::string::npos) << r.err;
  }
  // A well-formed but too deep message.
  std::string nested = "{\"name\":\"leaf\"}";
  for (int i = 0; i < 120; ++i) nested = "{\"param_value\":[" + nested + "]}";
  Result r = runTool({"encode", "EventParam"}, nested);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("nested deeper than 100"), std::string::npos) << r.err;
}

TEST(MessageInspector, TheBinaryUsesStandardStreamsAndExitStatus) {
  std::string dir = messagetest::scratchDir();
  std::string json = dir + "/in.json", bin = dir + "/out.bin", out = dir + "/out.json",
              err = dir + "/err.txt";
  std::ofstream(json) << R"({"app_id":"1:2:ios:3","version":7})";
  std::string tool = KVL_TEST_APM_MSG;
  ASSERT_EQ(std::system((tool + " encode MeasurementConfig < " + json + " > " + bin).c_str()), 0);
  ASSERT_EQ(std::system((tool + " decode MeasurementConfig < " + bin + " > " + out).c_str()), 0);
  std::ifstream in(out);
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_EQ(json::parse(text.str()), json::parse(R"({"version":7,"app_id":"1:2:ios:3"})"));

  int status = std::system((tool + " decode Event < " + json + " > " + out + " 2> " + err).c_str());
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1);
  std::ifstream errors(err);
  std::stringstream errorText;
  errorText << errors.rdbuf();
  EXPECT_NE(errorText.str().find("apm-msg: cannot decode Event"), std::string::npos);

  // Output that cannot be written is a failure, not a success with nothing written.
  status =
      std::system((tool + " decode MeasurementConfig < " + bin + " > /dev/full 2> " + err).c_str());
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
  std::ifstream writeErrors(err);
  std::stringstream writeErrorText;
  writeErrorText << writeErrors.rdbuf();
  EXPECT_NE(writeErrorText.str().find("apm-msg: cannot write the output"), std::string::npos)
      << writeErrorText.str();
}

// The service decodes on several threads at once. Each decode's error holds the log lines of
// its own decode only, and what other threads write to the log meanwhile still reaches the
// log's sink (a decode used to swap the process-wide sink, which lost those lines, mixed the
// errors and left a sink of a finished decode installed).
TEST(MessageInspector, ConcurrentDecodesEachCollectTheirOwnLogLines) {
  testsupport::LogCapture capture;
  const std::vector<std::string> messages = {"Event", "MeasurementBatch", "MeasurementBundle",
                                             "EventParam"};
  constexpr int kRounds = 300;
  std::atomic<int> started{0};
  std::vector<std::string> failures(messages.size());
  std::vector<std::thread> threads;
  for (size_t t = 0; t < messages.size(); ++t) {
    threads.emplace_back([&, t] {
      const NANOMessageLayout* layout = apmmsg::findMessage(messages[t]);
      ++started;
      while (started < static_cast<int>(messages.size()) + 1) std::this_thread::yield();
      for (int i = 0; i < kRounds && failures[t].empty(); ++i) {
        std::string error;
        // Field 1 says 9 bytes follow; 5 do.
        if (apmmsg::decodeToJson(*layout, "\x0a\x09short", &error)) {
          failures[t] = "decoded";
        } else if (error.rfind("cannot decode " + messages[t] + ": <ERROR> " + messages[t], 0) !=
                   0) {
          failures[t] = error;
        }
        for (size_t other = 0; other < messages.size(); ++other) {
          if (other != t && error.find(" " + messages[other] + " ") != std::string::npos) {
            failures[t] = error;
          }
        }
      }
    });
  }
  std::thread writer([&] {
    ++started;
    while (started < static_cast<int>(messages.size()) + 1) std::this_thread::yield();
    for (int i = 0; i < kRounds; ++i) platform::PlatformLog::write("beside " + std::to_string(i));
  });
  for (std::thread& thread : threads) thread.join();
  writer.join();
  for (size_t t = 0; t < messages.size(); ++t) EXPECT_EQ(failures[t], "") << messages[t];
  platform::PlatformLog::write("after");
  std::vector<std::string> lines = capture.lines();
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [](const std::string& line) { return line.rfind("beside ", 0) == 0; }),
            kRounds);
  EXPECT_EQ(lines.empty() ? "" : lines.back(), "after") << "the test's sink is still the log's";
  EXPECT_FALSE(capture.contains("decoder failed")) << "decode lines go to their decode only";
}

}  // namespace
