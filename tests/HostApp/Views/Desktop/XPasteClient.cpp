#include "XPasteClient.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include <poll.h>

#include <chrono>

namespace qm::test {

std::optional<std::string> pasteFromXClient(const std::string& displayName) {
    Display* display = XOpenDisplay(displayName.c_str());
    if (!display) return std::nullopt;
    const Window window = XCreateSimpleWindow(display, DefaultRootWindow(display), 0, 0, 1, 1, 0, 0, 0);
    const Atom clipboard = XInternAtom(display, "CLIPBOARD", False);
    const Atom utf8 = XInternAtom(display, "UTF8_STRING", False);
    const Atom property = XInternAtom(display, "QM_PASTE", False);
    XConvertSelection(display, clipboard, utf8, property, window, CurrentTime);
    XFlush(display);
    std::optional<std::string> text;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
        if (XPending(display) == 0) {
            pollfd waiting{ConnectionNumber(display), POLLIN, 0};
            ::poll(&waiting, 1, 50);
            continue;
        }
        XEvent event;
        XNextEvent(display, &event);
        if (event.type != SelectionNotify) continue;
        if (event.xselection.property == None) break;
        Atom type;
        int format;
        unsigned long count, after;
        unsigned char* data = nullptr;
        if (XGetWindowProperty(display, window, property, 0, 1 << 20, False, AnyPropertyType, &type, &format, &count,
                               &after, &data) == Success && data) {
            text = std::string(reinterpret_cast<char*>(data), count);
            XFree(data);
        }
        break;
    }
    XDestroyWindow(display, window);
    XCloseDisplay(display);
    return text;
}

}  // namespace qm::test
