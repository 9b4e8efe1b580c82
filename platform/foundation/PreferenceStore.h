#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "absl/status/status.h"
#include "platform/foundation/Value.h"

namespace platform {

// Preference suites (the phone's CFPreferences): one shared key-value store per domain,
// kept as the property list "<domain>.plist" in the container's Library/Preferences.
//
// A domain is a suite name, or the current application's own domain (named by
// kCurrentApplication or an empty name). A store reads its file lazily on first use.
// Changes are written by the store itself, as the platform does: once kWriteDelay seconds
// of uptime by the installed platform::Clock have passed without a further change (at most
// kMaxWriteDelay after the first unwritten one), on a queue of its own, and once more when
// the process exits in order (std::exit or a return from main). `synchronize` writes at
// once. A write is the whole domain as a binary property list, atomically (fsync and
// rename); a write that fails is logged to the platform log and tried again at the next
// change, synchronize or exit. Values must be property-list values (bool, integer, real,
// string, bytes, date, arrays and dictionaries of them).
//
// Thread-safe: every method may be called from any thread. Stores are shared: every
// `forDomain` call with the same domain (in the same container) gives the same store.
class PreferenceStore : public std::enable_shared_from_this<PreferenceStore> {
 public:
  // The name that stands for the current application's domain (kCFPreferencesCurrentApplication).
  static constexpr std::string_view kCurrentApplication = "kCFPreferencesCurrentApplication";
  // Seconds of quiet after a change before the store writes by itself, and the longest a
  // change waits while changes keep coming.
  static constexpr double kWriteDelay = 1.0;
  static constexpr double kMaxWriteDelay = 5.0;

  // The store of a domain in the current container. kCurrentApplication and the empty
  // name give the current application's domain.
  static std::shared_ptr<PreferenceStore> forDomain(std::string_view domain);

  // The current application's domain: the one set here, else the main bundle's
  // identifier, else the process name.
  static std::string currentApplicationDomain();
  static void setCurrentApplicationDomain(std::string domain);

  // The file of a domain ("<domain>.plist" in Library/Preferences); kCurrentApplication
  // and the empty name resolve to the current application's domain.
  static std::filesystem::path preferencesFilePath(std::string_view domain);

  const std::string& domain() const { return domain_; }
  const std::filesystem::path& filePath() const { return filePath_; }

  // A copy of the value for the key, or nothing.
  std::optional<Value> valueForKey(std::string_view key);
  // Stores a copy of the value; a null value removes the key. A value that is not a
  // property-list value is refused with InvalidArgument and nothing changes.
  absl::Status setValue(std::string_view key, const Value& value);
  void removeValue(std::string_view key);
  // Sets and removes several keys in one step (CFPreferencesSetMultiple); the removals
  // come after the settings. Refused as a whole when any value is not a property-list value.
  absl::Status setMultiple(const Value::Dictionary& valuesToSet,
                           const std::vector<std::string>& keysToRemove);
  // The keys of the domain, sorted.
  std::vector<std::string> keys();
  // A copy of the whole domain.
  Value::Dictionary dictionaryRepresentation();

  // Writes the domain to its file when it changed since the last write (creating the
  // Preferences folder when needed). A domain whose file exists but cannot be read is not
  // overwritten: the read error is returned instead. The read is tried again at each use;
  // once it succeeds, the changes made meanwhile are laid over the file's content.
  absl::Status synchronize();

  // Drops a domain from the application's preferences (after its file was moved away):
  // what the store held in memory is forgotten without being written, so that no later
  // write brings the old file back. The next use reads the domain's file anew.
  static void removeDomain(std::string_view domain);

  // Held by every write of a preference file in the process: whoever changes a file's
  // attributes (the backup exclusion) holds it too, so that a write replacing the file at
  // that moment cannot drop the change.
  static std::mutex& fileMutex();

  // Forgets every loaded store without writing it, so that the next use reads the files
  // again (for tests and for a change of container). Stores held elsewhere keep working on
  // their own, but no longer write by themselves at exit.
  static void resetForTesting();

  PreferenceStore(std::string domain, std::filesystem::path filePath);

 private:
  void loadLocked();
  absl::Status synchronizeLocked();
  // Notes a change that the store must write, and arranges the write unless one waits.
  void changedLocked();
  // Arranges a write `delay` seconds of uptime from now on the writer queue.
  void scheduleWriteLocked(double delay);
  // Runs `delay` after it was arranged when `change` changes had been made: writes unless
  // later changes came (then waits for quiet after the latest, within kMaxWriteDelay).
  void writeIfQuiet(uint64_t change);
  // Writes every loaded store (at exit).
  static void synchronizeAll();
  // While the file cannot be read, remembers a change (a null value: a removal) to make
  // on top of its content once it can.
  void noteChangeLocked(std::string_view key, const Value* value);

  const std::string domain_;
  const std::filesystem::path filePath_;
  // Guards everything below. Taken before fileMutex() when both are held.
  std::mutex mutex_;
  bool loaded_ = false;
  bool dirty_ = false;
  uint64_t changes_ = 0;                    // changes made so far
  std::optional<double> firstUnwrittenAt_;  // uptime of the oldest change not yet written
  double lastChangeAt_ = 0;                 // uptime of the latest change
  std::weak_ptr<void> pendingWrite_;        // alive while an arranged write waits to run
  absl::Status loadError_;
  Value::Dictionary values_;
  std::map<std::string, std::optional<Value>, std::less<>> unreadChanges_;
};

}  // namespace platform
