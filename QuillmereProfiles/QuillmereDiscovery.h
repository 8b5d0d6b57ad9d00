#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "Platform/NetworkInterfaces.h"
#include "Platform/DNSService.h"

namespace qm {

// One network route of the Host: where a Viewer can reach it.
struct QuillmereRouteRecord {
    std::string kind;           // "thunderbolt", "lan" or "wifi"
    std::string interfaceName;  // "eth0"
    std::string address;        // numeric IPv4 or IPv6 text

    // "Wi-Fi", "Thunderbolt" or "LAN", then a blank and the interface name when there is one.
    std::string displayLabel() const;
    friend bool operator==(const QuillmereRouteRecord&, const QuillmereRouteRecord&) = default;
};

// What the Host's DNS-SD advertisement says of it, before it is put into TXT strings.
struct QuillmereAdvertisement {
    std::string version = "1";  // of the TXT record's layout
    std::string hostID;         // the stable Host id (uppercase UUID text)
    std::string name;           // the Host's name as Viewers list it
    std::vector<QuillmereRouteRecord> routes;
    std::optional<std::uint16_t> vncPort;  // screen-sharing fallback, when the Host offers one
    std::uint16_t auxPort = 0;
    std::uint16_t videoPort = 0;
    std::vector<std::string> wakeAddresses;  // MAC addresses for Wake-on-LAN
    std::string keyFingerprint;              // of the Host's identity key; empty leaves it out
};

class QuillmereDiscovery {
public:
    static constexpr const char* serviceType = "_quillmere-host._tcp";
    // Route kinds, in the order routes are preferred: the fastest link first.
    static constexpr const char* kindThunderbolt = "thunderbolt";
    static constexpr const char* kindLAN = "lan";
    static constexpr const char* kindWiFi = "wifi";

    // The Host's usable routes right now, in preferred order; empty when there is none.
    static std::vector<QuillmereRouteRecord> localRouteRecords();

    // The routes among these addresses: every IPv4 address before any IPv6 one, then thunderbolt,
    // lan, wifi, otherwise in the given order. Loopback, IPv6 link-local (fe80::/10, unusable
    // without a scope) and addresses of interfaces that are down are left out; IPv4 link-local
    // (169.254/16) stays, since a Thunderbolt bridge between two machines usually has nothing else.
    static std::vector<QuillmereRouteRecord> routeRecords(const std::vector<InterfaceAddress>& addresses,
                                                          const std::filesystem::path& sysfsRoot = "/sys");

    // "wifi" when <root>/class/net/<name>/wireless (or phy80211) exists; "thunderbolt" when the
    // device's driver is thunderbolt-net; else "lan".
    static std::string interfaceKind(const std::string& interfaceName,
                                     const std::filesystem::path& sysfsRoot = "/sys");

    // The hardware addresses of the routes' interfaces (lowercase "aa:bb:cc:dd:ee:ff"), once
    // each, in route order; interfaces without a usable Ethernet address are left out.
    static std::vector<std::string> wakeOnLANAddresses(const std::vector<QuillmereRouteRecord>& routes,
                                                       const std::filesystem::path& sysfsRoot = "/sys");

    // The TXT record, keys in the order v, id, name, routes, vnc, aux, video, wake (then fp when
    // a fingerprint is given). Every string stays within 255 bytes: lists lose their last
    // entries and the name is cut at a character boundary.
    static TXTRecord makeTXTRecord(const QuillmereAdvertisement& advertisement);

    // The text of one route inside the "routes" value: kind/interface/address.
    static std::string routeText(const QuillmereRouteRecord& route);
};

}  // namespace qm
