#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>

#include <string>

#include "Platform/XTestEventPoster.h"
#include "support/TestPlatform.h"

// Last: Xlib defines macros (None, Bool, Status) that clash with other headers.
#include <X11/Xlib.h>

extern char** environ;

namespace qm::test {
namespace {

// An Xvfb server of our own on a free display number, stopped when this goes away.
class VirtualXServer {
public:
    VirtualXServer() {
        for (int number = 90 + static_cast<int>(::getpid() % 100); number < 400; number += 7) {
            if (::access(("/tmp/.X11-unix/X" + std::to_string(number)).c_str(), F_OK) == 0) continue;
            // Formatted into a buffer: GCC 12 warns falsely (-Wrestrict) about building it as a string.
            char display[16];
            std::snprintf(display, sizeof display, ":%d", number);
            name_ = std::string(display);
            std::string screen = "640x480x24";
            const char* argv[] = {"Xvfb", name_.c_str(), "-screen", "0", screen.c_str(), "-nolisten", "tcp", nullptr};
            posix_spawn_file_actions_t actions;
            posix_spawn_file_actions_init(&actions);
            posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
            const int spawned = ::posix_spawnp(&pid_, "Xvfb", &actions, nullptr, const_cast<char**>(argv), environ);
            posix_spawn_file_actions_destroy(&actions);
            if (spawned != 0) {
                pid_ = -1;
                reason_ = "Xvfb could not be started (is the xvfb package installed?)";
                return;
            }
            waitUntil([this] { return (poster_ = XTestEventPoster::open(name_)) != nullptr || exited(); },
                      std::chrono::seconds(10));
            if (poster_) return;
            stop();
        }
        if (reason_.empty()) reason_ = "no Xvfb display with XTest came up";
    }
    ~VirtualXServer() {
        poster_.reset();
        stop();
    }

    const std::string& name() const { return name_; }
    const std::string& reason() const { return reason_; }
    std::shared_ptr<XTestEventPoster> poster() const { return poster_; }

private:
    bool exited() {
        int status = 0;
        if (pid_ > 0 && ::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return true;
        }
        return pid_ <= 0;
    }
    void stop() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGTERM);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
    }

    std::string name_;
    std::string reason_;
    pid_t pid_ = -1;
    std::shared_ptr<XTestEventPoster> poster_;
};

TEST(XTestEventPoster, MovesAndReportsThePointerOnARealXServer) {
    VirtualXServer server;
    if (!server.poster()) GTEST_SKIP() << server.reason();
    auto poster = server.poster();
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
}  // namespace qm::test
