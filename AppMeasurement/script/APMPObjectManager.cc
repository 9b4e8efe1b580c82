#include "AppMeasurement/script/APMPObjectManager.h"

#include <atomic>

#include "AppMeasurement/script/APMPArrayValue.h"
#include "AppMeasurement/script/APMPFunctionValue.h"
#include "AppMeasurement/script/APMPMapValue.h"
#include "AppMeasurement/script/APMPScope.h"

namespace {

template <typename T>
std::shared_ptr<T> Track(std::shared_ptr<T> value, const APMPScopePtr& scope) {
  if (scope) {
    if (APMPObjectManager* manager = scope->objectManager()) manager->addObject(value);
  }
  return value;
}

}  // namespace

APMPObjectManager::~APMPObjectManager() = default;

std::shared_ptr<APMPFunctionValue> APMPObjectManager::functionValueWithFunctionName(
    std::u16string functionName, std::vector<std::u16string> parameterNames,
    APMPValueList statements, const APMPScopePtr& definingScope) {
  return Track(
      std::make_shared<APMPFunctionValue>(std::move(functionName), std::move(parameterNames),
                                          std::move(statements), definingScope),
      definingScope);
}

std::shared_ptr<APMPMapValue> APMPObjectManager::mapValueWithScope(const APMPScopePtr& scope) {
  return Track(APMPMakeRecycled<APMPMapValue>(), scope);
}

std::shared_ptr<APMPArrayValue> APMPObjectManager::arrayValueWithScope(const APMPScopePtr& scope) {
  return Track(std::make_shared<APMPArrayValue>(), scope);
}

std::shared_ptr<APMPArrayValue> APMPObjectManager::arrayValueWithArray(APMPValueList elements,
                                                                       const APMPScopePtr& scope) {
  return Track(std::make_shared<APMPArrayValue>(std::move(elements)), scope);
}

std::shared_ptr<APMPArrayValue> APMPObjectManager::subarrayWithArray(const APMPArrayValue& array,
                                                                     uint64_t location,
                                                                     uint64_t length,
                                                                     const APMPScopePtr& scope) {
  return Track(array.subarrayWithRange(location, length), scope);
}

namespace {
// Collection numbers are unique in the process, so a value or scope that two runtimes can
// reach is never taken as already visited because of another runtime's collection.
std::atomic<uint64_t> gCollections{0};
}  // namespace

void APMPObjectManager::addRoot(const std::shared_ptr<APMPMarkable>& root) {
  if (!root) return;
  roots_.push_back(root);
  lastEpoch_ = 0;
}

void APMPObjectManager::addObject(const std::shared_ptr<APMPRuntimeValue>& object) {
  if (object) objects_.push_back(object);
}

bool APMPObjectManager::lastMarkStillHolds() {
  // Another collection may have marked values this one shares with its runtime; its marks
  // replace ours, so ours cannot be read back.
  if (lastEpoch_ == 0 || lastEpoch_ != gCollections.load(std::memory_order_relaxed)) return false;
  if (gAPMPReachedWrites.load(std::memory_order_relaxed) != reachedWritesAtLastMark_) return false;
  if (roots_.size() != rootsAtLastMark_) return false;
  for (const auto& weak : roots_)
    if (weak.expired()) return false;
  return true;
}

void APMPObjectManager::collectGarbage() {
  if (lastMarkStillHolds()) {
    sweepObjects(false, lastEpoch_);
    return;
  }
  mark();
  sweep();
}

void APMPObjectManager::mark() {
  uint64_t writes = gAPMPReachedWrites.load(std::memory_order_relaxed);
  APMPMarker marker(++gCollections, std::move(markWork_));
  liveRoots_.clear();  // held for the whole mark phase
  for (const auto& weak : roots_) {
    if (auto root = weak.lock()) {
      marker.add(root.get());
      liveRoots_.push_back(std::move(root));
    }
  }
  marker.drain();
  markWork_ = marker.takeStorage();
  lastEpoch_ = liveRoots_.size() == roots_.size() ? marker.epoch() : 0;
  reachedWritesAtLastMark_ = writes;
  rootsAtLastMark_ = roots_.size();
  liveRoots_.clear();
}

void APMPObjectManager::sweep() { sweepObjects(false); }

void APMPObjectManager::sweepAll() {
  sweepObjects(true);
  lastEpoch_ = 0;
}

void APMPObjectManager::sweepObjects(bool everything, uint64_t reachedEpoch) {
  // Hold every tracked value while sweeping: emptying one must not free another mid-sweep
  // (that would run destructors recursively down a long chain of values). They are
  // released one by one, already empty, at the end. Entries whose values are gone, or go
  // then, leave the tracked list, which keeps its order.
  std::vector<std::shared_ptr<APMPRuntimeValue>> live = std::move(liveObjects_);
  live.clear();
  size_t kept = 0;
  for (size_t i = 0; i < objects_.size(); ++i) {
    auto object = objects_[i].lock();
    if (!object) continue;
    if (kept != i) objects_[kept] = std::move(objects_[i]);
    ++kept;
    // Reached by the mark that still holds: its mark was cleared by that collection's sweep,
    // and it stays as that sweep left it (the roots keep it alive meanwhile).
    if (reachedEpoch != 0 && object->collectorEpoch() == reachedEpoch) continue;
    live.push_back(std::move(object));
  }
  objects_.resize(kept);
  for (const auto& object : live) {
    if (everything) object->sweep();  // clears a set mark
    object->sweep();
  }
  live.clear();
  liveObjects_ = std::move(live);
  // Values freed just now leave the list at once.
  std::erase_if(objects_, [](const auto& weak) { return weak.expired(); });
}
