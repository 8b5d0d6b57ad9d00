// Remote input over real TCP: packets laid out byte by byte as the wire format document
// describes them reach the Host's event stream in order; malformed ones are answered.
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

#include "support/LiveServer.h"
#include "support/TestViewer.h"

namespace ServerLiveInputTests {

using namespace qm;
using namespace qm::test;

namespace {

// Little-endian fields, written the way the document gives them.
struct Fields {
    Bytes bytes;
    Fields& u8(std::uint64_t v) { return put(v, 1); }
    Fields& u16(std::uint64_t v) { return put(v, 2); }
    Fields& u32(std::uint64_t v) { return put(v, 4); }
    Fields& u64(std::uint64_t v) { return put(v, 8); }
    Fields& put(std::uint64_t v, int size) {
        for (int i = 0; i < size; ++i) bytes.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
        return *this;
    }
};

constexpr std::uint16_t width = 1920, height = 1080;  // the simulated display, one pixel a point

Bytes pointer(std::uint8_t buttons, std::uint16_t x, std::uint16_t y) {
    return Fields{}.u8(buttons).u16(x).u16(y).u16(width).u16(height).bytes;
}
Bytes key(std::uint32_t keysym, bool down) { return Fields{}.u32(keysym).u8(down ? 1 : 0).bytes; }
Bytes rawKey(std::uint16_t code, std::uint64_t flags, bool down) {
    return Fields{}.u16(code).u64(flags).u8(down ? 1 : 0).bytes;
}

// One line per posted event: type, then what matters for that type.
std::string describe(const InputEvent& e) {
    std::ostringstream s;
    switch (e.type) {
        case EventType::mouseMoved: s << "move "; break;
        case EventType::leftMouseDown: s << "leftDown "; break;
        case EventType::leftMouseUp: s << "leftUp "; break;
        case EventType::leftMouseDragged: s << "leftDrag "; break;
        case EventType::rightMouseDown: s << "rightDown "; break;
        case EventType::rightMouseUp: s << "rightUp "; break;
        case EventType::scrollWheel: s << "scroll " << e.wheel1 << "," << e.wheel2; return s.str();
        case EventType::keyDown: s << "keyDown " << e.keyCode << " flags=" << std::hex << e.flags; return s.str();
        case EventType::keyUp: s << "keyUp " << e.keyCode << " flags=" << std::hex << e.flags; return s.str();
        case EventType::flagsChanged: s << "flags " << e.keyCode; return s.str();
        case EventType::systemDefined: s << "system " << std::hex << e.data1; return s.str();
        default: s << "type" << static_cast<int>(e.type); return s.str();
    }
    s << e.location.x << "," << e.location.y;
    if (e.type == EventType::leftMouseDown) s << " clicks=" << e.integerField(EventField::mouseEventClickState);
    return s.str();
}

class LiveInput : public ::testing::Test {
protected:
    LiveServer live;
    TestViewer viewer{live.ports().control};
    std::size_t seen = 0;

    void SetUp() override {
        auto result = viewer.signIn(LiveServer::user, LiveServer::password, "Input Viewer");
        ASSERT_TRUE(result && result->accepted);
    }
    // Sends the packets, then returns the `count` events they posted (in order), waiting for them.
    std::vector<std::string> post(const std::vector<std::pair<AuxPacketType, Bytes>>& packets, std::size_t count) {
        for (const auto& [type, payload] : packets) viewer.send(type, payload);
        waitUntil([&] { return live.events()->posted().size() >= seen + count; });
        const auto posted = live.events()->posted();
        std::vector<std::string> lines;
        for (std::size_t i = seen; i < posted.size(); ++i) lines.push_back(describe(posted[i].event));
        seen = posted.size();
        return lines;
    }
};

using T = AuxPacketType;
using Lines = std::vector<std::string>;

}  // namespace

TEST_F(LiveInput, PointerAndScrollPacketsPostTheirChangesInOrder) {
    EXPECT_EQ(post({{T::pointerEvent, pointer(0, 100, 50)},
                    {T::pointerEvent, pointer(1, 100, 50)},
                    {T::pointerEvent, pointer(1, 300, 60)},
                    {T::pointerEvent, pointer(0, 300, 60)},
                    {T::pointerEvent, pointer(1, 301, 61)},
                    {T::pointerEvent, pointer(0, 301, 61)},
                    {T::pointerEvent, pointer(0, width - 1, height + 500)}},
                   7),
              (Lines{"move 100,50", "leftDown 100,50 clicks=1", "leftDrag 300,60", "leftUp 300,60",
                     "leftDown 301,61 clicks=2", "leftUp 301,61", "move 1919,1079"}))
        << "a second press within 500 ms and 6 points is a double click; positions clamp to the framebuffer";
}

TEST_F(LiveInput, WheelBitsAndGestureScrollPostScrollEvents) {
    const auto lines = post({{T::pointerEvent, pointer(0, 10, 10)},
                             {T::pointerEvent, pointer(0x08, 10, 10)},
                             {T::pointerEvent, pointer(0x10 | 0x40, 10, 10)},
                             {T::gestureEvent, Fields{}.u8(1).u16(10).u16(10).u16(width).u16(height).u16(3).u16(
                                                   static_cast<std::uint16_t>(-5)).u16(1).bytes}},
                            5);
    // The moves before each scroll are not counted exactly, so wait for the three scrolls.
    std::vector<std::string> scrolls;
    auto collect = [&] {
        scrolls.clear();
        for (const auto& posted : live.events()->posted()) {
            const auto line = describe(posted.event);
            if (line.rfind("scroll", 0) == 0) scrolls.push_back(line);
        }
        return scrolls.size() >= 3;
    };
    EXPECT_FALSE(lines.empty());
    waitUntil(collect);
    // Wheel up is +12 vertically, down -12; right +12 horizontally, left -12. The gesture posts
    // its deltas as they came (deltaY vertical, deltaX horizontal).
    EXPECT_EQ(scrolls, (Lines{"scroll 12,0", "scroll -12,12", "scroll -5,3"}));
}

TEST_F(LiveInput, KeysRawKeysSystemKeysAndShortcutsReachTheHostInOrder) {
    EXPECT_EQ(post({{T::keyEvent, key('a', true)}, {T::keyEvent, key('a', false)}}, 2),
              (Lines{"keyDown 0 flags=0", "keyUp 0 flags=0"}));
    EXPECT_EQ(post({{T::rawKeyEvent, rawKey(49, 0x20000, true)}, {T::rawKeyEvent, rawKey(49, 0x20000, false)}}, 2),
              (Lines{"keyDown 49 flags=20000", "keyUp 49 flags=20000"}));
    EXPECT_EQ(post({{T::systemDefinedKeyEvent, Fields{}.u16(16).bytes}}, 2), (Lines{"system 100a00", "system 100b00"}));
    // Shift+Command+3, modifiers pressed first and released last; the Host logs it and
    // answers nothing.
    EXPECT_EQ(post({{T::hostShortcut, Fields{}.u8(22).bytes}}, 6),
              (Lines{"keyDown 56 flags=20000", "keyDown 55 flags=120000", "keyDown 20 flags=120000",
                     "keyUp 20 flags=120000", "keyUp 55 flags=120000", "keyUp 56 flags=20000"}));
    EXPECT_TRUE(live.waitForStatus("host shortcut: screenshot (Shift+Cmd+3)"));
    // App Exposé (Control+Down) is answered to the Viewers.
    EXPECT_EQ(post({{T::hostShortcut, Fields{}.u8(5).bytes}}, 4),
              (Lines{"keyDown 59 flags=40000", "keyDown 125 flags=40000", "keyUp 125 flags=40000",
                     "keyUp 59 flags=40000"}));
    EXPECT_TRUE(viewer.waitForStatus("host shortcut: Control+Down App Expose"));
    for (const auto& text : viewer.statusTexts()) EXPECT_EQ(text.find("screenshot"), std::string::npos) << text;
}

TEST_F(LiveInput, MalformedPacketsAreAnsweredToTheirSenderAndPostNothing) {
    const std::vector<std::pair<AuxPacketType, std::string>> rows = {
        {T::pointerEvent, "bad pointer event payload"},
        {T::hostShortcut, "bad host shortcut payload"},
        {T::keyEvent, "bad key event payload"},
        {T::rawKeyEvent, "bad raw key event payload"},
        {T::systemDefinedKeyEvent, "bad system-defined key payload"},
    };
    viewer.send(T::gestureEvent, Bytes{1, 2});  // dropped without an answer
    for (const auto& [type, text] : rows) {
        viewer.send(type, type == T::systemDefinedKeyEvent ? Bytes{7} : Bytes{});
        EXPECT_TRUE(viewer.waitForStatus(text)) << text;
    }
    viewer.send(T::hostShortcut, Bytes{99});  // an unknown kind does not decode either
    EXPECT_TRUE(waitUntil([&] {
        const auto texts = viewer.statusTexts();
        return std::count_if(texts.begin(), texts.end(), [](const std::string& t) {
                   return t.find("bad host shortcut payload") != std::string::npos;
               }) == 2;
    }));
    // A well-formed packet after them still works, and nothing else was posted.
    EXPECT_EQ(post({{T::keyEvent, key('b', true)}}, 1), (Lines{"keyDown 11 flags=0"}));
    for (const auto& text : viewer.statusTexts()) EXPECT_EQ(text.find("gesture"), std::string::npos) << text;
}

}  // namespace ServerLiveInputTests
