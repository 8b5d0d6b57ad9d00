#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "Platform/Displays.h"
#include "Platform/Linux/X11Connection.h"

namespace qm {

// The displays of an X server through RandR.
//
// Each output that is connected or drives a CRTC is a display, under its output id (stable for
// the server's life): bounds from its CRTC in root-window coordinates, its modes with their
// refresh rates, the CRTC's mode as the current one, its size in millimetres, built-in for
// eDP/LVDS/DSI panels, in a mirror set when it shares its CRTC. The primary output is the main
// display (else the first active one). RandR monitors that name no output (virtual displays) are
// displays too, under `virtualDisplayIDBit` | the monitor name's atom. X has no point/pixel
// split: every mode has one pixel per point.
//
// A completed configuration grabs the server, switches off the CRTCs that change or no longer
// fit, sets the new screen size (the union of every CRTC and virtual monitor), sets the CRTCs and
// ungrabs; if the server refuses a step the previous configuration is put back. Cancelling drops
// the staged changes untouched. Observers hear of every RandR screen, CRTC or output change (one
// notice per burst of events), read on a connection and thread of the service's own.
class X11DisplayService final : public DisplayService, public std::enable_shared_from_this<X11DisplayService> {
public:
    static constexpr DisplayID virtualDisplayIDBit = 0x80000000u;

    // Nothing when no server answers at `name` (else $DISPLAY) or it lacks RandR 1.2.
    static std::shared_ptr<X11DisplayService> open(const std::string& name = {});
    ~X11DisplayService() override;

    std::vector<DisplayInfo> onlineDisplays() const override;
    DisplayID mainDisplayID() const override;

    DisplayError beginDisplayConfiguration(DisplayConfigurationRef& configuration) override;
    DisplayError configureDisplayWithDisplayMode(DisplayConfigurationRef configuration, DisplayID displayID,
                                                 const DisplayMode& mode) override;
    DisplayError configureDisplayMirrorOfDisplay(DisplayConfigurationRef configuration, DisplayID displayID,
                                                 DisplayID primaryDisplayID) override;
    DisplayError configureDisplayOrigin(DisplayConfigurationRef configuration, DisplayID displayID, std::int32_t x,
                                        std::int32_t y) override;
    DisplayError completeDisplayConfiguration(DisplayConfigurationRef configuration,
                                              DisplayConfigureOption option) override;
    DisplayError cancelDisplayConfiguration(DisplayConfigurationRef configuration) override;
    DisplayError setDisplayMode(DisplayID displayID, const DisplayMode& mode) override;
    ScreenParametersObserverToken addScreenParametersObserver(DispatchQueuePtr queue,
                                                              std::function<void()> handler) override;
    void removeScreenParametersObserver(ScreenParametersObserverToken token) override;

    // ---- Virtual monitors (the virtual display factory's side) ----
    // Whether the server defines monitors (RandR 1.5).
    bool supportsMonitors() const { return supportsMonitors_; }
    // A new id for a virtual display, from a monitor name of its own; 0 when none can be made.
    DisplayID reserveVirtualDisplayID(const std::string& name);
    // Enlarges the screen to the right by the first mode's size and defines the monitor there.
    // False (nothing changed) when the server refuses or the screen cannot grow that far.
    bool addVirtualMonitor(DisplayID displayID, std::vector<DisplayMode> modes, Size millimeters);
    // Deletes the monitor and gives back the room it took.
    void removeVirtualMonitor(DisplayID displayID);

    // The connection's name (for captures that open their own).
    const std::string& serverName() const { return connection_->name(); }
    // Moves on at every change the service sees, its own or the server's.
    std::uint64_t changeGeneration() const { return observers_->generation.load(); }

private:
    struct Staged {
        std::map<DisplayID, DisplayMode> modes;
        std::map<DisplayID, DisplayID> mirrors;
        std::map<DisplayID, Point> origins;
    };
    struct VirtualMonitor {
        unsigned long atom = 0;
        std::vector<DisplayMode> modes;
        DisplayMode current;
        Size millimeters;
        bool defined = false;
        std::int64_t x = 0, y = 0;
    };
    struct Observer {
        DispatchQueuePtr queue;
        std::function<void()> handler;
    };
    // What the event thread needs, shared with it so that it never holds the service itself: the
    // service's destructor joins that thread, so the thread must never be the one to run it.
    struct Observers {
        std::mutex mutex;
        std::map<ScreenParametersObserverToken, Observer> byToken;
        ScreenParametersObserverToken next = 1;
        std::atomic<std::uint64_t> generation{0};
        void notify();
    };

    explicit X11DisplayService(std::shared_ptr<x11::Connection> connection, bool supportsMonitors);
    std::vector<DisplayInfo> listLocked() const;
    DisplayError applyLocked(const Staged& staged);
    bool fitScreenLocked(std::int64_t extraWidth, std::int64_t extraHeight, bool grow);
    bool defineMonitorLocked(const VirtualMonitor& monitor);
    DisplayError setVirtualModeLocked(DisplayID displayID, const DisplayMode& mode);
    void notifyObservers();

    std::shared_ptr<x11::Connection> connection_;
    const bool supportsMonitors_;

    mutable std::mutex stateMutex_;  // after the connection's lock when both are held
    std::map<DisplayConfigurationRef, Staged> staged_;
    DisplayConfigurationRef nextConfiguration_ = 1;
    std::map<DisplayID, VirtualMonitor> virtualMonitors_;
    std::optional<std::pair<std::int64_t, std::int64_t>> sizeBeforeVirtual_;
    std::uint64_t nextVirtualName_ = 1;

    std::shared_ptr<Observers> observers_ = std::make_shared<Observers>();

    int wakePipe_[2] = {-1, -1};
    std::thread eventThread_;
};

}  // namespace qm
