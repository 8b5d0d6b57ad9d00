#pragma once

#include <sys/types.h>

#include <string>

namespace qm::test {

// An Xvfb server of our own on a free display number, stopped when this goes away. It keeps its
// state between clients (-noreset), so what one connection sets up the next one sees. When it
// cannot start, `running()` is false and `reason()` says why (tests skip with it).
class VirtualXServer {
public:
    // `screen` as Xvfb takes it: "WIDTHxHEIGHTxDEPTH"; the largest size RandR can grow to.
    explicit VirtualXServer(const std::string& screen = "640x480x24");
    ~VirtualXServer();
    VirtualXServer(const VirtualXServer&) = delete;
    VirtualXServer& operator=(const VirtualXServer&) = delete;

    bool running() const { return pid_ > 0; }
    const std::string& name() const { return name_; }
    const std::string& reason() const { return reason_; }

    // Paints a rectangle of the root window in 0xRRGGBB, as a client drawing on the desktop would.
    bool fillRectangle(int x, int y, int width, int height, unsigned long rgb) const;
    // Offers a 60 Hz mode of that size on every output (Xvfb starts with its screen size only), as
    // `xrandr --newmode` and `--addmode` would.
    bool addMode(int width, int height) const;

    // Starts a window manager (openbox) on the display, stopped with the server; true once it
    // manages the screen.
    bool startWindowManager();

private:
    bool exited();
    void stop();

    std::string name_;
    std::string reason_;
    pid_t pid_ = -1;
    pid_t windowManager_ = -1;
};

}  // namespace qm::test
