#include <gtest/gtest.h>

#include "DisplayTestSupport.h"

namespace HeadlessVirtualDisplayTests {

using namespace qm;
using namespace qm::test;
using Preset = HeadlessVirtualDisplay::Preset;
using Factory = SimulatedVirtualDisplayFactory;

TEST(HeadlessVirtualDisplay, FamiliesAndTheMaxCanvasDescriptor) {
    EXPECT_EQ(HeadlessVirtualDisplay::hidpi1440Preset().title, "HiDPI 1260");
    EXPECT_EQ(HeadlessVirtualDisplay::familyPresets(HeadlessVirtualDisplay::standard1080Preset()),
              HeadlessVirtualDisplay::standardPresets());
    const auto canvasFamily = HeadlessVirtualDisplay::familyPresets(HeadlessVirtualDisplay::maxCanvasPreset());
    ASSERT_EQ(canvasFamily.size(), 3u);
    EXPECT_EQ(canvasFamily[0].title, "Max Canvas");
    EXPECT_EQ(canvasFamily[1].title, "HiDPI 1080");

    DisplayRig rig;
    rig.displays->removeDisplay(1);  // no matching display: 110 pixels per inch and 60 Hz
    auto [display, error] = rig.virtualDisplay->createDisplay(6400, 3600, canvasFamily, "Corventis Presets", 0);
    ASSERT_TRUE(display) << *error;
    const auto descriptor = *rig.factory->lastDescriptor();
    EXPECT_EQ(descriptor.name, "Corventis Presets");
    EXPECT_EQ(descriptor.maxPixelsWide, 6400);
    EXPECT_EQ(descriptor.maxPixelsHigh, 3600);
    EXPECT_NEAR(descriptor.sizeInMillimeters.width, 738.9, 0.05);
    EXPECT_NEAR(descriptor.sizeInMillimeters.height, 415.6, 0.05);
    EXPECT_EQ(descriptor.vendorID, 0x514C56u);
    EXPECT_EQ(descriptor.productID, 0x484456u);
    EXPECT_EQ(descriptor.serialNum, 0x51000000 | 0x00800000 | (4095 << 12) | 3600);
    EXPECT_EQ(descriptor.queue, rig.virtualDisplay->eventQueue);
    const auto settings = *rig.factory->lastSettings();
    EXPECT_EQ(settings.hiDPI, 1);
    EXPECT_EQ(settings.modes, (std::vector<VirtualDisplayMode>{{3200, 1800, 60}, {1920, 1080, 60}, {2240, 1260, 60}}));

    // Sizes below 16 are raised first; the standard family's serial carries its width.
    EXPECT_EQ(HeadlessVirtualDisplay::descriptorSerialNumber(2560, 1440, false), 0x51000000 | (2560 << 12) | 1440);
    rig.virtualDisplay->createDisplay(-5, 0, HeadlessVirtualDisplay::standardPresets(), "x", 0);
    EXPECT_EQ(rig.factory->lastDescriptor()->maxPixelsWide, 16);
    EXPECT_EQ(rig.factory->lastDescriptor()->serialNum, 0x51000000 | (16 << 12) | 16);
}

TEST(HeadlessVirtualDisplay, RefreshRatesPhysicalSizeAndFailureTexts) {
    DisplayRig rig;
    rig.displays->setCurrentMode(1, mode(1920, 1080, 1920, 1080, 120, 1));
    EXPECT_EQ(rig.virtualDisplay->preferredRefreshRates(1), (std::vector<double>{120, 60}));
    rig.displays->setCurrentMode(1, mode(1920, 1080, 1920, 1080, 59.95, 1));
    EXPECT_EQ(rig.virtualDisplay->preferredRefreshRates(1), (std::vector<double>{59.95}));
    EXPECT_EQ(rig.virtualDisplay->preferredRefreshRates(0), (std::vector<double>{60}));
    rig.displays->setScreenSize(1, Size{480, 270});
    const auto size = rig.virtualDisplay->scaledPhysicalSize(3840, 2160, 1);
    ASSERT_TRUE(size);
    EXPECT_DOUBLE_EQ(size->width, 960);
    rig.displays->setScreenSize(1, Size{480, 10});
    EXPECT_FALSE(rig.virtualDisplay->scaledPhysicalSize(3840, 2160, 1));

    const std::vector<std::pair<Factory::Failure, std::string>> failures{
        {Factory::Failure::classesMissing, "CGVirtualDisplay private SPI unavailable"},
        {Factory::Failure::displayInitializerMissing, "CGVirtualDisplay init unavailable"},
        {Factory::Failure::displayInitFails, "CGVirtualDisplay init failed"},
        {Factory::Failure::modeInitializerMissing, "CGVirtualDisplayMode init unavailable"},
        {Factory::Failure::modeAllocationFails, "CGVirtualDisplayMode allocation failed"},
        {Factory::Failure::modeInitFails, "CGVirtualDisplayMode init failed"},
        {Factory::Failure::applySettingsMissing, "CGVirtualDisplay applySettings unavailable"},
        {Factory::Failure::applySettingsRejected, "CGVirtualDisplay rejected preset display [1080p, 1440p]"},
        {Factory::Failure::displayIDZero, "CGVirtualDisplay returned displayID 0"},
    };
    for (const auto& [failure, text] : failures) {
        rig.factory->setFailure(failure);
        EXPECT_EQ(rig.virtualDisplay->startPresetDisplay(HeadlessVirtualDisplay::standard1080Preset(), "n", 0, false), text);
        EXPECT_FALSE(rig.virtualDisplay->isActive());
        // Nothing created is left behind.
        EXPECT_EQ(rig.factory->liveDisplayCount(), 0);
    }
}

TEST(HeadlessVirtualDisplay, GeometryIsNormalizedAndNamedByPreset) {
    using G = HeadlessVirtualDisplay::RealizedGeometry;
    DisplayRig rig;
    auto& vd = *rig.virtualDisplay;
    vd.currentPreset = HeadlessVirtualDisplay::hidpi1080Preset();
    vd.applyRealizedGeometry(G{9, 0, 0, 3840, 2160, 3840, 2160, 60, false});
    EXPECT_EQ(std::tie(vd.logicalWidth, vd.logicalHeight, vd.pixelWidth, vd.pixelHeight),
              std::make_tuple(1920, 1080, 3840, 2160));
    EXPECT_TRUE(vd.isHiDPI);
    EXPECT_EQ(vd.currentPreset, HeadlessVirtualDisplay::hidpi1080Preset());

    vd.currentPreset = HeadlessVirtualDisplay::standard1080Preset();
    vd.applyRealizedGeometry(G{9, 0, 0, 1920, 1064, 1920, 1064, 60, false});
    EXPECT_EQ(std::tie(vd.logicalHeight, vd.pixelHeight), std::make_tuple(1080, 1080));
    EXPECT_EQ(vd.currentPreset, HeadlessVirtualDisplay::standard1080Preset());
    vd.applyRealizedGeometry(G{9, 0, 0, 1920, 1063, 1920, 1063, 60, false});
    EXPECT_EQ(std::tie(vd.logicalHeight, vd.pixelHeight), std::make_tuple(1063, 1063));
    EXPECT_FALSE(vd.currentPreset);

    EXPECT_EQ((G{7, 0, 0, 1512, 982, 3024, 1964, 120, true}.summary()),
              "display=7 logical=1512x982 px=3024x1964 scale=2.0x 120Hz HiDPI");
    // A 1080p geometry a few rows short still satisfies the preset while waiting.
    EXPECT_TRUE(HeadlessVirtualDisplay::geometrySatisfies(G{9, 0, 0, 1920, 1070, 1920, 1070, 60, false},
                                                          HeadlessVirtualDisplay::standard1080Preset()));
    EXPECT_FALSE(HeadlessVirtualDisplay::geometrySatisfies(G{9, 0, 0, 1920, 1063, 1920, 1063, 60, false},
                                                           HeadlessVirtualDisplay::standard1080Preset()));
}

TEST(HeadlessVirtualDisplay, StartReusesSwitchesInPlaceAndRebuildsOutsideTheFamily) {
    DisplayRig rig;
    auto& vd = *rig.virtualDisplay;
    ASSERT_EQ(vd.startPresetDisplay(HeadlessVirtualDisplay::hidpi1080Preset(), "Corventis Presets", 1, false), std::nullopt);
    EXPECT_TRUE(vd.isActive());
    EXPECT_EQ(vd.summary(), "virtual display=16384 logical=1920x1080 px=3840x2160 HiDPI preset=HiDPI 1080");
    EXPECT_EQ(rig.lines.back(), "[HeadlessVirtualDisplay] created preset display " + vd.summary() +
                                    " presets=HiDPI 1080,HiDPI 1260,Max Canvas");

    // Another member of the family: switched in place, no new display.
    ASSERT_EQ(vd.startPresetDisplay(HeadlessVirtualDisplay::maxCanvasPreset(), "Corventis Presets", 1, false), std::nullopt);
    EXPECT_EQ(rig.factory->createdDisplayCount(), 1);
    EXPECT_EQ(vd.currentPreset, HeadlessVirtualDisplay::maxCanvasPreset());
    EXPECT_EQ(rig.displays->currentMode(vd.displayID)->width, 3200);

    // A standard preset: the old display is stopped (and gone) before the new one is made.
    ASSERT_EQ(vd.startPresetDisplay(HeadlessVirtualDisplay::standard1080Preset(), "Corventis Presets", 1, false), std::nullopt);
    EXPECT_EQ(rig.factory->createdDisplayCount(), 2);
    EXPECT_FALSE(rig.displays->display(16384));
    EXPECT_EQ(vd.registeredPresets, HeadlessVirtualDisplay::standardPresets());

    vd.stop(true);
    EXPECT_EQ(vd.summary(), "virtual display inactive");
    EXPECT_FALSE(rig.displays->display(16385));
    const auto logged = rig.lines.size();
    vd.stop(true);  // inactive: nothing logged
    EXPECT_EQ(rig.lines.size(), logged);
}

TEST(HeadlessVirtualDisplay, ADisplayThatNeverAppearsIsPendingOrFailsWithinTheBound) {
    DisplayRig rig;
    auto& vd = *rig.virtualDisplay;
    rig.factory->setAppearDelay(-1);
    auto start = rig.now();
    ASSERT_EQ(vd.startPresetDisplay(HeadlessVirtualDisplay::hidpi1080Preset(), "n", 0, false), std::nullopt);
    EXPECT_LE(rig.now() - start, 0.4 + 0.45 + 0.13);
    EXPECT_EQ(std::tie(vd.logicalWidth, vd.logicalHeight, vd.pixelWidth, vd.pixelHeight),
              std::make_tuple(1920, 1080, 3840, 2160));
    EXPECT_TRUE(vd.isHiDPI);
    EXPECT_EQ(rig.lines.back().rfind("[HeadlessVirtualDisplay] created pending virtual display=", 0), 0u);

    vd.stop(true);
    start = rig.now();
    EXPECT_EQ(vd.startPresetDisplay(HeadlessVirtualDisplay::hidpi1080Preset(), "n", 0, true),
              "virtual display geometry for HiDPI 1080 did not realize within 6.8s; observed display not visible; active=1");
    EXPECT_LE(rig.now() - start, 0.4 + 6.8 + 0.13);
    EXPECT_FALSE(vd.isActive());

    // A display reported at one pixel per point is accepted and stored at its preset's points.
    rig.factory->setAppearDelay(0.2);
    rig.factory->setAppearance(Factory::Appearance::onePixelPerPoint);
    ASSERT_EQ(vd.startPresetDisplay(HeadlessVirtualDisplay::hidpi1080Preset(), "n", 0, true), std::nullopt);
    EXPECT_EQ(std::tie(vd.logicalWidth, vd.pixelWidth), std::make_tuple(1920, 3840));

    // A display that never goes away does not hold the stop beyond 2.4 s.
    rig.factory->setRemovalDelay(100);
    start = rig.now();
    vd.stop(true);
    EXPECT_GE(rig.now() - start, 2.4);
    EXPECT_LE(rig.now() - start, 2.4 + 0.17);
    start = rig.now();
    vd.waitForDisplayRemoval(0, 5);
    EXPECT_EQ(rig.now(), start);
}

}  // namespace HeadlessVirtualDisplayTests
