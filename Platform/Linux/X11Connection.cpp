#include "Platform/Linux/X11Connection.h"

#include <X11/Xlib.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>

#include "Platform/Core/LogSink.h"

namespace qm::x11 {

namespace {

// The error code of the innermost trap on this thread. Xlib reports an error on the thread that
// reads the server's answer, which is the thread inside the trap (it syncs before leaving).
thread_local int* trappedError = nullptr;

int handleError(Display* display, XErrorEvent* event) {
    if (trappedError) {
        if (*trappedError == 0) *trappedError = event->error_code;
        return 0;
    }
    // Outside a trap: reported, never fatal (Xlib's own handler would end the process).
    char text[256] = {};
    XGetErrorText(display, event->error_code, text, sizeof text);
    logLine(std::string("[X11] error ") + text + " (request " + std::to_string(event->request_code) + "." +
            std::to_string(event->minor_code) + ")");
    return 0;
}

// Xlib's default I/O error handler prints and its exit handler ends the process; the connection's
// own exit handler (below) takes over, so this one stays quiet.
int handleIOError(Display*) {
    return 0;
}

// Which connections are watched, and which servers were lost. Never destroyed: a queue's thread
// still finishing at the process's exit may close its connection after the statics are gone.
struct Watch {
    std::mutex lostMutex;
    std::function<void(const std::string&)> lostHandler;
    std::set<std::string> lostServers;
    // Every watched connection: its server's name and whether it was lost.
    std::map<Display*, std::pair<std::string, bool>> watched;
};
Watch& watch() {
    static Watch* const shared = new Watch;
    return *shared;
}

void markLost(Display* display) {
    std::function<void(const std::string&)> handler;
    std::string name;
    {
        auto& w = watch();
        std::lock_guard lock(w.lostMutex);
        auto it = w.watched.find(display);
        if (it == w.watched.end() || it->second.second) return;
        it->second.second = true;
        name = it->second.first;
        if (!w.lostServers.insert(name).second) return;
        handler = w.lostHandler;
    }
    logLine("[X11] lost the connection to X display " + name);
    if (handler) handler(name);
}

void installHandler() {
    static const bool installed = [] {
        XSetErrorHandler(handleError);
        XSetIOErrorHandler(handleIOError);
        return true;
    }();
    (void)installed;
}

// A stack of traps per thread: index into it by token.
thread_local int trapCodes[8] = {};
thread_local int trapDepth = 0;

}  // namespace

std::shared_ptr<Connection> Connection::open(const std::string& name) {
    installHandler();
    std::string resolved = name;
    if (resolved.empty()) {
        const char* env = std::getenv("DISPLAY");
        if (!env || !*env) return nullptr;
        resolved = env;
    }
    Display* display = XOpenDisplay(resolved.c_str());
    if (!display) return nullptr;
    watchForServerLoss(display, resolved);
    return std::shared_ptr<Connection>(new Connection(display, resolved));
}

void watchForServerLoss(Display* display, const std::string& name) {
    installHandler();
    {
        auto& w = watch();
        std::lock_guard lock(w.lostMutex);
        // A server that answers again under that name (restarted) is a new one.
        w.lostServers.erase(name);
        w.watched[display] = {name, false};
    }
    // Returning from the exit handler leaves the connection dead instead of ending the process
    // (libX11 1.7 and later).
    XSetIOErrorExitHandler(display, [](Display* dead, void*) { markLost(dead); }, nullptr);
}

bool isLost(Display* display) {
    auto& w = watch();
    std::lock_guard lock(w.lostMutex);
    auto it = w.watched.find(display);
    return it != w.watched.end() && it->second.second;
}

void forgetConnection(Display* display) {
    auto& w = watch();
    std::lock_guard lock(w.lostMutex);
    w.watched.erase(display);
}

bool Connection::lost() const {
    return isLost(display_);
}

void Connection::setServerLostHandler(std::function<void(const std::string& name)> handler) {
    auto& w = watch();
    std::lock_guard lock(w.lostMutex);
    w.lostHandler = std::move(handler);
}

Connection::~Connection() {
    // A dead connection is left as it is: Xlib may block in any call on it, closing included.
    const bool dead = isLost(display_);
    forgetConnection(display_);
    if (display_ && !dead) XCloseDisplay(display_);
}

int beginErrorTrap() {
    installHandler();
    const int token = trapDepth < 8 ? trapDepth : 7;
    trapCodes[token] = 0;
    if (trapDepth < 8) ++trapDepth;
    trappedError = &trapCodes[token];
    return token;
}

int endErrorTrap(Display* display, int token) {
    if (!isLost(display)) XSync(display, False);
    const int code = trapCodes[token];
    if (trapDepth > 0) --trapDepth;
    trappedError = trapDepth > 0 ? &trapCodes[trapDepth - 1] : nullptr;
    return code;
}

}  // namespace qm::x11
