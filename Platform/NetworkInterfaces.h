#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Platform/Network.h"

namespace qm {

// One address of one interface, as the system lists it.
struct InterfaceAddress {
    std::string interfaceName;  // the device name ("eth0"), without an alias suffix (":1")
    bool isIPv6 = false;
    std::string address;        // numeric text, without a scope suffix
    bool isUp = false;          // administratively up and with a carrier
    bool isLoopback = false;
    bool isLinkLocal = false;   // 169.254.0.0/16 or fe80::/10
};

// Every IPv4 and IPv6 address of every interface, in the system's order (getifaddrs).
std::vector<InterfaceAddress> currentInterfaceAddresses();

// The path as the monitor reports it: the names (sorted, once each) of the up, non-loopback
// interfaces that have an address; satisfied when there is at least one.
NetworkPath networkPathFromInterfaces(const std::vector<InterfaceAddress>& addresses);

// A path monitor that polls `source` on its queue every `interval` seconds and reports only
// changes (and the first reading at start). Tests hand it a fake source and a manual queue.
std::shared_ptr<PathMonitor> makePollingPathMonitor(std::function<NetworkPath()> source, double interval = 2.0);

}  // namespace qm
