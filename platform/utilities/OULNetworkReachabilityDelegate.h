#pragma once

// Told when the network object's view of its reachability host changes. Called on any thread
// (the network object's worker thread here); read OULNetwork::isNetworkConnected for the news.
class OULNetworkReachabilityDelegate {
 public:
  virtual ~OULNetworkReachabilityDelegate() = default;
  virtual void reachabilityDidChange() = 0;
};
