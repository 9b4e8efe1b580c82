#pragma once

#include <cstdint>
#include <memory>

// The server-controlled limits that the parameter sanitiser and the data-type validator
// apply. The remote configuration implements this interface; until one is installed the
// built-in defaults apply (APMDefaultParameterLimits).
//
// How the rules receive it: one process-wide provider. The sanitiser and the validator read
// APMParameterLimits::current() once per call, so a provider installed (or removed) later
// applies to every call that starts after it. Installing, removing and reading are
// thread-safe; an implementation must answer from any thread.
//
// Several owners may install one (each engine its remote configuration, a test environment its
// own limits): the newest installed answers, and an owner takes out only its own, so whoever
// installed before it answers again and nobody undoes another's provider.
class APMParameterLimits {
 public:
  virtual ~APMParameterLimits() = default;

  // Public parameters an event may keep (default 100).
  virtual int64_t maxPublicEventParams() const = 0;
  // Custom (non e-commerce) parameters an item of an array parameter may keep (default 27).
  virtual int64_t maxItemScopedCustomParameters() const = 0;
  // Code points of a string parameter value of a public event (default 500).
  virtual int64_t maxPublicEventParameterValueLength() const = 0;
  // Code points of a string parameter value of an internal event: the public length, but
  // 256 while the public length is below 257 (internalValueLengthForPublicLength).
  virtual int64_t maxInternalEventParameterValueLength() const = 0;

  // The internal value length that goes with a public value length.
  static int64_t internalValueLengthForPublicLength(int64_t publicLength) {
    return publicLength < 257 ? 256 : publicLength;
  }

  // The newest installed provider; the defaults when none is installed. Never null.
  static std::shared_ptr<const APMParameterLimits> current();
  // Installs a provider for the process until it is removed; null is ignored.
  static void install(std::shared_ptr<const APMParameterLimits> limits);
  // Takes the provider out (its newest installation); nothing when it is not installed.
  static void remove(const APMParameterLimits* limits);
};

// The built-in defaults.
class APMDefaultParameterLimits : public APMParameterLimits {
 public:
  static constexpr int64_t kMaxPublicEventParams = 100;
  static constexpr int64_t kMaxItemScopedCustomParameters = 27;
  static constexpr int64_t kMaxPublicEventParameterValueLength = 500;

  int64_t maxPublicEventParams() const override { return kMaxPublicEventParams; }
  int64_t maxItemScopedCustomParameters() const override { return kMaxItemScopedCustomParameters; }
  int64_t maxPublicEventParameterValueLength() const override {
    return kMaxPublicEventParameterValueLength;
  }
  int64_t maxInternalEventParameterValueLength() const override {
    return internalValueLengthForPublicLength(maxPublicEventParameterValueLength());
  }
};
