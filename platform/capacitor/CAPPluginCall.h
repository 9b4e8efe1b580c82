#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/capacitor/CAPBridgePage.h"
#include "platform/foundation/Value.h"

namespace platform {

// One call from web code to a plug-in method: its ids, its options (a JSON object) and the way
// back to the page that made it.
//
// Reading (getString ... getObject) gives an empty optional when the key is missing or holds
// another type; no default is applied here, plug-ins apply their own.
//
// Answering: a call is answered once. resolve() sends {success:true} without data (web code
// gets undefined), resolve(data) sends the dictionary as it is (null values stay null),
// reject(message) sends {success:false, error:{message, errorMessage}} with no code and no
// data. A second answer is logged and dropped. Answers may come from any thread; they reach
// the page in the order they are given. A call whose page has closed answers into nothing.
class CAPPluginCall {
 public:
  CAPPluginCall(std::string callbackId, std::string pluginId, std::string methodName,
                Value::Dictionary options, std::shared_ptr<CAPBridgePage> page);

  const std::string& callbackId() const { return callbackId_; }
  const std::string& pluginId() const { return pluginId_; }
  const std::string& methodName() const { return methodName_; }
  const Value::Dictionary& options() const { return options_; }
  const std::shared_ptr<CAPBridgePage>& page() const { return page_; }

  std::optional<std::string> getString(std::string_view key) const;
  // Only JSON booleans; a number is not a boolean.
  std::optional<bool> getBool(std::string_view key) const;
  // Only whole numbers that fit an int64 (an integer, or a real with a whole value in range);
  // booleans are not numbers here.
  std::optional<int64_t> getInt(std::string_view key) const;
  std::optional<Value::Array> getArray(std::string_view key) const;
  std::optional<Value::Dictionary> getObject(std::string_view key) const;

  void resolve();
  void resolve(Value::Dictionary data);
  void reject(std::string message);
  // A reject with a code, for the bridge's own refusals ("UNIMPLEMENTED", "UNAVAILABLE").
  void rejectWithCode(std::string message, std::string code);

  // Whether an answer was sent (or dropped because the page had closed).
  bool isAnswered() const { return answered_.load(); }

  // The answer frames, as the runtime's fromNative reads them. Public for the event path and
  // for tests.
  static Value resultFrame(const std::string& callbackId, const std::string& pluginId,
                           const std::string& methodName, bool save,
                           std::optional<Value::Dictionary> data);
  static Value errorFrame(const std::string& callbackId, const std::string& pluginId,
                          const std::string& methodName, const std::string& message,
                          std::optional<std::string> code);
  static std::string serialize(const Value& frame);

 private:
  bool claimAnswer(const char* how);
  // Sends the answer: with `message` a rejection (with `code` if any), else a resolution
  // (with `data` if any). Written straight to text; the same text as serialize() of
  // resultFrame or errorFrame gives.
  void sendAnswer(std::optional<Value::Dictionary> data, const std::string* message,
                  const std::optional<std::string>& code);

  const std::string callbackId_;
  const std::string pluginId_;
  const std::string methodName_;
  const Value::Dictionary options_;
  const std::shared_ptr<CAPBridgePage> page_;
  std::atomic<bool> answered_{false};
};

}  // namespace platform
