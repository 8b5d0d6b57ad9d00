// The address, Viewer and status texts, and what the summary window shows with 0, 1 and more
// Viewers signed in over in-memory connections.
#include <gtest/gtest.h>

#include <thread>

#include "support/AppHarness.h"

namespace qm::test {
namespace PresentationTests {
namespace {

using D = StatusMenuController;

const QuillmereRouteRecord wifi{"wifi", "en0", "192.168.1.20"};
const QuillmereRouteRecord thunderbolt{"thunderbolt", "bridge0", "169.254.3.9"};

TEST(AddressTexts, RoutesAndTheCurrentMarker) {
    EXPECT_EQ(D::summaryAddressText({}, {}), "Host IPs: none found");
    EXPECT_EQ(D::menuAddressText({}, {}), "Host IPs: none found");
    EXPECT_EQ(D::summaryAddressText({wifi, thunderbolt}, {"169.254.3.200"}),
              "Host IPs:\n  Wi-Fi en0: 192.168.1.20\n  Thunderbolt bridge0: 169.254.3.9 (current)");
    EXPECT_EQ(D::routeAddressText(wifi, {"192.168.2.5"}), "Wi-Fi en0: 192.168.1.20") << "third octets differ";
    EXPECT_EQ(D::routeAddressText(wifi, {"[192.168.1.30]"}), "Wi-Fi en0: 192.168.1.20 (current)");
    EXPECT_EQ(D::routeAddressText(wifi, {"192.168.1.30", "192.168.1.31"}), "Wi-Fi en0: 192.168.1.20 (current)");
    for (const auto* bad : {"192.168.1", "192.168.1.300", "fe80::1", "host.local", "192.168.1.x"}) {
        EXPECT_FALSE(D::ipv4Octets(bad)) << bad;
        EXPECT_FALSE(D::viewerAddressLikelyUsesRoute(bad, "192.168.1.20")) << bad;
    }
    const QuillmereRouteRecord lan{"lan", "", "10.0.0.2"};
    const QuillmereRouteRecord lan2{"ethernet", "eth1", "10.0.1.2"};
    EXPECT_EQ(D::menuAddressText({wifi, lan}, {}), "Host IPs: Wi-Fi en0: 192.168.1.20, LAN: 10.0.0.2");
    EXPECT_EQ(D::menuAddressText({wifi, lan, lan2, thunderbolt}, {}),
              "Host IPs: Wi-Fi en0: 192.168.1.20, LAN: 10.0.0.2 + 2 more");
}

TEST(ViewerTexts, NamesAddressesAndCounts) {
    EXPECT_EQ(D::viewerTextFor({}), "Viewer: none connected");
    EXPECT_EQ(D::viewerTextFor({{"  Ada's iPad \n", "192.168.1.30"}}), "Viewer: Ada's iPad connected from 192.168.1.30");
    EXPECT_EQ(D::viewerTextFor({{"Ada", "10.0.0.5"}, {"ADA", "10.0.0.6"}}),
              "Viewers: Ada connected from 10.0.0.5, 10.0.0.6");
    EXPECT_EQ(D::viewerTextFor({{"A", ""}, {"B", ""}, {"C", ""}}), "Viewers: A + 2 Viewers connected");
    EXPECT_EQ(D::viewerTextFor({{"A", "1.1.1.1"}, {"B", "1.1.1.2"}, {"", "1.1.1.3"}, {"D", "1.1.1.4"}}),
              "Viewers: A + 2 Viewers connected from 1.1.1.1, 1.1.1.2 + 2 more");
    EXPECT_EQ(D::viewerDisplayNameSummary({" ", ""}), "Corventis Viewer");
    EXPECT_EQ(D::viewerDisplayNameSummary({"Mac", "iPad"}), "Mac, iPad");
}

TEST(SummaryWindow, ShowsNoServerOneViewerAndSeveralViewers) {
    {
        AppHarness app({}, /*withServer=*/false);
        app.launch();
        auto& window = *app.delegate->status().summaryWindow;
        EXPECT_EQ(window.title(), "Corventis Host");
        EXPECT_EQ(window.titleLabel->text(), "Corventis Host is running");
        EXPECT_EQ(window.subtitleLabel->text(), "Viewers can connect while this Host stays open.");
        EXPECT_EQ(window.statusLabel->text(), "Corventis Host is running · Start at login: on");
        EXPECT_EQ(window.addressLabel->text(), "Host IPs: none found");
        EXPECT_EQ(window.viewerLabel->text(), "Viewer: none connected");
        EXPECT_EQ(window.versionLabel->text(), "V1.4.9");
        EXPECT_TRUE(window.detailsButton->hidden());
        EXPECT_EQ(window.refreshButton->title(), "Refresh");
        EXPECT_EQ(window.updateButton->title(), "Update Version");
        EXPECT_EQ(app.delegate->details().statusLabel->text(), "Screen Sharing: optional fallback (check manually)");
    }
    AppHarness app;
    app.routes = {wifi};
    app.launch();
    InMemoryViewer first(app.host, app.host.server().boundPorts().control, "Ada's MacBook");
    app.host.clock().advance(2.0);
    auto& window = *app.delegate->status().summaryWindow;
    EXPECT_EQ(window.viewerLabel->text(), "Viewer: Ada's MacBook connected from 127.0.0.1");
    EXPECT_EQ(app.delegate->details().statusLabel->text(), "Corventis Aux: connected; Screen Sharing optional");
    EXPECT_EQ(window.addressLabel->text(), "Host IPs:\n  Wi-Fi en0: 192.168.1.20");
    EXPECT_EQ(app.delegate->status().statusMenuViewerItem.lock()->title(), window.viewerLabel->text());

    InMemoryViewer second(app.host, app.host.server().boundPorts().control, "Bob's iPhone");
    app.host.clock().advance(2.0);
    EXPECT_EQ(window.viewerLabel->text(), "Viewers: Ada's MacBook, Bob's iPhone connected from 127.0.0.1, 127.0.0.1");
}

TEST(Refresh, DisplayDiagnosticsComeFromTheBackgroundAndAreCached) {
    AppHarness app;
    app.launch();
    const auto text = app.delegate->details().detailLabel->text();
    EXPECT_EQ(text.rfind("V1.4.9 Host defaults to fixed virtual display templates", 0), 0u) << text;
    ASSERT_TRUE(app.delegate->details().cachedDisplayDiagnosticsText);
    // A tick within 15 s shows the cached text at once.
    app.host.clock().advance(2.0);
    EXPECT_EQ(app.delegate->details().detailLabel->text(), text);
}

TEST(Presentation, UpdateFromAnotherThreadWaitsForTheMainQueue) {
    AppHarness app;
    app.launch();
    app.defaultsStore->standard()->set("host.launchAtLogin.desired", false);
    std::thread([&] { app.delegate->updateHostPresentation(); }).join();
    EXPECT_EQ(app.delegate->status().summaryStatusLabel->text(), "Corventis Host is running · Start at login: on");
    app.host.clock().runUntilIdle();
    EXPECT_EQ(app.delegate->status().summaryStatusLabel->text(), "Corventis Host is running · Start at login: off");
}

}  // namespace
}  // namespace PresentationTests
}  // namespace qm::test
