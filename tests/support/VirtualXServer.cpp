#include "support/VirtualXServer.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "support/TestPlatform.h"

// Last: Xlib defines macros (None, Bool, Status) that clash with other headers.
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/extensions/Xrandr.h>

extern char** environ;

namespace qm::test {

VirtualXServer::VirtualXServer(const std::string& screen) {
    for (int number = 90 + static_cast<int>(::getpid() % 100); number < 400; number += 7) {
        if (::access(("/tmp/.X11-unix/X" + std::to_string(number)).c_str(), F_OK) == 0) continue;
        // Formatted into a buffer: GCC 12 warns falsely (-Wrestrict) about building it as a string.
        char display[16];
        std::snprintf(display, sizeof display, ":%d", number);
        name_ = std::string(display);
        const char* argv[] = {"Xvfb", name_.c_str(), "-screen", "0", screen.c_str(), "-nolisten", "tcp", "-noreset",
                              nullptr};
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
        bool answered = false;
        waitUntil([&] {
            if (Display* d = XOpenDisplay(name_.c_str())) {
                XCloseDisplay(d);
                answered = true;
            }
            return answered || exited();
        }, std::chrono::seconds(10));
        if (answered) return;
        stop();
    }
    if (reason_.empty()) reason_ = "no Xvfb display came up";
}

VirtualXServer::~VirtualXServer() {
    stop();
}

bool VirtualXServer::fillRectangle(int x, int y, int width, int height, unsigned long rgb) const {
    Display* display = XOpenDisplay(name_.c_str());
    if (!display) return false;
    const Window root = DefaultRootWindow(display);
    GC gc = XCreateGC(display, root, 0, nullptr);
    XSetForeground(display, gc, rgb);
    XSetSubwindowMode(display, gc, IncludeInferiors);
    XFillRectangle(display, root, gc, x, y, static_cast<unsigned>(width), static_cast<unsigned>(height));
    XFreeGC(display, gc);
    XSync(display, False);
    XCloseDisplay(display);
    return true;
}

bool VirtualXServer::movePointer(int x, int y) const {
    Display* display = XOpenDisplay(name_.c_str());
    if (!display) return false;
    XWarpPointer(display, 0, DefaultRootWindow(display), 0, 0, 0, 0, x, y);
    XSync(display, False);
    XCloseDisplay(display);
    return true;
}

bool VirtualXServer::addMode(int width, int height) const {
    Display* display = XOpenDisplay(name_.c_str());
    if (!display) return false;
    const Window root = DefaultRootWindow(display);
    const std::string modeName = std::to_string(width) + "x" + std::to_string(height) + "_60";
    XRRModeInfo info{};
    info.width = static_cast<unsigned>(width);
    info.height = static_cast<unsigned>(height);
    info.hSyncStart = info.width + 48;
    info.hSyncEnd = info.width + 80;
    info.hTotal = info.width + 160;
    info.vSyncStart = info.height + 3;
    info.vSyncEnd = info.height + 8;
    info.vTotal = info.height + 30;
    info.dotClock = static_cast<unsigned long>(info.hTotal) * info.vTotal * 60;
    info.name = const_cast<char*>(modeName.c_str());
    info.nameLength = static_cast<unsigned>(modeName.size());
    const RRMode mode = XRRCreateMode(display, root, &info);
    bool added = false;
    if (XRRScreenResources* resources = XRRGetScreenResourcesCurrent(display, root)) {
        for (int i = 0; i < resources->noutput; ++i) XRRAddOutputMode(display, resources->outputs[i], mode);
        added = mode != 0 && resources->noutput > 0;
        XRRFreeScreenResources(resources);
    }
    XSync(display, False);
    XCloseDisplay(display);
    return added;
}

bool VirtualXServer::exited() {
    int status = 0;
    if (pid_ > 0 && ::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return true;
    }
    return pid_ <= 0;
}

namespace {

Window findMappedWindowBelow(Display* display, Window under, const std::function<bool(unsigned long)>& matches) {
    Window root = 0, parent = 0;
    Window* children = nullptr;
    unsigned int count = 0;
    if (!XQueryTree(display, under, &root, &parent, &children, &count)) return 0;
    Window found = 0;
    for (unsigned int i = 0; i < count && !found; ++i) {
        XWindowAttributes attributes{};
        if (matches(children[i]) && XGetWindowAttributes(display, children[i], &attributes) &&
            attributes.map_state == IsViewable) {
            found = children[i];
        }
        if (!found) found = findMappedWindowBelow(display, children[i], matches);
    }
    if (children) XFree(children);
    return found;
}

}  // namespace

unsigned long findMappedWindow(Display* display, const std::function<bool(unsigned long)>& matches) {
    return findMappedWindowBelow(display, DefaultRootWindow(display), matches);
}

unsigned long findMappedWindow(Display* display, const std::string& title) {
    return findMappedWindow(display, [&](unsigned long window) {
        char* name = nullptr;
        if (!XFetchName(display, window, &name) || !name) return false;
        const bool same = title == name;
        XFree(name);
        return same;
    });
}

void pressKeys(Display* display, unsigned long window, const std::vector<unsigned long>& keys) {
    waitUntil(
        [&] {
            XSetInputFocus(display, window, RevertToParent, CurrentTime);
            XSync(display, False);
            Window focused = 0;
            int revert = 0;
            XGetInputFocus(display, &focused, &revert);
            return focused == window;
        },
        std::chrono::seconds(5));
    for (KeySym symbol : keys) {
        const KeyCode key = XKeysymToKeycode(display, symbol);
        XTestFakeKeyEvent(display, key, True, CurrentTime);
        XTestFakeKeyEvent(display, key, False, CurrentTime);
        XSync(display, False);
    }
}

bool VirtualXServer::startClient(const std::vector<const char*>& arguments, const char* owned, pid_t& pid) {
    if (!running()) return false;
    if (pid > 0) return true;
    std::vector<std::string> environment;
    for (char** e = environ; *e; ++e) {
        if (std::strncmp(*e, "DISPLAY=", 8) != 0) environment.emplace_back(*e);
    }
    environment.push_back("DISPLAY=" + name_);
    std::vector<char*> envp;
    for (auto& e : environment) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<char*> argv;
    for (const char* argument : arguments) argv.push_back(const_cast<char*>(argument));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    const int spawned = ::posix_spawnp(&pid, argv.front(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        pid = -1;
        return false;
    }
    Display* display = XOpenDisplay(name_.c_str());
    if (!display) return false;
    const Atom selection = XInternAtom(display, owned, False);
    const bool ready = waitUntil([&] { return XGetSelectionOwner(display, selection) != 0; }, std::chrono::seconds(10));
    XCloseDisplay(display);
    return ready;
}

// It manages the screen once it holds the window-manager selection of screen 0.
bool VirtualXServer::startWindowManager() { return startClient({"openbox"}, "WM_S0", windowManager_); }

// It takes status icons once it holds the tray selection of screen 0.
bool VirtualXServer::startSystemTray() {
    return startClient({"trayer", "--edge", "top", "--align", "right", "--widthtype", "pixel", "--width", "160",
                        "--height", "24"},
                       "_NET_SYSTEM_TRAY_S0", tray_);
}

void VirtualXServer::stop() {
    // A client busy with a flood of requests may not get to its SIGTERM: it is killed after a while.
    for (pid_t* client : {&tray_, &windowManager_}) {
        if (*client <= 0) continue;
        ::kill(*client, SIGTERM);
        int status = 0;
        if (!waitUntil([&] { return ::waitpid(*client, &status, WNOHANG) == *client; }, std::chrono::seconds(10))) {
            ::kill(*client, SIGKILL);
            ::waitpid(*client, &status, 0);
        }
        *client = -1;
    }
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
}

}  // namespace qm::test
