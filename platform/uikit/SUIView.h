#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <vector>

// A SwiftUI view as an app's layout code sees it: a piece of screen that modifiers wrap and
// that the host shows and hides. Each showing runs the view's on-appear actions, in the order
// they were added, on the showing thread (the main thread in the app); hiding runs none.
// Thread-safe; actions run without the view's lock held.
class SUIView {
 public:
  explicit SUIView(std::string name) : name_(std::move(name)) {}

  const std::string& name() const { return name_; }
  // Adds an action run at every appearance.
  SUIView& onAppear(std::function<void()> action);
  // The host shows the view (the on-appear hook).
  void appear();
  // The host hides the view.
  void disappear();
  bool isVisible() const;

 private:
  const std::string name_;
  mutable std::mutex mutex_;
  std::vector<std::function<void()>> appearActions_;  // guarded by mutex_
  bool visible_ = false;                              // guarded by mutex_
};

// SwiftUI's view-modifier interface: a value that wraps a view's content.
class SUIViewModifier {
 public:
  virtual ~SUIViewModifier() = default;
  virtual SUIView& body(SUIView& content) const = 0;
};
