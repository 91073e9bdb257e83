#pragma once

#include <condition_variable>
#include <mutex>
#include <string_view>
#include <thread>

namespace platform::net {

// What the monitor last saw of the machine's network.
struct NetworkPath {
  bool isConnected = true;
  bool isExpensive = false;
  bool isConstrained = false;
};

// Watches whether the machine has a usable network, by checking every few
// seconds for a default route (IPv4 or IPv6) on an interface that is up.
// The state starts as connected and changes only after the first check.
// With CI_DISABLE_NETWORK_MONITOR=1 no checks run and it stays connected.
class NetworkMonitor {
 public:
  // The process-wide monitor, started on first use.
  static NetworkMonitor& shared();

  NetworkMonitor();
  ~NetworkMonitor();
  NetworkMonitor(const NetworkMonitor&) = delete;
  NetworkMonitor& operator=(const NetworkMonitor&) = delete;

  // Starts the periodic check; later calls do nothing.
  void start();
  NetworkPath currentPath() const;
  bool isConnected() const { return currentPath().isConnected; }

  // Whether the kernel's route tables (the text of /proc/net/route and
  // /proc/net/ipv6_route) hold a default route that is up.
  static bool hasDefaultRoute(std::string_view ipv4Routes, std::string_view ipv6Routes);

 private:
  void run(std::stop_token stop);

  mutable std::mutex mutex_;
  std::condition_variable_any wake_;
  NetworkPath path_;
  std::jthread worker_;
};

}  // namespace platform::net
