#include "Platform/Net/NetworkMonitor.hpp"

#include <gtest/gtest.h>

namespace {

using platform::net::NetworkMonitor;

const char* ipv4Header =
    "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n";

TEST(NetworkMonitorTest, DefaultRouteDecidesConnectivity) {
  const struct {
    const char* name;
    std::string ipv4, ipv6;
    bool connected;
  } cases[] = {
      {"ipv4 default up",
       std::string(ipv4Header) + "eth0\t00000000\t0100A8C0\t0003\t0\t0\t100\t00000000\t0\t0\t0\n"
                                 "eth0\t0000A8C0\t00000000\t0001\t0\t0\t100\t00FFFFFF\t0\t0\t0\n",
       "", true},
      {"ipv4 default down",
       std::string(ipv4Header) + "eth0\t00000000\t0100A8C0\t0002\t0\t0\t100\t00000000\t0\t0\t0\n",
       "", false},
      {"only a local network",
       std::string(ipv4Header) + "eth0\t0000A8C0\t00000000\t0001\t0\t0\t100\t00FFFFFF\t0\t0\t0\n",
       "", false},
      {"ipv6 default", std::string(ipv4Header),
       "00000000000000000000000000000000 00 00000000000000000000000000000000 00 "
       "fe800000000000000000000000000001 00000400 00000001 00000000 00000003 eth0\n",
       true},
      {"ipv6 unreachable default on loopback", std::string(ipv4Header),
       "00000000000000000000000000000000 00 00000000000000000000000000000000 00 "
       "00000000000000000000000000000000 ffffffff 00000001 00000000 00200200 lo\n",
       false},
      {"nothing readable", "", "", false},
  };
  for (const auto& entry : cases)
    EXPECT_EQ(NetworkMonitor::hasDefaultRoute(entry.ipv4, entry.ipv6), entry.connected)
        << entry.name;
}

TEST(NetworkMonitorTest, StartsConnectedAndCanBeStoppedAtOnce) {
  NetworkMonitor monitor;
  EXPECT_TRUE(monitor.isConnected());
  monitor.start();
  monitor.start();
  // Leaving the scope must not wait for the next periodic check.
}

}  // namespace
