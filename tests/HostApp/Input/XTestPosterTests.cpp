#include <gtest/gtest.h>

#include <string>

#include "Platform/Linux/XTestEventPoster.h"
#include "support/TestPlatform.h"
#include "support/VirtualXServer.h"

// Last: Xlib defines macros (None, Bool, Status) that clash with other headers.
#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>

namespace qm::test {
namespace XTestPosterTests {
namespace {

TEST(XTestEventPoster, MovesAndReportsThePointerOnARealXServer) {
    VirtualXServer server;
    if (!server.running()) GTEST_SKIP() << server.reason();
    auto poster = XTestEventPoster::open(server.name());
    if (!poster) GTEST_SKIP() << "the Xvfb display has no XTest";
    poster->post(InputEvent::mouse(EventSourceState::hidSystemState, EventType::mouseMoved, {123, 45}, MouseButton::left),
                 EventTapLocation::hid);

    Display* display = XOpenDisplay(server.name().c_str());
    ASSERT_NE(display, nullptr);
    Window root = 0, child = 0;
    int rootX = -1, rootY = -1, winX = 0, winY = 0;
    unsigned int mask = 0;
    ASSERT_TRUE(waitUntil([&] {
        XQueryPointer(display, DefaultRootWindow(display), &root, &child, &rootX, &rootY, &winX, &winY, &mask);
        return rootX == 123 && rootY == 45;
    }, std::chrono::seconds(5)));
    // The poster reports it with the origin at the bottom left of the 480-line screen.
    EXPECT_EQ(poster->mouseLocation(), (Point{123, 480 - 45}));

    // A left press is seen as button 1 held, and its release lets go.
    poster->post(InputEvent::mouse(EventSourceState::hidSystemState, EventType::leftMouseDown, {200, 100}, MouseButton::left),
                 EventTapLocation::hid);
    EXPECT_TRUE(waitUntil([&] {
        XQueryPointer(display, DefaultRootWindow(display), &root, &child, &rootX, &rootY, &winX, &winY, &mask);
        return (mask & Button1Mask) && rootX == 200;
    }, std::chrono::seconds(5)));
    poster->post(InputEvent::mouse(EventSourceState::hidSystemState, EventType::leftMouseUp, {200, 100}, MouseButton::left),
                 EventTapLocation::hid);
    EXPECT_TRUE(waitUntil([&] {
        XQueryPointer(display, DefaultRootWindow(display), &root, &child, &rootX, &rootY, &winX, &winY, &mask);
        return !(mask & Button1Mask);
    }, std::chrono::seconds(5)));
    XCloseDisplay(display);
}

}  // namespace
}  // namespace XTestPosterTests
}  // namespace qm::test

namespace qm::test {
namespace XTestPosterTests {
namespace {

// A released button goes up where it went down: the pointer position is reported against the
// main display's height (which the Host flips back with), not the screen's.
TEST(XTestEventPoster, ReportsThePointerAgainstTheMainDisplayNotTheWholeScreen) {
    VirtualXServer server("1280x960x24");
    if (!server.running()) GTEST_SKIP() << server.reason();
    ASSERT_TRUE(server.addMode(640, 480));
    Display* display = XOpenDisplay(server.name().c_str());
    ASSERT_NE(display, nullptr);
    const Window root = DefaultRootWindow(display);
    XRRScreenResources* resources = XRRGetScreenResourcesCurrent(display, root);
    ASSERT_NE(resources, nullptr);
    RRMode small = 0;
    for (int i = 0; i < resources->nmode; ++i) {
        if (resources->modes[i].width == 640 && resources->modes[i].height == 480) small = resources->modes[i].id;
    }
    XRROutputInfo* output = XRRGetOutputInfo(display, resources, resources->outputs[0]);
    ASSERT_TRUE(output && output->crtc && small);
    RROutput outputs[] = {resources->outputs[0]};
    ASSERT_EQ(XRRSetCrtcConfig(display, resources, output->crtc, CurrentTime, 0, 0, small, RR_Rotate_0, outputs, 1),
              RRSetConfigSuccess);
    XRRFreeOutputInfo(output);
    XRRFreeScreenResources(resources);
    XSync(display, False);
    ASSERT_EQ(DisplayHeight(display, DefaultScreen(display)), 960);  // the screen stays larger

    auto poster = XTestEventPoster::open(server.name());
    ASSERT_TRUE(poster);
    poster->post(InputEvent::mouse(EventSourceState::hidSystemState, EventType::mouseMoved, {100, 50}, MouseButton::left),
                 EventTapLocation::hid);
    EXPECT_TRUE(waitUntil([&] { return poster->mouseLocation() == Point{100, 480 - 50}; }, std::chrono::seconds(5)));
    XCloseDisplay(display);
}

}  // namespace
}  // namespace XTestPosterTests
}  // namespace qm::test
