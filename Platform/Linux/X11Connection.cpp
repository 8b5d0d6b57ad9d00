#include "Platform/Linux/X11Connection.h"

#include <X11/Xlib.h>

#include <cstdio>
#include <cstdlib>

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
    std::fprintf(stderr, "[X11] error %s (request %d.%d)\n", text, event->request_code, event->minor_code);
    return 0;
}

void installHandler() {
    static const bool installed = [] {
        XSetErrorHandler(handleError);
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
    return std::shared_ptr<Connection>(new Connection(display, resolved));
}

Connection::~Connection() {
    if (display_) XCloseDisplay(display_);
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
    XSync(display, False);
    const int code = trapCodes[token];
    if (trapDepth > 0) --trapDepth;
    trappedError = trapDepth > 0 ? &trapCodes[trapDepth - 1] : nullptr;
    return code;
}

}  // namespace qm::x11
