#include "Platform/Linux/Desktop.h"

#include <X11/Xlib.h>

#include <cstdlib>

namespace qm {

bool desktopAnswers() {
    if (const char* wayland = std::getenv("WAYLAND_DISPLAY"); wayland && *wayland) return true;
    const char* name = std::getenv("DISPLAY");
    if (!name || !*name) return false;
    Display* display = XOpenDisplay(name);
    if (!display) return false;
    XCloseDisplay(display);
    return true;
}

}  // namespace qm
