// Typing into a real X client: the Viewer's keysyms go through the Host's key handling and the
// XTest poster, and an X client on an Xvfb display reads the characters back.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "InputFixture.h"
#include "Platform/Linux/XTestEventPoster.h"
#include "support/VirtualXServer.h"
#include "support/XInputClient.h"

namespace qm::test {
namespace XTestTypingTests {
namespace {

std::vector<char32_t> scalars(const std::string& utf8) {
    std::vector<char32_t> out;
    for (std::size_t i = 0; i < utf8.size();) {
        const auto c = static_cast<unsigned char>(utf8[i]);
        const int length = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
        char32_t scalar = length == 1 ? c : c & (0x7F >> length);
        for (int k = 1; k < length; ++k) scalar = (scalar << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
        out.push_back(scalar);
        i += static_cast<std::size_t>(length);
    }
    return out;
}

struct XTyping : InputFixture {
    VirtualXServer server;
    std::shared_ptr<XTestEventPoster> xposter;
    std::unique_ptr<XInputClient> client;

    void SetUp() override {
        if (!server.running()) GTEST_SKIP() << server.reason();
        if (!server.startWindowManager()) GTEST_SKIP() << "openbox could not be started (Debian package openbox)";
        client = XInputClient::open(server.name());
        ASSERT_TRUE(client) << "the test window did not come up";
        xposter = XTestEventPoster::open(server.name());
        if (!xposter) GTEST_SKIP() << "the Xvfb display has no XTest";
        manual.platform.eventPoster = xposter;
        make();
    }
    void TearDown() override {
        // The poster and the client go before their server does.
        input.reset();
        manual.platform.eventPoster.reset();
        xposter.reset();
        client.reset();
    }

    // Each character as the keysym a Viewer sends for it: ASCII as itself, the rest as Unicode keysyms.
    void type(const std::string& text) {
        for (char32_t c : scalars(text)) {
            const std::uint32_t keysym = c < 0x80 ? static_cast<std::uint32_t>(c) : 0x01000000u | static_cast<std::uint32_t>(c);
            key(keysym, true);
            key(keysym, false);
        }
    }
    // The poster's requests reach the server on a connection of their own: wait for them.
    bool nothingHeld() {
        return waitUntil([&] { return client->keysDown().empty() && client->effectiveModifiers() == 0; },
                         std::chrono::seconds(5));
    }
    std::string typed(const std::string& text) {
        client->clear();
        type(text);
        return client->waitForText(scalars(text).size());
    }
};

constexpr std::uint32_t shiftL = 0xFFE1;

TEST_F(XTyping, EveryCharacterTypesOnUSAndGermanLayoutsWithAndWithoutHeldShift) {
    const std::string plain = "Hello, World! @{}[]<>|~\\ ./:;'\"`^ 1234 yz éßü€ж";
    // What a keyboard sends with Shift held: capitals, and punctuation typed exactly as sent.
    const std::string shifted = "HI!WE .<>@{}|~?:\"É€Ж";
    for (const std::string layout : {"us", "de"}) {
        SCOPED_TRACE(layout);
        // A key held across the switch is released where it was pressed; the first key after
        // the switch already uses the new map.
        key('y', true);
        ASSERT_TRUE(client->setLayout(layout));
        key('y', false);
        EXPECT_TRUE(nothingHeld());
        EXPECT_EQ(typed(plain), plain);
        EXPECT_TRUE(nothingHeld());

        key(shiftL, true);
        EXPECT_EQ(typed(shifted), shifted);
        key(shiftL, false);
        // Nothing sticks: no key down, no modifier left on or locked.
        EXPECT_TRUE(nothingHeld());
    }
}

TEST_F(XTyping, ControlCharactersTypeNothingAndLentKeycodesAreGivenBack) {
    const int boundBefore = client->boundKeycodes();
    // DEL and a C1 control between two characters the US map lacks.
    for (std::uint32_t keysym : {0x01000436u, 0x0100007Fu, 0x01000085u, 0x0100044Bu}) {
        key(keysym, true);
        key(keysym, false);
    }
    EXPECT_EQ(client->waitForText(2), "жы");
    EXPECT_TRUE(nothingHeld());
    input.reset();
    manual.platform.eventPoster.reset();
    xposter.reset();
    EXPECT_EQ(client->boundKeycodes(), boundBefore);
}

TEST_F(XTyping, WheelBitsAndTrackpadPixelsBecomeWheelClicksTheRightWay) {
    // One notch per wheel bit: up, down, left, right, over the window (pixels are points here).
    const auto [x, y] = client->center();
    const auto px = static_cast<std::uint16_t>(x), py = static_cast<std::uint16_t>(y);
    for (std::uint8_t mask : {0x08, 0x10, 0x20, 0x40}) pointer(mask, px, py);
    EXPECT_EQ(client->waitForWheel(4), (std::vector<unsigned int>{4, 5, 6, 7}));
    client->clear();
    // Trackpad pixels add up: twelve 3-pixel steps are three clicks, not twelve.
    for (int i = 0; i < 12; ++i) {
        onQueue([&] { input->applyGestureEvent({GestureEventKind::scroll, px, py, 1920, 1080, 0, -3, 0}, viewer); });
    }
    pointer(0x08, px, py);  // a marker: everything before it has arrived when it does
    EXPECT_EQ(client->waitForWheel(4), (std::vector<unsigned int>{5, 5, 5, 4}));
}

}  // namespace
}  // namespace XTestTypingTests
}  // namespace qm::test
