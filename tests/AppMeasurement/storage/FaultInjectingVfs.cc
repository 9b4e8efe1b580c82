#include "tests/AppMeasurement/storage/FaultInjectingVfs.h"

#include <atomic>
#include <mutex>

namespace storagetest {
namespace {

struct Fault {
  std::atomic<int64_t> countdown{0};  // 0: not armed
  std::atomic<bool> sticky{false};
  std::atomic<bool> tripped{false};
  std::atomic<int> resultCode{SQLITE_OK};

  void arm(int64_t nth, int code, bool stick) {
    tripped = false;
    sticky = stick;
    resultCode = code;
    countdown = nth;
  }
  void disarm() {
    countdown = 0;
    tripped = false;
  }
  // The result code to fail this call with, or SQLITE_OK.
  int check() {
    if (tripped && sticky) return resultCode;
    int64_t left = countdown.load();
    while (left > 0 && !countdown.compare_exchange_weak(left, left - 1)) {
    }
    if (left == 1) {
      tripped = true;
      return resultCode;
    }
    return SQLITE_OK;
  }
};

Fault writeFault;
Fault syncFault;
std::atomic<bool> openFault{false};
std::atomic<int64_t> walLimit{0};
std::atomic<int64_t> writeCount{0};
std::atomic<int64_t> syncCount{0};
sqlite3_vfs* realVfs = nullptr;
sqlite3_vfs faultVfs;

struct FaultFile {
  sqlite3_file base;
  sqlite3_file* real;
  bool wal;
};

sqlite3_file* realOf(sqlite3_file* file) { return reinterpret_cast<FaultFile*>(file)->real; }

int faultClose(sqlite3_file* file) { return realOf(file)->pMethods->xClose(realOf(file)); }
int faultRead(sqlite3_file* file, void* buffer, int amount, sqlite3_int64 offset) {
  return realOf(file)->pMethods->xRead(realOf(file), buffer, amount, offset);
}
int faultWrite(sqlite3_file* file, const void* buffer, int amount, sqlite3_int64 offset) {
  if (int rc = writeFault.check(); rc != SQLITE_OK) return rc;
  int64_t limit = walLimit.load();
  if (limit > 0 && reinterpret_cast<FaultFile*>(file)->wal && offset + amount > limit) {
    return SQLITE_FULL;
  }
  ++writeCount;
  return realOf(file)->pMethods->xWrite(realOf(file), buffer, amount, offset);
}
int faultTruncate(sqlite3_file* file, sqlite3_int64 size) {
  return realOf(file)->pMethods->xTruncate(realOf(file), size);
}
int faultSync(sqlite3_file* file, int flags) {
  if (syncFault.check() != SQLITE_OK) return SQLITE_IOERR_FSYNC;
  ++syncCount;
  return realOf(file)->pMethods->xSync(realOf(file), flags);
}
int faultFileSize(sqlite3_file* file, sqlite3_int64* size) {
  return realOf(file)->pMethods->xFileSize(realOf(file), size);
}
int faultLock(sqlite3_file* file, int lock) {
  return realOf(file)->pMethods->xLock(realOf(file), lock);
}
int faultUnlock(sqlite3_file* file, int lock) {
  return realOf(file)->pMethods->xUnlock(realOf(file), lock);
}
int faultCheckReservedLock(sqlite3_file* file, int* out) {
  return realOf(file)->pMethods->xCheckReservedLock(realOf(file), out);
}
int faultFileControl(sqlite3_file* file, int op, void* arg) {
  return realOf(file)->pMethods->xFileControl(realOf(file), op, arg);
}
int faultSectorSize(sqlite3_file* file) {
  return realOf(file)->pMethods->xSectorSize(realOf(file));
}
int faultDeviceCharacteristics(sqlite3_file* file) {
  return realOf(file)->pMethods->xDeviceCharacteristics(realOf(file));
}
int faultShmMap(sqlite3_file* file, int page, int size, int extend, void volatile** out) {
  return realOf(file)->pMethods->xShmMap(realOf(file), page, size, extend, out);
}
int faultShmLock(sqlite3_file* file, int offset, int n, int flags) {
  return realOf(file)->pMethods->xShmLock(realOf(file), offset, n, flags);
}
void faultShmBarrier(sqlite3_file* file) { realOf(file)->pMethods->xShmBarrier(realOf(file)); }
int faultShmUnmap(sqlite3_file* file, int deleteFlag) {
  return realOf(file)->pMethods->xShmUnmap(realOf(file), deleteFlag);
}
int faultFetch(sqlite3_file* file, sqlite3_int64 offset, int amount, void** out) {
  // Memory-mapped reads would bypass nothing we watch, but keep the real file's answer.
  return realOf(file)->pMethods->xFetch(realOf(file), offset, amount, out);
}
int faultUnfetch(sqlite3_file* file, sqlite3_int64 offset, void* pointer) {
  return realOf(file)->pMethods->xUnfetch(realOf(file), offset, pointer);
}

const sqlite3_io_methods kMethods = {
    3,
    faultClose,
    faultRead,
    faultWrite,
    faultTruncate,
    faultSync,
    faultFileSize,
    faultLock,
    faultUnlock,
    faultCheckReservedLock,
    faultFileControl,
    faultSectorSize,
    faultDeviceCharacteristics,
    faultShmMap,
    faultShmLock,
    faultShmBarrier,
    faultShmUnmap,
    faultFetch,
    faultUnfetch,
};

int faultOpen(sqlite3_vfs*, sqlite3_filename name, sqlite3_file* file, int flags, int* outFlags) {
  auto* wrapper = reinterpret_cast<FaultFile*>(file);
  wrapper->base.pMethods = nullptr;
  wrapper->real = reinterpret_cast<sqlite3_file*>(wrapper + 1);
  wrapper->wal = (flags & SQLITE_OPEN_WAL) != 0;
  if (openFault) return SQLITE_CANTOPEN;
  int rc = realVfs->xOpen(realVfs, name, wrapper->real, flags, outFlags);
  if (wrapper->real->pMethods != nullptr) wrapper->base.pMethods = &kMethods;
  return rc;
}

}  // namespace

void FaultInjectingVfs::install() {
  static std::once_flag once;
  std::call_once(once, [] {
    realVfs = sqlite3_vfs_find(nullptr);
    faultVfs = *realVfs;
    faultVfs.zName = "kvl-fault";
    faultVfs.szOsFile = static_cast<int>(sizeof(FaultFile)) + realVfs->szOsFile;
    faultVfs.pNext = nullptr;
    faultVfs.xOpen = faultOpen;
    sqlite3_vfs_register(&faultVfs, 1);
  });
}

void FaultInjectingVfs::failWrites(int64_t nth, int resultCode, bool sticky) {
  writeFault.arm(nth, resultCode, sticky);
}

void FaultInjectingVfs::failSyncs(int64_t nth, bool sticky) {
  syncFault.arm(nth, SQLITE_IOERR_FSYNC, sticky);
}

void FaultInjectingVfs::failOpens(bool fail) { openFault = fail; }

void FaultInjectingVfs::limitWal(int64_t bytes) { walLimit = bytes; }

void FaultInjectingVfs::disarm() {
  openFault = false;
  walLimit = 0;
  writeFault.disarm();
  syncFault.disarm();
}

int64_t FaultInjectingVfs::writes() { return writeCount.load(); }
int64_t FaultInjectingVfs::syncs() { return syncCount.load(); }

}  // namespace storagetest
