#include "Platform/Net/NetworkMonitor.hpp"

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

namespace platform::net {
namespace {

constexpr auto checkInterval = std::chrono::seconds(3);

std::string readWhole(const char* path) {
  std::ifstream input(path);
  std::ostringstream text;
  text << input.rdbuf();
  return text.str();
}

bool monitorDisabled() {
  const char* value = std::getenv("CI_DISABLE_NETWORK_MONITOR");
  return value != nullptr && std::string_view(value) == "1";
}

// /proc/net/route: "Iface Destination Gateway Flags ..." with hexadecimal
// fields; a default route has destination 00000000 and the up flag (1).
bool ipv4Default(std::string_view table) {
  std::istringstream lines{std::string(table)};
  std::string line;
  std::getline(lines, line);  // column titles
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    std::string interface, destination, gateway, flags;
    if (!(fields >> interface >> destination >> gateway >> flags)) continue;
    if (interface == "lo" || destination != "00000000") continue;
    if ((std::strtoul(flags.c_str(), nullptr, 16) & 0x1) != 0) return true;
  }
  return false;
}

// /proc/net/ipv6_route: destination, prefix length, source, source prefix,
// next hop, metric, reference count, use count, flags, interface.
bool ipv6Default(std::string_view table) {
  std::istringstream lines{std::string(table)};
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    std::string destination, prefix, source, sourcePrefix, hop, metric, refs, uses, flags, device;
    if (!(fields >> destination >> prefix >> source >> sourcePrefix >> hop >> metric >> refs >>
          uses >> flags >> device))
      continue;
    if (device == "lo" || prefix != "00" || destination.find_first_not_of('0') != std::string::npos)
      continue;
    const auto bits = std::strtoul(flags.c_str(), nullptr, 16);
    constexpr unsigned long up = 0x1, reject = 0x200;
    if ((bits & up) != 0 && (bits & reject) == 0) return true;
  }
  return false;
}

}  // namespace

NetworkMonitor& NetworkMonitor::shared() {
  static NetworkMonitor monitor;
  monitor.start();
  return monitor;
}

NetworkMonitor::NetworkMonitor() = default;

NetworkMonitor::~NetworkMonitor() {
  if (worker_.joinable()) {
    worker_.request_stop();
    wake_.notify_all();
  }
}

void NetworkMonitor::start() {
  std::lock_guard guard(mutex_);
  if (worker_.joinable() || monitorDisabled()) return;
  worker_ = std::jthread([this](std::stop_token stop) { run(stop); });
}

NetworkPath NetworkMonitor::currentPath() const {
  std::lock_guard guard(mutex_);
  return path_;
}

bool NetworkMonitor::hasDefaultRoute(std::string_view ipv4Routes, std::string_view ipv6Routes) {
  return ipv4Default(ipv4Routes) || ipv6Default(ipv6Routes);
}

void NetworkMonitor::run(std::stop_token stop) {
  while (!stop.stop_requested()) {
    const bool connected =
        hasDefaultRoute(readWhole("/proc/net/route"), readWhole("/proc/net/ipv6_route"));
    std::unique_lock lock(mutex_);
    path_.isConnected = connected;
    wake_.wait_for(lock, stop, checkInterval, [] { return false; });
  }
}

}  // namespace platform::net
