#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "Platform/Core/ByteIO.h"
#include "QuillmereProfiles/QuillmereDiscovery.h"
#include "support/TestPlatform.h"

namespace DiscoveryTests {

using namespace qm;
namespace fs = std::filesystem;

namespace {

// A sysfs tree with the parts the classification reads.
class FakeSysfs {
public:
    void addInterface(const std::string& name, const std::string& driver = "", bool wireless = false,
                      const std::string& mac = "") {
        const auto device = dir_.path() / "class" / "net" / name;
        fs::create_directories(device);
        if (wireless) fs::create_directories(device / "wireless");
        if (!driver.empty()) {
            fs::create_directories(device / "device");
            fs::create_directories(dir_.path() / "bus" / "drivers" / driver);
            fs::create_symlink("../../../../bus/drivers/" + driver, device / "device" / "driver");
        }
        if (!mac.empty()) std::ofstream(device / "address") << mac << "\n";
    }
    const fs::path& root() const { return dir_.path(); }

private:
    test::TemporaryDirectory dir_;
};

InterfaceAddress v4(const std::string& name, const std::string& address, bool up = true) {
    InterfaceAddress a;
    a.interfaceName = name;
    a.address = address;
    a.isUp = up;
    a.isLoopback = address.starts_with("127.");
    a.isLinkLocal = address.starts_with("169.254.");
    return a;
}

InterfaceAddress v6(const std::string& name, const std::string& address) {
    InterfaceAddress a;
    a.interfaceName = name;
    a.address = address;
    a.isIPv6 = true;
    a.isUp = true;
    a.isLoopback = address == "::1";
    a.isLinkLocal = address.starts_with("fe80:");
    return a;
}

std::string valueOf(const TXTRecord& record, const std::string& key) {
    for (const auto& [k, v] : record) {
        if (k == key) return v;
    }
    return "<missing>";
}

}  // namespace

TEST(QuillmereRouteRecord, DisplayLabelNamesTheKindAndInterface) {
    EXPECT_EQ((QuillmereRouteRecord{"wifi", "en0", "192.168.1.20"}.displayLabel()), "Wi-Fi en0");
    EXPECT_EQ((QuillmereRouteRecord{"thunderbolt", "bridge0", "169.254.12.7"}.displayLabel()), "Thunderbolt bridge0");
    EXPECT_EQ((QuillmereRouteRecord{"lan", "eth0", "10.0.0.2"}.displayLabel()), "LAN eth0");
    EXPECT_EQ((QuillmereRouteRecord{"ethernet", "", "10.0.0.2"}.displayLabel()), "LAN");
    EXPECT_EQ((QuillmereRouteRecord{"wifi", "", "10.0.0.2"}.displayLabel()), "Wi-Fi");
}

TEST(QuillmereDiscovery, ClassifiesInterfacesFromSysfs) {
    FakeSysfs sysfs;
    sysfs.addInterface("wlan0", "iwlwifi", true);
    sysfs.addInterface("thunderbolt0", "thunderbolt-net");
    sysfs.addInterface("eth0", "e1000e");
    sysfs.addInterface("br0");
    const auto phy = sysfs.root() / "class" / "net" / "wlp2s0";
    fs::create_directories(phy / "phy80211");

    EXPECT_EQ(QuillmereDiscovery::interfaceKind("wlan0", sysfs.root()), "wifi");
    EXPECT_EQ(QuillmereDiscovery::interfaceKind("wlp2s0", sysfs.root()), "wifi");
    EXPECT_EQ(QuillmereDiscovery::interfaceKind("thunderbolt0", sysfs.root()), "thunderbolt");
    EXPECT_EQ(QuillmereDiscovery::interfaceKind("eth0", sysfs.root()), "lan");
    EXPECT_EQ(QuillmereDiscovery::interfaceKind("br0", sysfs.root()), "lan");
    EXPECT_EQ(QuillmereDiscovery::interfaceKind("missing", sysfs.root()), "lan");
    // A name that would leave the interface folder is never used as a path.
    EXPECT_EQ(QuillmereDiscovery::interfaceKind("../net/wlan0", sysfs.root()), "lan");
    EXPECT_EQ(QuillmereDiscovery::interfaceKind("..", sysfs.root()), "lan");
}

TEST(QuillmereDiscovery, RoutesPutIPv4FirstThenTheFastestLinkAndSkipUnusableAddresses) {
    FakeSysfs sysfs;
    sysfs.addInterface("wlan0", "iwlwifi", true);
    sysfs.addInterface("tb0", "thunderbolt-net");
    sysfs.addInterface("eth0", "e1000e");
    const std::vector<InterfaceAddress> addresses = {
        v4("lo", "127.0.0.1"),
        v6("lo", "::1"),
        v4("wlan0", "192.168.1.21"),
        v6("wlan0", "fe80::2"),
        v6("eth0", "fd00::2"),
        v4("eth0", "192.168.1.20"),
        v4("eth1", "10.1.1.1", false),  // down
        v4("tb0", "169.254.12.7"),      // link-local IPv4 is how bridges talk: kept
        v4("eth0", "192.168.1.20"),     // listed twice (an alias label)
        v4("eth0", "192.168.7.1"),
    };
    const auto routes = QuillmereDiscovery::routeRecords(addresses, sysfs.root());
    EXPECT_EQ(routes, (std::vector<QuillmereRouteRecord>{
                          {"thunderbolt", "tb0", "169.254.12.7"},
                          {"lan", "eth0", "192.168.1.20"},
                          {"lan", "eth0", "192.168.7.1"},
                          {"wifi", "wlan0", "192.168.1.21"},
                          {"lan", "eth0", "fd00::2"},
                      }));
    EXPECT_TRUE(QuillmereDiscovery::routeRecords({v4("lo", "127.0.0.1"), v6("eth0", "fe80::1")}, sysfs.root()).empty());
}

TEST(QuillmereDiscovery, WakeAddressesComeFromTheRoutesInterfacesOnce) {
    FakeSysfs sysfs;
    sysfs.addInterface("eth0", "e1000e", false, "02:FC:00:00:00:01");
    sysfs.addInterface("wlan0", "iwlwifi", true, "a4:5e:60:11:22:33");
    sysfs.addInterface("tun0", "", false, "00:00:00:00:00:00");
    sysfs.addInterface("ib0", "", false, "80:00:02:08:fe:80:00:00:00:00:00:00:00:02:c9:03");
    const std::vector<QuillmereRouteRecord> routes = {
        {"lan", "eth0", "192.168.1.20"}, {"wifi", "wlan0", "192.168.1.21"}, {"lan", "eth0", "fd00::2"},
        {"lan", "tun0", "10.8.0.1"},     {"lan", "ib0", "10.9.0.1"},        {"lan", "gone0", "10.7.0.1"},
    };
    EXPECT_EQ(QuillmereDiscovery::wakeOnLANAddresses(routes, sysfs.root()),
              (std::vector<std::string>{"02:fc:00:00:00:01", "a4:5e:60:11:22:33"}));
}

TEST(QuillmereDiscovery, TXTRecordHasItsKeysInOrderWithTheDocumentedFormats) {
    QuillmereAdvertisement ad;
    ad.hostID = "5A1C0FFE-0000-4000-8000-000000000001";
    ad.name = "Studio Host";
    ad.routes = {{"thunderbolt", "tb0", "169.254.12.7"}, {"lan", "eth0", "fd00::2"}};
    ad.auxPort = 7346;
    ad.videoPort = 7347;
    ad.wakeAddresses = {"02:fc:00:00:00:01", "a4:5e:60:11:22:33"};
    EXPECT_EQ(QuillmereDiscovery::makeTXTRecord(ad), (TXTRecord{
                                                         {"v", "1"},
                                                         {"id", "5A1C0FFE-0000-4000-8000-000000000001"},
                                                         {"name", "Studio Host"},
                                                         {"routes", "thunderbolt/tb0/169.254.12.7,lan/eth0/fd00::2"},
                                                         {"vnc", "0"},
                                                         {"aux", "7346"},
                                                         {"video", "7347"},
                                                         {"wake", "02:fc:00:00:00:01,a4:5e:60:11:22:33"},
                                                     }));
    ad.vncPort = 5900;
    ad.keyFingerprint = "0011223344556677";
    ad.routes.clear();
    ad.wakeAddresses.clear();
    const auto record = QuillmereDiscovery::makeTXTRecord(ad);
    ASSERT_EQ(record.size(), 9u);
    EXPECT_EQ(valueOf(record, "vnc"), "5900");
    EXPECT_EQ(valueOf(record, "routes"), "");
    EXPECT_EQ(valueOf(record, "wake"), "");
    EXPECT_EQ(record.back(), (std::pair<std::string, std::string>{"fp", "0011223344556677"}));
    // Separators inside a part would split it: they are replaced.
    EXPECT_EQ(QuillmereDiscovery::routeText({"lan", "we,ird/if", "10.0.0.1"}), "lan/we_ird_if/10.0.0.1");
}

TEST(QuillmereDiscovery, TXTRecordStaysWithinStringLimitsByDroppingWholeEntries) {
    QuillmereAdvertisement ad;
    ad.hostID = "5A1C0FFE-0000-4000-8000-000000000001";
    // 90 three-byte characters (270 bytes) against 250 bytes of room: 83 whole characters fit.
    std::string name;
    for (int i = 0; i < 90; ++i) name += "\xE2\x82\xAC";
    ad.name = name;
    for (int i = 0; i < 40; ++i) ad.routes.push_back({"lan", "eth" + std::to_string(i), "192.168.100." + std::to_string(i)});
    for (int i = 0; i < 20; ++i) ad.wakeAddresses.push_back("02:00:00:00:00:" + std::string(i < 10 ? "0" : "") + std::to_string(i));

    const auto record = QuillmereDiscovery::makeTXTRecord(ad);
    ASSERT_TRUE(encodeTXTRecord(record));
    for (const auto& [key, value] : record) EXPECT_LE(key.size() + 1 + value.size(), 255u) << key;

    const auto cutName = valueOf(record, "name");
    EXPECT_TRUE(isValidUTF8(cutName));
    EXPECT_EQ(cutName.size(), 249u);
    const auto routes = valueOf(record, "routes");
    EXPECT_TRUE(routes.starts_with("lan/eth0/192.168.100.0,lan/eth1/"));
    EXPECT_FALSE(routes.ends_with(","));
    // Only whole entries: every part has its three fields.
    std::size_t entries = 0;
    for (std::size_t start = 0; start <= routes.size();) {
        auto end = routes.find(',', start);
        if (end == std::string::npos) end = routes.size();
        const auto entry = routes.substr(start, end - start);
        EXPECT_EQ(std::count(entry.begin(), entry.end(), '/'), 2) << entry;
        EXPECT_TRUE(entry.ends_with("." + std::to_string(entries))) << entry;
        ++entries;
        start = end + 1;
    }
    EXPECT_GT(entries, 5u);
    EXPECT_LT(entries, 40u);
    const auto wake = valueOf(record, "wake");
    EXPECT_EQ(wake.size() % 18, 17u);  // n addresses of 17 characters and n-1 commas
    EXPECT_EQ((wake.size() + 1) / 18, 13u);

    // Bytes that are not UTF-8 never reach the record.
    ad.name = "Host\xFF\xFE";
    EXPECT_EQ(valueOf(QuillmereDiscovery::makeTXTRecord(ad), "name"), "Host");
}

}  // namespace DiscoveryTests
