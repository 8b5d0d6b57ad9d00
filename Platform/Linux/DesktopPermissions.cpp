#include "Platform/Linux/DesktopPermissions.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>

#include "Platform/Linux/X11Connection.h"

namespace qm {

namespace {

// After a display did not answer, it is tried again only this much later: the checks run on the
// main queue, and reaching a display that is not there may take a while.
constexpr auto retryAfterFailure = std::chrono::seconds(5);

// The open connection, opened (again) when there is none or the server went away.
std::shared_ptr<x11::Connection> usableConnection(std::shared_ptr<x11::Connection>& connection,
                                                  std::optional<std::chrono::steady_clock::time_point>& lastFailure,
                                                  const std::string& displayName, bool& reopened) {
    reopened = false;
    if (connection && !connection->lost()) return connection;
    const auto now = std::chrono::steady_clock::now();
    if (lastFailure && now - *lastFailure < retryAfterFailure) return nullptr;
    connection = x11::Connection::open(displayName);
    reopened = connection != nullptr;
    if (connection) {
        lastFailure.reset();
    } else {
        lastFailure = now;
    }
    return connection;
}

}  // namespace

bool XTestAccessibility::isProcessTrusted() const {
    std::lock_guard lock(mutex_);
    bool reopened = false;
    auto connection = usableConnection(connection_, lastFailure_, displayName_, reopened);
    if (!connection) return false;
    if (reopened) {
        std::lock_guard xlock(connection->lock);
        int eventBase = 0, errorBase = 0, major = 0, minor = 0;
        hasXTest_ = XTestQueryExtension(connection->display(), &eventBase, &errorBase, &major, &minor) != 0;
    }
    return hasXTest_ && !connection->lost();
}

bool X11ScreenCaptureAccess::rootWindowReadable() {
    std::lock_guard lock(mutex_);
    bool reopened = false;
    auto connection = usableConnection(connection_, lastFailure_, displayName_, reopened);
    if (!connection) return false;
    std::lock_guard xlock(connection->lock);
    if (connection->lost()) return false;
    Display* display = connection->display();
    XImage* image = nullptr;
    const int error = x11::trapErrors(display, [&] {
        image = XGetImage(display, DefaultRootWindow(display), 0, 0, 1, 1, AllPlanes, ZPixmap);
    });
    const bool readable = image != nullptr && error == 0;
    if (image) XDestroyImage(image);
    return readable && !connection->lost();
}

bool X11ScreenCaptureAccess::preflight() {
    if (!rootWindowReadable()) return false;
    if (!monitorSourceExists_) return true;
    return monitorSourceExists_().value_or(true);
}

}  // namespace qm
