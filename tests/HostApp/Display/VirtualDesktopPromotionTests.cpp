// Promoting the virtual display to the main desktop and keeping application windows on it.
#include <gtest/gtest.h>

#include "DisplayTestSupport.h"

namespace VirtualDesktopPromotionTests {

using namespace qm;
using namespace qm::test;

namespace {

struct DesktopRig : DisplayRig {
    std::shared_ptr<SimulatedAccessibility> accessibility = std::make_shared<SimulatedAccessibility>();
    std::shared_ptr<SimulatedWorkspace> workspace = std::make_shared<SimulatedWorkspace>();
    DesktopRig() {
        manual.platform.accessibility = accessibility;
        manual.platform.workspace = workspace;
        virtualDisplay = std::make_shared<HeadlessVirtualDisplay>(manual.platform);
        virtualDisplay->logSink = [this](const std::string& line) { lines.push_back(line); };
        EXPECT_FALSE(virtualDisplay->startPresetDisplay(HeadlessVirtualDisplay::standard1080Preset(), "Test", 1, false));
    }
    // An application with one window at `frame`.
    std::shared_ptr<SimulatedAXElement> addWindow(int pid, const std::string& bundle, Rect frame, int policy = 0) {
        auto window = SimulatedAXElement::window(frame);
        auto app = std::make_shared<SimulatedAXElement>();
        app->set("AXWindows", std::vector<AXElementPtr>{window});
        accessibility->setApplicationElement(pid, app);
        workspace->addRunningApplication({bundle, pid, policy, false});
        return window;
    }
};

}  // namespace

TEST(VirtualDesktop, PromotionMirrorsTheReferenceAndMovesWindowsIntoTheVirtualDisplay) {
    DesktopRig rig;
    const auto v = rig.virtualDisplay->displayID;
    ASSERT_NE(v, 0u);
    auto big = rig.addWindow(10, "com.example.editor", {-500, -460, 3000, 2000});  // centred on display 1
    auto palette = rig.addWindow(11, "com.example.palette", {100, 100, 30, 30});
    auto dock = rig.addWindow(12, "com.apple.dock", {0, 1000, 1920, 80});
    auto own = rig.addWindow(13, rig.virtualDisplay->hostBundleIdentifier, {100, 100, 400, 300});

    const auto [applied, message] = rig.virtualDisplay->promoteToPrimaryDesktop(1);
    EXPECT_TRUE(applied) << message;
    EXPECT_NE(message.find("display 1 mirrored to virtual desktop"), std::string::npos) << message;
    EXPECT_NE(message.find("moved 1 window(s) from display 1 to virtual display " + std::to_string(v)),
              std::string::npos)
        << message;
    EXPECT_EQ(rig.displays->mainDisplayID(), v);
    const auto target = rig.displays->bounds(v);
    EXPECT_EQ(big->frame().size.width, target.width() - 40);
    EXPECT_EQ(big->frame().size.height, target.height() - 40);
    EXPECT_EQ(big->frame().origin.x, target.minX() + 20);
    EXPECT_EQ(big->frame().origin.y, target.minY() + 20);
    EXPECT_EQ(palette->frame().origin.x, 100);
    EXPECT_EQ(dock->frame().origin.y, 1000);
    EXPECT_EQ(own->frame().origin.x, 100);
}

TEST(VirtualDesktop, ABurstOfApplicationEventsGivesOneSweepAndStoppingEndsMigration) {
    DesktopRig rig;
    rig.accessibility->setTrusted(false);
    const auto [applied, message] = rig.virtualDisplay->promoteToPrimaryDesktop(0);
    EXPECT_NE(message.find("window migration skipped; Accessibility permission missing"), std::string::npos);
    EXPECT_EQ(rig.workspace->applicationObserverCount(), 3u);
    rig.manual.clock->advance(1.0);  // the promotion sweep, silent without permission

    rig.accessibility->setTrusted(true);
    auto window = rig.addWindow(20, "com.example.mail", {200, 200, 800, 600});
    rig.lines.clear();
    for (int i = 0; i < 5; ++i) {
        rig.workspace->postApplicationEvent(WorkspaceApplicationEvent::didActivate);
        rig.manual.clock->advance(0.06);
    }
    rig.manual.clock->advance(0.58);  // 0.64 s after the last event
    EXPECT_TRUE(rig.lines.empty()) << "the sweep runs 0.65 s after the last event";
    rig.manual.clock->advance(0.02);
    ASSERT_EQ(rig.lines.size(), 1u);
    EXPECT_NE(rig.lines[0].find("window sweep after app activate: moved 1 window(s) from display 1"), std::string::npos)
        << rig.lines[0];

    rig.virtualDisplay->stop(false);
    EXPECT_EQ(rig.workspace->applicationObserverCount(), 0u);
    (void)window;
}

}  // namespace VirtualDesktopPromotionTests
