#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "Platform/Linux/X11Connection.h"
#include "Platform/SessionDesktop.h"
#include "Platform/UserActivity.h"

namespace qm {

// The desktop session of an X server.
//
// - Workspaces: the window manager's EWMH desktops. Switching sends the root window the
//   _NET_CURRENT_DESKTOP client message a pager sends; without a window manager that publishes
//   _NET_NUMBER_OF_DESKTOPS (or with one desktop) it fails, and nothing is posted to the focused
//   application instead.
// - Lock: logind's LockSession for the session the Host runs in (XDG_SESSION_ID, else the
//   caller's own session), which asks the session's locker to lock; it fails without logind.
// - User activity (waking the screens): resets the screen saver and forces DPMS on where the
//   server has DPMS.
// - Screen sleep: the screen saver's on/off notices (MIT-SCREEN-SAVER) and the DPMS power level
//   (read every second; DPMS has no notices), reported on a thread of the service's own.
class X11SessionDesktop final : public SessionDesktop, public UserActivityService {
public:
    // Nothing when no server answers at `name` (else $DISPLAY).
    static std::shared_ptr<X11SessionDesktop> open(const std::string& name = {});
    ~X11SessionDesktop() override;

    std::optional<std::string> switchDesktop(int delta) override;
    std::optional<std::string> lockSession() override;
    void watchScreenSleep(std::function<void(bool sleeping)> handler) override;
    // 0 on success; -1 when the X server is gone.
    std::int32_t declareUserActivity(const std::string& name) override;

    // Whether the screens sleep now: the saver is on, or DPMS is in standby, suspend or off.
    bool screensSleeping();

private:
    explicit X11SessionDesktop(std::shared_ptr<x11::Connection> connection);
    void watch(std::shared_ptr<x11::Connection> events, bool sleeping);

    std::shared_ptr<x11::Connection> connection_;
    bool hasDPMS_ = false;
    bool hasSaver_ = false;
    int saverEventBase_ = 0;
    std::mutex handlerMutex_;
    std::function<void(bool)> handler_;
    std::atomic<bool> stopping_{false};
    int wakePipe_[2] = {-1, -1};
    std::thread watcher_;
};

}  // namespace qm
