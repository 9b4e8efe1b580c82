#include "platform/uikit/SUIView.h"

SUIView& SUIView::onAppear(std::function<void()> action) {
  std::lock_guard<std::mutex> lock(mutex_);
  appearActions_.push_back(std::move(action));
  return *this;
}

void SUIView::appear() {
  std::vector<std::function<void()>> actions;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    visible_ = true;
    actions = appearActions_;
  }
  for (const auto& action : actions) {
    if (action) action();
  }
}

void SUIView::disappear() {
  std::lock_guard<std::mutex> lock(mutex_);
  visible_ = false;
}

bool SUIView::isVisible() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return visible_;
}
