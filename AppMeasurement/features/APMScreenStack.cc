#include "AppMeasurement/features/APMScreenStack.h"

#include <algorithm>

size_t APMScreenStack::count() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return entries_.size();
}

std::shared_ptr<UIViewController> APMScreenStack::at(size_t index) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return index < entries_.size() ? entries_[index].lock() : nullptr;
}

std::optional<size_t> APMScreenStack::indexOf(const UIViewController* controller) const {
  std::lock_guard<std::mutex> lock(mutex_);
  for (size_t i = 0; i < entries_.size(); ++i) {
    std::shared_ptr<UIViewController> entry = entries_[i].lock();
    if (entry && entry.get() == controller) return i;
  }
  return std::nullopt;
}

void APMScreenStack::append(const std::shared_ptr<UIViewController>& controller) {
  std::lock_guard<std::mutex> lock(mutex_);
  entries_.push_back(controller);
}

void APMScreenStack::remove(const UIViewController* controller) {
  std::lock_guard<std::mutex> lock(mutex_);
  entries_.erase(std::remove_if(entries_.begin(), entries_.end(),
                                [controller](const Entry& entry) {
                                  std::shared_ptr<UIViewController> live = entry.lock();
                                  return live && live.get() == controller;
                                }),
                 entries_.end());
}

void APMScreenStack::removeAt(size_t index) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (index < entries_.size()) entries_.erase(entries_.begin() + static_cast<ptrdiff_t>(index));
}

void APMScreenStack::compact() {
  std::lock_guard<std::mutex> lock(mutex_);
  entries_.erase(std::remove_if(entries_.begin(), entries_.end(),
                                [](const Entry& entry) { return entry.expired(); }),
                 entries_.end());
}

std::vector<std::shared_ptr<UIViewController>> APMScreenStack::liveTopFirst() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::shared_ptr<UIViewController>> live;
  for (auto entry = entries_.rbegin(); entry != entries_.rend(); ++entry) {
    if (std::shared_ptr<UIViewController> controller = entry->lock()) live.push_back(controller);
  }
  return live;
}
