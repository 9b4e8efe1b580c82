#pragma once

#include <sqlite3.h>

#include <cstdint>

namespace storagetest {

// A SQLite VFS over the default one that fails writes or syncs on request, for tests of what
// the store does on a full disk or a failing device. install() makes it the process's default
// VFS (once; it stays installed, passing everything through while no fault is armed). Faults
// count the calls made after arming, on every file of every connection. Thread-safe.
class FaultInjectingVfs {
 public:
  static void install();

  // The nth write from now (1 = the next) and, when `sticky`, every later one fail with
  // `resultCode` (SQLITE_FULL for a full disk, SQLITE_IOERR_WRITE for a failing device).
  static void failWrites(int64_t nth, int resultCode, bool sticky);
  // The nth sync from now and, when `sticky`, every later one fail with SQLITE_IOERR_FSYNC.
  static void failSyncs(int64_t nth, bool sticky);
  // Every open of a file fails with SQLITE_CANTOPEN (a folder the process may not write, a
  // file it may not read) while set.
  static void failOpens(bool fail);
  // Writes to a write-ahead log that would take it past `bytes` fail with SQLITE_FULL: a disk
  // with room for that much log. 0 lifts the limit.
  static void limitWal(int64_t bytes);
  // Lifts every fault.
  static void disarm();

  // Writes and syncs that reached the real files since install.
  static int64_t writes();
  static int64_t syncs();
};

}  // namespace storagetest
