#include "QuillmereProfiles/QuillmereDiscovery.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <map>
#include <system_error>
#include <tuple>

#include "Platform/Core/ByteIO.h"

namespace qm {

namespace {

// Kernel interface names never hold '/', but never build a path from one that does.
bool isSafeInterfaceName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos;
}

int kindRank(const std::string& kind) {
    if (kind == QuillmereDiscovery::kindThunderbolt) return 0;
    if (kind == QuillmereDiscovery::kindLAN) return 1;
    if (kind == QuillmereDiscovery::kindWiFi) return 2;
    return 1;
}

// The characters that separate the parts of a list value never appear inside a part.
std::string listSafe(std::string text) {
    for (char& c : text) {
        if (c == ',' || c == '/' || c == '=' || static_cast<unsigned char>(c) < 0x20) c = '_';
    }
    return text;
}

// The longest prefix of valid UTF-8 text that fits in `limit` bytes, never splitting a character.
// Invalid input keeps its ASCII bytes only.
std::string cutUTF8(std::string text, std::size_t limit) {
    if (!isValidUTF8(text)) {
        std::erase_if(text, [](char c) { return static_cast<unsigned char>(c) >= 0x80; });
    }
    if (text.size() <= limit) return text;
    std::size_t end = limit;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
    text.resize(end);
    return text;
}

// Joins entries with ',' keeping as many leading entries as fit in `limit` bytes.
std::string joinWithin(const std::vector<std::string>& entries, std::size_t limit) {
    std::string joined;
    for (const auto& entry : entries) {
        const std::size_t added = (joined.empty() ? 0 : 1) + entry.size();
        if (entry.empty() || joined.size() + added > limit) break;
        if (!joined.empty()) joined += ',';
        joined += entry;
    }
    return joined;
}

std::optional<std::string> normalizedMAC(std::string text) {
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.pop_back();
    if (text.size() != 17) return std::nullopt;
    bool allZero = true;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (i % 3 == 2) {
            if (c != ':') return std::nullopt;
            continue;
        }
        if (!std::isxdigit(static_cast<unsigned char>(c))) return std::nullopt;
        if (c != '0') allZero = false;
        text[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    if (allZero) return std::nullopt;
    return text;
}

}  // namespace

std::string QuillmereRouteRecord::displayLabel() const {
    std::string label = kind == QuillmereDiscovery::kindWiFi          ? "Wi-Fi"
                        : kind == QuillmereDiscovery::kindThunderbolt ? "Thunderbolt"
                                                                      : "LAN";
    if (!interfaceName.empty()) label += " " + interfaceName;
    return label;
}

std::vector<QuillmereRouteRecord> QuillmereDiscovery::localRouteRecords() {
    return routeRecords(currentInterfaceAddresses());
}

std::string QuillmereDiscovery::interfaceKind(const std::string& interfaceName, const std::filesystem::path& sysfsRoot) {
    if (!isSafeInterfaceName(interfaceName)) return kindLAN;
    const auto device = sysfsRoot / "class" / "net" / interfaceName;
    std::error_code ec;
    if (std::filesystem::exists(device / "wireless", ec) || std::filesystem::exists(device / "phy80211", ec)) {
        return kindWiFi;
    }
    const auto driver = std::filesystem::read_symlink(device / "device" / "driver", ec);
    if (!ec && driver.filename() == "thunderbolt-net") return kindThunderbolt;
    return kindLAN;
}

std::vector<QuillmereRouteRecord> QuillmereDiscovery::routeRecords(const std::vector<InterfaceAddress>& addresses,
                                                                   const std::filesystem::path& sysfsRoot) {
    struct Candidate {
        QuillmereRouteRecord record;
        bool isIPv6;
        int rank;
    };
    std::vector<Candidate> candidates;
    std::map<std::string, std::string> kinds;
    for (const auto& address : addresses) {
        if (!address.isUp || address.isLoopback || address.address.empty() || address.interfaceName.empty()) continue;
        if (address.isIPv6 && address.isLinkLocal) continue;
        auto known = kinds.find(address.interfaceName);
        if (known == kinds.end()) {
            known = kinds.emplace(address.interfaceName, interfaceKind(address.interfaceName, sysfsRoot)).first;
        }
        QuillmereRouteRecord record{known->second, address.interfaceName, address.address};
        const bool duplicate = std::any_of(candidates.begin(), candidates.end(),
                                           [&](const Candidate& c) { return c.record == record; });
        if (!duplicate) candidates.push_back({std::move(record), address.isIPv6, kindRank(known->second)});
    }
    std::stable_sort(candidates.begin(), candidates.end(), [](const Candidate& a, const Candidate& b) {
        return std::tie(a.isIPv6, a.rank) < std::tie(b.isIPv6, b.rank);
    });
    std::vector<QuillmereRouteRecord> routes;
    routes.reserve(candidates.size());
    for (auto& candidate : candidates) routes.push_back(std::move(candidate.record));
    return routes;
}

std::vector<std::string> QuillmereDiscovery::wakeOnLANAddresses(const std::vector<QuillmereRouteRecord>& routes,
                                                                const std::filesystem::path& sysfsRoot) {
    std::vector<std::string> result;
    std::vector<std::string> seenInterfaces;
    for (const auto& route : routes) {
        if (!isSafeInterfaceName(route.interfaceName)) continue;
        if (std::find(seenInterfaces.begin(), seenInterfaces.end(), route.interfaceName) != seenInterfaces.end()) continue;
        seenInterfaces.push_back(route.interfaceName);
        std::ifstream file(sysfsRoot / "class" / "net" / route.interfaceName / "address");
        std::string line;
        if (!file || !std::getline(file, line)) continue;
        auto mac = normalizedMAC(line);
        if (mac && std::find(result.begin(), result.end(), *mac) == result.end()) result.push_back(*mac);
    }
    return result;
}

std::string QuillmereDiscovery::routeText(const QuillmereRouteRecord& route) {
    return listSafe(route.kind) + "/" + listSafe(route.interfaceName) + "/" + listSafe(route.address);
}

TXTRecord QuillmereDiscovery::makeTXTRecord(const QuillmereAdvertisement& advertisement) {
    // Room left for the value of a key: the string is "key=value", at most 255 bytes.
    auto room = [](const char* key) { return maxTXTStringLength - std::char_traits<char>::length(key) - 1; };

    std::vector<std::string> routes;
    routes.reserve(advertisement.routes.size());
    for (const auto& route : advertisement.routes) routes.push_back(routeText(route));
    std::vector<std::string> wakes;
    for (const auto& mac : advertisement.wakeAddresses) wakes.push_back(listSafe(mac));

    TXTRecord record;
    record.emplace_back("v", cutUTF8(advertisement.version, room("v")));
    record.emplace_back("id", cutUTF8(advertisement.hostID, room("id")));
    record.emplace_back("name", cutUTF8(advertisement.name, room("name")));
    record.emplace_back("routes", joinWithin(routes, room("routes")));
    record.emplace_back("vnc", std::to_string(advertisement.vncPort.value_or(0)));
    record.emplace_back("aux", std::to_string(advertisement.auxPort));
    record.emplace_back("video", std::to_string(advertisement.videoPort));
    record.emplace_back("wake", joinWithin(wakes, room("wake")));
    if (!advertisement.keyFingerprint.empty()) {
        record.emplace_back("fp", cutUTF8(advertisement.keyFingerprint, room("fp")));
    }
    return record;
}

}  // namespace qm
