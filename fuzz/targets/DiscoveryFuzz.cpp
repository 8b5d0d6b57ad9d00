// The routes and the DNS-SD TXT record made from interface data and names the Host does not
// control (interface names, the computer's name). Every TXT string must fit its length byte and
// encode; a Viewer splitting the lists must get back exactly the leading entries.
#include <algorithm>
#include <filesystem>
#include <fstream>

#include "Platform/NetworkInterfaces.h"
#include "Platform/Core/ByteIO.h"
#include "Platform/DNSService.h"
#include "QuillmereProfiles/QuillmereDiscovery.h"
#include "fuzz/FuzzTarget.h"
#include "support/TestPlatform.h"

using namespace qm;

namespace {

// A small sysfs with one wired, one wireless and one Thunderbolt interface.
const std::filesystem::path& fakeSysfs() {
    static test::TemporaryDirectory root;
    static const bool made = [] {
        const auto net = root.path() / "class" / "net";
        std::filesystem::create_directories(net / "eth0");
        std::ofstream(net / "eth0" / "address") << "AA:BB:CC:00:11:22\n";
        std::filesystem::create_directories(net / "wlan0" / "wireless");
        std::ofstream(net / "wlan0" / "address") << "00:00:00:00:00:00\n";
        std::filesystem::create_directories(net / "tb0" / "device");
        std::filesystem::create_symlink("/sys/bus/thunderbolt/drivers/thunderbolt-net", net / "tb0" / "device" / "driver");
        return true;
    }();
    (void)made;
    return root.path();
}

std::string interfaceName(fuzz::FuzzInput& input) {
    static const char* known[] = {"eth0", "wlan0", "tb0", "lo"};
    const auto pick = input.byte();
    if (pick < 192) return known[pick % 4];
    return input.shortString();
}

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    if (text.empty()) return parts;
    std::size_t start = 0;
    while (true) {
        const auto end = text.find(separator, start);
        parts.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos) return parts;
        start = end + 1;
    }
}

std::string valueOf(const TXTRecord& record, const std::string& key) {
    for (const auto& [k, v] : record)
        if (k == key) return v;
    return {};
}

}  // namespace

QM_FUZZ_TARGET(discovery) {
    fuzz::FuzzInput input(data);
    std::vector<InterfaceAddress> addresses(input.byte() % 12);
    for (auto& address : addresses) {
        address.interfaceName = interfaceName(input);
        const auto flags = input.byte();
        address.isIPv6 = flags & 1;
        address.isUp = flags & 2;
        address.isLoopback = flags & 4;
        address.isLinkLocal = flags & 8;
        address.address = input.shortString();
    }
    const auto routes = QuillmereDiscovery::routeRecords(addresses, fakeSysfs());
    bool sawIPv6 = false;
    for (std::size_t i = 0; i < routes.size(); ++i) {
        const auto& route = routes[i];
        auto source = std::find_if(addresses.begin(), addresses.end(), [&](const InterfaceAddress& a) {
            return a.interfaceName == route.interfaceName && a.address == route.address && a.isUp && !a.isLoopback &&
                   !(a.isIPv6 && a.isLinkLocal);
        });
        QM_FUZZ_CHECK(source != addresses.end(), "a route no usable address gave");
        QM_FUZZ_CHECK(std::count(routes.begin(), routes.end(), route) == 1, "a route listed twice");
        // The first usable address that gave the route decides its family.
        if (sawIPv6) QM_FUZZ_CHECK(source->isIPv6, "an IPv4 route after an IPv6 one");
        sawIPv6 = sawIPv6 || source->isIPv6;
        (void)route.displayLabel();
    }

    QuillmereAdvertisement advertisement;
    advertisement.version = input.shortString();
    advertisement.hostID = input.shortString();
    const auto nameBytes = input.take(input.u16() % 600);
    advertisement.name.assign(nameBytes.begin(), nameBytes.end());
    advertisement.routes = routes;
    if (input.flag()) advertisement.vncPort = input.u16();
    advertisement.auxPort = input.u16();
    advertisement.videoPort = input.u16();
    advertisement.wakeAddresses = QuillmereDiscovery::wakeOnLANAddresses(routes, fakeSysfs());
    for (int i = input.byte() % 4; i > 0; --i) advertisement.wakeAddresses.push_back(input.shortString());
    advertisement.keyFingerprint = input.shortString();

    const auto record = QuillmereDiscovery::makeTXTRecord(advertisement);
    for (const auto& [key, value] : record)
        QM_FUZZ_CHECK(key.size() + 1 + value.size() <= maxTXTStringLength, "a TXT string longer than 255 bytes");
    QM_FUZZ_CHECK(encodeTXTRecord(record).has_value(), "the TXT record does not encode");

    const auto name = valueOf(record, "name");
    QM_FUZZ_CHECK(isValidUTF8(name), "the name was cut inside a character");
    if (isValidUTF8(advertisement.name))
        QM_FUZZ_CHECK(advertisement.name.compare(0, name.size(), name) == 0, "the name is not a prefix of the name");

    const auto listed = split(valueOf(record, "routes"), ',');
    QM_FUZZ_CHECK(listed.size() <= routes.size(), "more routes listed than there are");
    for (std::size_t i = 0; i < listed.size(); ++i) {
        QM_FUZZ_CHECK(listed[i] == QuillmereDiscovery::routeText(routes[i]), "a route listed out of order");
        QM_FUZZ_CHECK(split(listed[i], '/').size() == 3, "a route that does not split into three parts");
    }
}
