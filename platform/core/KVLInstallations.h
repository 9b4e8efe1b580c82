#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

// The installations service: one random identifier per installation of the app, kept in the
// app's preferences (domain "com.kavrelin.installations"), made on first request.
// Thread-safe; completions run on the global queue.
class KVLInstallations {
 public:
  static constexpr const char* kInstallationIDDidChangeNotification =
      "KVLInstallationIDDidChangeNotification";

  struct Error {
    int code = 0;
    std::string description;
  };
  using Completion =
      std::function<void(std::optional<std::string> identifier, std::optional<Error> error)>;

  static std::shared_ptr<KVLInstallations> installations();

  // Answers the identifier (22 characters of URL-safe base64), or an error.
  void installationIDWithCompletion(Completion completion);
  // Forgets the identifier (the next request makes a new one) and posts
  // "KVLInstallationIDDidChangeNotification" on the default centre.
  void deleteInstallation();

  // The next `count` requests fail with an error (tests only).
  void failNextRequestsForTesting(int count);

 private:
  std::optional<std::string> identifier(Error* error);

  std::mutex mutex_;
  int failuresLeft_ = 0;  // guarded by mutex_
};
