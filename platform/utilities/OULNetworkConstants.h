#pragma once

#include <cstdint>

// HTTP statuses the measurement library compares answers with.
inline constexpr int64_t kOULNetworkHTTPStatusOK = 200;
inline constexpr int64_t kOULNetworkHTTPStatusNoContent = 204;
inline constexpr int64_t kOULNetworkHTTPStatusCodeNotModified = 304;
inline constexpr int64_t kOULNetworkHTTPStatusCodeNotFound = 404;
inline constexpr int64_t kOULNetworkHTTPStatusCodeCannotAcceptTraffic = 429;
inline constexpr int64_t kOULNetworkHTTPStatusCodeUnavailable = 503;

// Domain of the errors a request completes with when it failed in transport (no HTTP answer).
inline constexpr const char kOULNetworkErrorDomain[] = "com.orvane.OULNetwork";

enum OULNetworkErrorCode : int {
  OULNetworkErrorCodeUnknown = 1,
  OULNetworkErrorCodeInvalidURL = 2,              // malformed, or a scheme other than http(s)
  OULNetworkErrorCodeTimedOut = 3,                // the time-out interval passed
  OULNetworkErrorCodeCannotFindHost = 4,          // name resolution failed
  OULNetworkErrorCodeCannotConnectToHost = 5,     // connection refused or unreachable
  OULNetworkErrorCodeConnectionLost = 6,          // the connection broke during the exchange
  OULNetworkErrorCodeSecureConnectionFailed = 7,  // TLS handshake or certificate failure
  OULNetworkErrorCodeTooManyRedirects = 8,
  OULNetworkErrorCodeResponseTooLarge = 9,  // body beyond kOULNetworkMaximumResponseBytes
  OULNetworkErrorCodeCancelled = 10,        // the network object went away first
  // Plain http to a host that is not this machine's loopback: refused before any connection.
  OULNetworkErrorCodeSecureConnectionRequired = 11,
};

// Bodies larger than this are refused (the request fails with ResponseTooLarge), so a
// misbehaving server cannot exhaust memory.
inline constexpr int64_t kOULNetworkMaximumResponseBytes = 64 * 1024 * 1024;

// Message codes of the lines the network object hands its logger delegate.
enum OULNetworkMessageCode : int64_t {
  kOULNetworkMessageCodeRequestStarted = 900001,       // debug mode: method, URL, size
  kOULNetworkMessageCodeResponseReceived = 900002,     // debug mode: status, URL, size
  kOULNetworkMessageCodeRequestFailed = 900003,        // warning: transport error
  kOULNetworkMessageCodeInvalidURL = 900004,           // warning: request refused before sending
  kOULNetworkMessageCodeReachabilityChanged = 900005,  // debug mode: new status
};
