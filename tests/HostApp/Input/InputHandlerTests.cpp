#include "InputFixture.h"

#include "HostApp/Video/HostVideoCapture.h"

namespace qm::test {
namespace InputHandlerTests {
namespace {

using T = EventType;

struct InputHandlers : InputFixture {
    void SetUp() override {
        displays->setCurrentMode(1, DisplayMode{1440, 900, 1440, 900, 60});
    }
    std::optional<Point> map(std::int64_t x, std::int64_t y, std::int64_t w = 1920, std::int64_t h = 1080) {
        std::optional<Point> result;
        onQueue([&] { result = input->displayPoint(x, y, w, h); });
        return result;
    }
};

TEST_F(InputHandlers, FramebufferPointsMapOntoTheChosenDisplay) {
    EXPECT_EQ(map(1919, 1079), (Point{1439.0, 899.0}));
    EXPECT_EQ(map(0, 0), (Point{0.0, 0.0}));
    EXPECT_EQ(map(-5, 0)->x, 0.0);
    EXPECT_EQ(map(5000, 0)->x, 1439.0);
    EXPECT_EQ(map(700, 10, 1, 1080)->x, 0.0);  // a one-pixel-wide framebuffer maps to the left edge
    EXPECT_EQ(map(0, 0, 0, 1080), std::nullopt);

    // A selected display to the left of the main one gives negative x.
    displays->addDisplay(SimulatedDisplayService::makeDisplay(2, {-1440, 0}, 1440, 900, 1440, 900));
    selectedDisplay = 2;
    EXPECT_EQ(map(0, 0), (Point{-1440.0, 0.0}));
    // No selection and a main display that is not active: the first active display.
    selectedDisplay = 0;
    displays->setMainDisplayID(99);
    EXPECT_EQ(map(0, 0), (Point{0.0, 0.0}));
}

TEST_F(InputHandlers, ViewportRegionRemapsThePointerInModeMax) {
    VideoStreamProfile profile;
    profile.mode = VideoCaptureMode::max;
    auto capture = std::make_shared<HostVideoCapture>(manual.platform, profile);
    capture->setViewportROI(Rect(0.25, 0.25, 0.5, 0.5));
    HostRemoteInput::ServerHooks hooks;
    hooks.videoCapture = [capture] { return capture; };
    input = HostRemoteInput::create(manual.platform, queue, hooks, configuration);
    const auto first = map(0, 0);
    const auto last = map(1919, 1079);
    EXPECT_DOUBLE_EQ(first->x, 0.25 * 1439);
    EXPECT_DOUBLE_EQ(first->y, 0.25 * 899);
    EXPECT_DOUBLE_EQ(last->x, 0.75 * 1439);
    EXPECT_DOUBLE_EQ(last->y, 0.75 * 899);
}

TEST_F(InputHandlers, ButtonTransitionsCarryThePositionWithoutExtraMoves) {
    pointer(0x01, 100, 100);  // left down only
    pointer(0x01, 200, 100);  // same mask, new place: left dragged
    pointer(0x05, 200, 100);  // right added
    pointer(0x00, 200, 100);  // both released: left up, then right up
    pointer(0x00, 300, 100);  // plain move
    pointer(0x02, 300, 100);  // middle down is an "other" button
    pointer(0x00, 300, 100);
    EXPECT_EQ(types(), (std::vector<T>{T::leftMouseDown, T::leftMouseDragged, T::rightMouseDown, T::leftMouseUp,
                                       T::rightMouseUp, T::mouseMoved, T::otherMouseDown, T::otherMouseUp}));
    const auto all = events();
    EXPECT_EQ(all[6].event.button, MouseButton::center);
    EXPECT_EQ(all[1].event.location.x, 200.0 / 1919 * 1439);
    EXPECT_TRUE(in().inputState().inputButtonMasks.empty());
}

TEST_F(InputHandlers, WheelBitsBecomeOnePixelScrollAndOppositesCancel) {
    pointer(0x28, 10, 10);  // wheel up and wheel left
    pointer(0x18, 10, 10);  // up and down cancel
    pointer(0x60, 10, 10);  // left and right cancel
    ASSERT_EQ(types(), (std::vector<T>{T::mouseMoved, T::scrollWheel, T::mouseMoved, T::mouseMoved, T::mouseMoved}));
    const InputEvent scroll = events()[1].event;
    EXPECT_EQ(scroll.scrollUnit, ScrollUnit::pixel);
    EXPECT_EQ(scroll.wheelCount, 2);
    EXPECT_EQ(scroll.wheel1, 12);
    EXPECT_EQ(scroll.wheel2, -12);
}

TEST_F(InputHandlers, QuickNearbyClicksCountToTwoAtMost) {
    const auto clickStates = [this] {
        std::vector<std::int64_t> states;
        for (const auto& e : events()) states.push_back(e.event.integerField(EventField::mouseEventClickState));
        return states;
    };
    pointer(0x01, 100, 100);
    pointer(0x00, 100, 100);
    manual.clock->advance(0.3);
    pointer(0x01, 102, 100);  // 300 ms and under 2 points later: a double click
    pointer(0x01, 103, 100);
    pointer(0x00, 103, 100);
    manual.clock->advance(0.3);
    pointer(0x01, 103, 100);  // a third quick click is again a double click
    pointer(0x00, 103, 100);
    EXPECT_EQ(clickStates(), (std::vector<std::int64_t>{1, 1, 2, 2, 2, 2, 2}));

    poster->clear();
    manual.clock->advance(0.6);
    pointer(0x01, 103, 100);  // too late
    pointer(0x00, 103, 100);
    manual.clock->advance(0.1);
    pointer(0x01, 120, 100);  // too far
    pointer(0x04, 120, 100);  // right button: no click state at all
    EXPECT_EQ(clickStates(), (std::vector<std::int64_t>{1, 1, 1, 1, 0}));
    EXPECT_FALSE(events().back().event.integerFields.contains(EventField::mouseEventClickState));
}

TEST_F(InputHandlers, KeyboardControlIsReleasedBeforeALeftPress) {
    key(0xFFE3, true);
    pointer(0x01, 10, 10);
    EXPECT_EQ(keySteps(), (std::vector<std::string>{"59d{40000}", "59u{0}"}));
    EXPECT_EQ(events().back().event.type, T::leftMouseDown);
    EXPECT_EQ(events().back().event.flags, 0u);
    EXPECT_EQ(in().inputState().inputKeyboardFlags, 0u);
}

TEST_F(InputHandlers, KeysymsBecomeModifiersTextKeyCodesOrAReport) {
    key(0xFFE3, true);
    EXPECT_EQ(in().inputState().inputKeyboardFlags, EventFlag::control);
    key(0xFFE3, false);
    EXPECT_EQ(in().inputState().inputKeyboardFlags, 0u);
    key(0x2F, true);  // "/" typed as text
    key(0x2F, false);  // a key up of punctuation falls through to its key code
    key(0xFFE7, true);
    key(0x2F, true);  // with Command: key code 44
    key(0xFFE7, false);
    key(0x41, true);  // "A": key code 0 with Shift
    key(0xE9, true);  // Latin-1 é: typed
    key(0xE9, false);  // no key up for text
    key(0xFFE5, true);  // Caps Lock: nothing to type, reported
    EXPECT_EQ(keySteps(), (std::vector<std::string>{"59d{40000}", "59u{0}", "0d{0}", "44u{0}", "55d{100000}",
                                                    "44d{100000}", "55u{0}", "0d{20000}", "0d{0}"}));
    const auto all = events();
    EXPECT_EQ(all[2].event.unicodeText, u"/");
    EXPECT_EQ(all[8].event.unicodeText, u"é");
    EXPECT_EQ(published, (std::vector<std::string>{"input: unsupported keysym 0xFFE5"}));
}

TEST_F(InputHandlers, RawKeysKeepTheirFlagsAndSystemKeysAreDispatchedByType) {
    names[viewer] = "iPad";
    onQueue([this] {
        input->applyRawKeyEvent({12, 0x100000, true}, viewer);
        input->applySystemDefinedKeyEvent({25}, viewer);
        input->applySystemDefinedKeyEvent({16}, viewer);
    });
    ASSERT_EQ(types(), (std::vector<T>{T::keyDown, T::systemDefined}));
    EXPECT_EQ(events()[0].event.flags, 0x100000u);
    EXPECT_EQ(in().inputState().inputKeyboardFlags, 0u);
    manual.clock->advance(0.04);
    ASSERT_EQ(events().size(), 3u);
    EXPECT_EQ(events()[1].event.data1, 0x100a00);
    EXPECT_EQ(events()[2].event.data1, 0x100b00);
    EXPECT_EQ(events()[2].uptimeNs - events()[1].uptimeNs, 40'000'000u);
    EXPECT_EQ(published, (std::vector<std::string>{"remote input: ignored system-defined MENU key from iPad"}));

    poster->failCreating(T::systemDefined);
    onQueue([this] { input->applySystemDefinedKeyEvent({99}, viewer); });
    EXPECT_EQ(published.back(), "host system key failed type=99");
}

TEST_F(InputHandlers, GesturesScrollOrZoomInSteps) {
    onQueue([this] {
        input->applyGestureEvent({GestureEventKind::scroll, 0, 0, 1920, 1080, 3, -5000, 1}, viewer);
        input->applyGestureEvent({GestureEventKind::magnify, 0, 0, 1920, 1080, 0, 0, 500}, viewer);
        input->applyGestureEvent({GestureEventKind::magnify, 0, 0, 1920, 1080, 0, 0, -10}, viewer);
        input->applyGestureEvent({GestureEventKind::magnify, 0, 0, 0, 0, 0, 0, 0}, viewer);
    });
    const auto all = events();
    ASSERT_EQ(all[1].event.type, T::scrollWheel);
    EXPECT_EQ(all[1].event.scrollUnit, ScrollUnit::line);
    EXPECT_EQ(all[1].event.wheel1, -800);
    EXPECT_EQ(all[1].event.wheel2, 3);
    // 500 / 80 = 6, capped at 4 zoom-in steps of Shift+Command+=; then one zoom-out step.
    std::vector<std::string> expected;
    for (int i = 0; i < 4; ++i) {
        for (const char* s : {"56d{20000}", "55d{120000}", "24d{120000}", "24u{120000}", "55u{120000}", "56u{20000}"}) {
            expected.push_back(s);
        }
    }
    for (const char* s : {"55d{100000}", "27d{100000}", "27u{100000}", "55u{100000}"}) expected.push_back(s);
    EXPECT_EQ(keySteps(), expected);
}

TEST_F(InputHandlers, MissingTrustWarnsOnceAndDropsEverything) {
    accessibility->setTrusted(false);
    pointer(0x01, 10, 10);
    key(0x61, true);
    shortcut(HostShortcutKind::lockScreen);
    manual.clock->advance(1);
    shortcut(HostShortcutKind::volumeUp);  // system keys need no trust
    const std::string warning = "input: Host needs Accessibility permission for direct mouse and gesture control";
    EXPECT_EQ(published, (std::vector<std::string>{warning}));
    EXPECT_EQ(broadcast, (std::vector<std::string>{warning}));
    EXPECT_EQ(accessibility->promptCount(), 1);
    EXPECT_EQ(types(), (std::vector<T>{T::systemDefined}));
}

TEST_F(InputHandlers, ALockedConsoleIsWokenAtMostEvery600Milliseconds) {
    console.isLocked = true;
    pointer(0, 1, 1);
    EXPECT_EQ(userActivity->declarations(), (std::vector<std::string>{"Corventis remote input"}));
    manual.clock->advance(0.4);
    pointer(0, 2, 1);  // probes again (over 250 ms) but is within 600 ms of the wake
    EXPECT_EQ(userActivity->declarations().size(), 1u);
    console.isLocked = false;
    manual.clock->advance(0.2);
    pointer(0, 3, 1);  // the probe is only 200 ms old: still counted as locked, and 600 ms passed
    EXPECT_EQ(userActivity->declarations().size(), 2u);
    manual.clock->advance(0.7);
    pointer(0, 4, 1);  // probed again: unlocked
    EXPECT_EQ(userActivity->declarations().size(), 2u);
    console.loginDone = false;  // not logged in counts as locked
    manual.clock->advance(0.3);
    onQueue([this] { input->applyRawKeyEvent({1, 0, true}, viewer); });  // raw keys never wake
    EXPECT_EQ(userActivity->declarations().size(), 2u);
    pointer(0, 5, 1);
    EXPECT_EQ(userActivity->declarations().size(), 3u);
}

TEST_F(InputHandlers, AViewerLeavingReleasesWhatItHeldAtTheTopLeftPointerLocation) {
    const UUID other = UUID::random();
    onQueue([&] { input->applyKeyEvent({0xFFE9, true}, other); });  // Option held by another Viewer
    pointer(0x05, 10, 10);
    key(0xFFE1, true);   // Shift
    key(0xFFE9, true);   // Option
    key(0x61, true);     // "a" held
    onQueue([this] { input->applyRawKeyEvent({122, 0, true}, viewer); });  // F1 held
    poster->clear();
    poster->setMouseLocation({100, 800});  // bottom-left origin on the 900-point main display
    onQueue([this] { input->forget(viewer); });
    EXPECT_EQ(types(), (std::vector<T>{T::leftMouseUp, T::rightMouseUp, T::keyUp, T::keyUp, T::keyUp}));
    EXPECT_EQ(events()[0].event.location, (Point{100, 100}));
    EXPECT_EQ(events()[1].event.location, (Point{100, 100}));
    // Keys up, then Shift released; Option stays: the other Viewer still holds it.
    EXPECT_EQ(keySteps(), (std::vector<std::string>{"0u{a0000}", "122u{a0000}", "56u{80000}"}));
    EXPECT_EQ(in().inputState().inputKeyboardFlags, EventFlag::option);
    poster->clear();
    onQueue([this] { input->forget(viewer); });  // nothing left to release
    onQueue([&] { input->forget(other); });
    EXPECT_EQ(keySteps(), (std::vector<std::string>{"58u{0}"}));
}

TEST_F(InputHandlers, MalformedPayloadsAreRefusedWithTheirTexts) {
    const std::uint8_t shortBytes[1] = {0};
    const std::uint8_t badShortcut[1] = {21};
    const struct {
        AuxPacketType type;
        std::span<const std::uint8_t> payload;
        std::optional<std::string> refusal;
    } rows[] = {
        {AuxPacketType::pointerEvent, shortBytes, "bad pointer event payload"},
        {AuxPacketType::hostShortcut, badShortcut, "bad host shortcut payload"},
        {AuxPacketType::hostShortcut, {}, "bad host shortcut payload"},
        {AuxPacketType::keyEvent, shortBytes, "bad key event payload"},
        {AuxPacketType::rawKeyEvent, shortBytes, "bad raw key event payload"},
        {AuxPacketType::systemDefinedKeyEvent, shortBytes, "bad system-defined key payload"},
        {AuxPacketType::gestureEvent, shortBytes, std::nullopt},
        {AuxPacketType::videoFrameAck, shortBytes, std::nullopt},
    };
    for (const auto& row : rows) {
        std::optional<std::string> refusal;
        onQueue([&] { refusal = input->handleControlPacket(row.type, row.payload, viewer); });
        EXPECT_EQ(refusal, row.refusal) << static_cast<int>(row.type);
    }
    EXPECT_TRUE(events().empty());
    const Bytes keyPacket = KeyEventControlPayload{0x61, true}.encode();
    onQueue([&] { EXPECT_EQ(input->handleControlPacket(AuxPacketType::keyEvent, keyPacket, viewer), std::nullopt); });
    EXPECT_EQ(keySteps(), (std::vector<std::string>{"0d{0}"}));
}

}  // namespace
}  // namespace InputHandlerTests
}  // namespace qm::test
