#pragma once

#include <string>

#include "platform/foundation/Value.h"

// The application's delegate as other code sees it through UIApplication::delegate(). Every
// operation is optional: whether the delegate "answers" one is a dynamic_cast to the small
// interface that declares it.
class UIApplicationDelegate {
 public:
  virtual ~UIApplicationDelegate() = default;
};

// application:openURL:options: — called on the main thread; answers whether the app handled
// the URL.
class UIApplicationOpenURLDelegate {
 public:
  virtual ~UIApplicationOpenURLDelegate() = default;
  virtual bool applicationOpenURL(const std::string& url,
                                  const platform::Value::Dictionary& options) = 0;
};
