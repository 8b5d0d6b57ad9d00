#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

// Xlib's display, named without its header (its macros would reach every file including this one).
struct _XDisplay;

namespace qm::test {

// The mapped window with this title anywhere below the display's root window (its X id), 0 when
// none is: the windows a program under test shows, found as a user would see them.
unsigned long findMappedWindow(_XDisplay* display, const std::string& title);
// The first mapped window below the root that `matches` takes.
unsigned long findMappedWindow(_XDisplay* display, const std::function<bool(unsigned long)>& matches);

// The user's keys (X key symbols) on the window, one after another, once it has the focus (a
// program may raise its windows again just after one appears, which can move the focus for a
// moment), pressed through the X server's own input (XTest).
void pressKeys(_XDisplay* display, unsigned long window, const std::vector<unsigned long>& keys);

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
    // Starts a system tray (trayer, a panel at the top right), stopped with the server; true once
    // it takes status icons.
    bool startSystemTray();
    // Moves the pointer to a root-window position, as the user's mouse would.
    bool movePointer(int x, int y) const;
    // Ends the server at once, as a crash or a logout would, with its clients still connected.
    void terminate() { stop(); }

private:
    bool exited();
    void stop();
    // Starts a program on the display, its output dropped, into `pid` (stopped with the server);
    // true once the X selection `owned` has an owner, as the program takes it when it is ready.
    bool startClient(const std::vector<const char*>& argv, const char* owned, pid_t& pid);

    std::string name_;
    std::string reason_;
    pid_t pid_ = -1;
    pid_t windowManager_ = -1;
    pid_t tray_ = -1;
};

}  // namespace qm::test
