#include "Platform/Linux/X11SessionDesktop.h"

#include <dbus/dbus.h>
#include <poll.h>
#include <unistd.h>

#include <cstdlib>

// Last: Xlib defines macros (None, Bool, Status) that clash with other headers.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/dpms.h>
#include <X11/extensions/scrnsaver.h>

namespace qm {

namespace {

// A CARDINAL property of the root window; nothing when it is not there.
std::optional<long> rootCardinal(Display* display, const char* name) {
    const Atom property = XInternAtom(display, name, True);
    if (property == 0) return std::nullopt;
    Atom type = 0;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    std::optional<long> value;
    if (XGetWindowProperty(display, DefaultRootWindow(display), property, 0, 1, False, XA_CARDINAL, &type, &format,
                           &count, &after, &data) == Success &&
        type == XA_CARDINAL && format == 32 && count == 1 && data) {
        value = *reinterpret_cast<long*>(data);
    }
    if (data) XFree(data);
    return value;
}

bool sleepingNow(Display* display, bool hasSaver, bool hasDPMS) {
    if (hasSaver) {
        if (XScreenSaverInfo* info = XScreenSaverAllocInfo()) {
            const bool on = XScreenSaverQueryInfo(display, DefaultRootWindow(display), info) &&
                            (info->state == ScreenSaverOn);
            XFree(info);
            if (on) return true;
        }
    }
    if (hasDPMS) {
        CARD16 level = DPMSModeOn;
        BOOL enabled = False;
        if (DPMSInfo(display, &level, &enabled) && enabled && level != DPMSModeOn) return true;
    }
    return false;
}

}  // namespace

std::shared_ptr<X11SessionDesktop> X11SessionDesktop::open(const std::string& name) {
    auto connection = x11::Connection::open(name);
    if (!connection) return nullptr;
    auto desktop = std::shared_ptr<X11SessionDesktop>(new X11SessionDesktop(std::move(connection)));
    return desktop;
}

X11SessionDesktop::X11SessionDesktop(std::shared_ptr<x11::Connection> connection) : connection_(std::move(connection)) {
    Display* display = connection_->display();
    int eventBase = 0, errorBase = 0;
    hasDPMS_ = DPMSQueryExtension(display, &eventBase, &errorBase) && DPMSCapable(display);
    hasSaver_ = XScreenSaverQueryExtension(display, &saverEventBase_, &errorBase);
}

X11SessionDesktop::~X11SessionDesktop() {
    stopping_ = true;
    if (wakePipe_[1] >= 0) {
        const char byte = 1;
        [[maybe_unused]] auto written = ::write(wakePipe_[1], &byte, 1);
    }
    if (watcher_.joinable()) watcher_.join();
    for (int fd : wakePipe_) {
        if (fd >= 0) ::close(fd);
    }
}

std::optional<std::string> X11SessionDesktop::switchDesktop(int delta) {
    std::lock_guard lock(connection_->lock);
    if (connection_->lost()) return std::string("the X server went away");
    Display* display = connection_->display();
    const auto count = rootCardinal(display, "_NET_NUMBER_OF_DESKTOPS");
    const auto current = rootCardinal(display, "_NET_CURRENT_DESKTOP");
    if (!count || !current) return std::string("no window manager publishes its desktops");
    if (*count < 2) return std::string("the window manager has one desktop");
    const long target = ((*current + delta) % *count + *count) % *count;
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = DefaultRootWindow(display);
    event.xclient.message_type = XInternAtom(display, "_NET_CURRENT_DESKTOP", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = target;
    event.xclient.data.l[1] = CurrentTime;
    const int error = x11::trapErrors(display, [&] {
        XSendEvent(display, DefaultRootWindow(display), False, SubstructureNotifyMask | SubstructureRedirectMask,
                   &event);
    });
    if (error != 0) return std::string("the X server refused the desktop request");
    return std::nullopt;
}

std::optional<std::string> X11SessionDesktop::lockSession() {
    DBusError error;
    dbus_error_init(&error);
    DBusConnection* bus = dbus_bus_get_private(DBUS_BUS_SYSTEM, &error);
    if (!bus) {
        std::string text = "no system bus (" + std::string(error.message ? error.message : "unknown error") + ")";
        dbus_error_free(&error);
        return text;
    }
    dbus_connection_set_exit_on_disconnect(bus, false);
    DBusMessage* call = dbus_message_new_method_call("org.freedesktop.login1", "/org/freedesktop/login1",
                                                     "org.freedesktop.login1.Manager", "LockSession");
    // An empty id is the caller's own session.
    const char* env = std::getenv("XDG_SESSION_ID");
    const char* session = env ? env : "";
    dbus_message_append_args(call, DBUS_TYPE_STRING, &session, DBUS_TYPE_INVALID);
    DBusMessage* reply = dbus_connection_send_with_reply_and_block(bus, call, 5000, &error);
    dbus_message_unref(call);
    std::optional<std::string> result;
    if (!reply) {
        result = "logind did not lock the session (" + std::string(error.message ? error.message : "no answer") + ")";
    } else {
        dbus_message_unref(reply);
    }
    dbus_error_free(&error);
    dbus_connection_close(bus);
    dbus_connection_unref(bus);
    return result;
}

std::int32_t X11SessionDesktop::declareUserActivity(const std::string&) {
    std::lock_guard lock(connection_->lock);
    if (connection_->lost()) return -1;
    Display* display = connection_->display();
    x11::trapErrors(display, [&] {
        XResetScreenSaver(display);
        XForceScreenSaver(display, ScreenSaverReset);
        if (hasDPMS_) DPMSForceLevel(display, DPMSModeOn);
    });
    return connection_->lost() ? -1 : 0;
}

bool X11SessionDesktop::screensSleeping() {
    std::lock_guard lock(connection_->lock);
    if (connection_->lost()) return false;
    return sleepingNow(connection_->display(), hasSaver_, hasDPMS_);
}

void X11SessionDesktop::watchScreenSleep(std::function<void(bool sleeping)> handler) {
    {
        std::lock_guard lock(handlerMutex_);
        if (handler_ || watcher_.joinable()) return;
        handler_ = std::move(handler);
    }
    auto events = x11::Connection::open(connection_->name());
    if (!events || ::pipe(wakePipe_) != 0) return;
    // Changes are counted from the state at this call, not from when the thread gets going.
    const bool initial = screensSleeping();
    watcher_ = std::thread([this, events, initial] { watch(events, initial); });
}

void X11SessionDesktop::watch(std::shared_ptr<x11::Connection> events, bool sleeping) {
    Display* display = events->display();
    if (hasSaver_) XScreenSaverSelectInput(display, DefaultRootWindow(display), ScreenSaverNotifyMask);
    XSync(display, False);
    pollfd fds[2] = {{ConnectionNumber(display), POLLIN, 0}, {wakePipe_[0], POLLIN, 0}};
    while (!stopping_ && !events->lost()) {
        while (!events->lost() && XPending(display) > 0) {
            XEvent event;
            XNextEvent(display, &event);
        }
        if (events->lost()) return;
        const bool now = sleepingNow(display, hasSaver_, hasDPMS_);
        if (now != sleeping) {
            sleeping = now;
            std::function<void(bool)> handler;
            {
                std::lock_guard lock(handlerMutex_);
                handler = handler_;
            }
            if (handler) handler(now);
        }
        fds[0].revents = fds[1].revents = 0;
        // DPMS changes come without an event: look again every second.
        if (::poll(fds, 2, 1000) < 0) continue;
        if (fds[1].revents) return;
        if (fds[0].revents & (POLLERR | POLLHUP)) {
            XPending(display);  // lets Xlib notice and mark the connection lost
            return;
        }
    }
}

}  // namespace qm
