#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "platform/dispatch/DispatchQueue.h"
#include "platform/foundation/Value.h"

// A string-keyed dictionary of property-list values mirrored to one property-list file in
// the library's Application Support folder ("<name>.plist").
//
// Changes reach the file by the dictionary's own delayed write: the first change schedules a
// write one second later (by the installed clock) on the serial queue "APMPersistentDictionary";
// further changes within that second ride on the same write. The write takes a copy under the
// lock and replaces the file atomically (temporary file, fsync, rename, folder fsync). A
// dictionary released with a write pending writes at once.
//
// A file that exists but cannot be read as a dictionary is moved aside to
// "<name>.plist.unreadable" (logged) before the first write replaces it, so that what it held
// is never overwritten blind.
//
// Every method may be called from any thread; the contents are guarded by the object's lock.
class APMPersistentDictionary : public std::enable_shared_from_this<APMPersistentDictionary> {
 public:
  // initWithFileName:. nullptr for an empty name, an empty resolved path or a parent folder
  // that cannot be created (43004).
  static std::shared_ptr<APMPersistentDictionary> create(std::string_view fileName);
  ~APMPersistentDictionary();
  APMPersistentDictionary(const APMPersistentDictionary&) = delete;
  APMPersistentDictionary& operator=(const APMPersistentDictionary&) = delete;

  const std::string& path() const { return path_; }

  // The value, or nullopt when absent; an empty key logs 43001.
  std::optional<platform::Value> objectForKey(std::string_view key) const;
  // Whether a string is stored under the key, without copying it.
  bool hasStringForKey(std::string_view key) const;
  // Stores a copy; nullopt (or a null Value) removes. An empty key logs 43002; a value that is
  // no property list (a null inside a collection) logs 43003. Storing an equal value changes
  // nothing and schedules no write; numbers are equal by value whatever their kind (5.0 over
  // a stored 5, YES over 1), so the stored one keeps its kind.
  void setObject(std::optional<platform::Value> value, std::string_view key);
  void removeObjectForKey(std::string_view key);

  // A number's value, else 0 / false.
  int64_t integerForKey(std::string_view key) const;
  float floatForKey(std::string_view key) const;
  double doubleForKey(std::string_view key) const;
  bool boolForKey(std::string_view key) const;
  // The value when of that kind, else nullopt.
  std::optional<std::string> stringForKey(std::string_view key) const;
  std::optional<platform::Value> numberForKey(std::string_view key) const;
  std::optional<platform::Value::Array> arrayForKey(std::string_view key) const;
  std::optional<platform::Value::Dictionary> dictionaryForKey(std::string_view key) const;

  void setInteger(int64_t value, std::string_view key);
  void setFloat(float value, std::string_view key);
  void setDouble(double value, std::string_view key);
  void setBool(bool value, std::string_view key);

  // Removes everything (a write is scheduled unless it was already empty).
  void clearAllData();
  // Schedules the delayed write unless one is pending.
  void schedulePersistToDisk();
  // Writes a copy of the contents now (43000 on failure; the next change tries again).
  void persistToDisk();
  // Writes a pending change now, on the caller's thread; nothing when none is pending. Keep
  // it off the main thread, as any disk write.
  void synchronize();

  // How many times the file has been written by this object; for tests.
  int64_t writeCountForTesting() const { return writeCount_.load(); }

 private:
  explicit APMPersistentDictionary(std::string path);
  void load();
  // Under lock_.
  void scheduleWriteLocked();

  const std::string path_;
  std::shared_ptr<platform::DispatchQueue> queue_;
  mutable std::mutex lock_;
  platform::Value::Dictionary dictionary_;  // guarded by lock_
  bool pending_ = false;                    // guarded by lock_
  // Serialises file writes, so that an older copy never lands after a newer one.
  std::mutex writeMutex_;
  std::atomic<int64_t> writeCount_{0};
};
