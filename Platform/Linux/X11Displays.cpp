#include "Platform/Linux/X11Displays.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <set>

// Last: Xlib defines macros (None, Bool, Status) that clash with other headers.
#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>

namespace qm {

namespace {

double refreshRateOf(const XRRModeInfo& mode) {
    double lines = mode.vTotal;
    if (mode.modeFlags & RR_DoubleScan) lines *= 2;
    if (mode.modeFlags & RR_Interlace) lines /= 2;
    if (mode.dotClock == 0 || mode.hTotal == 0 || lines <= 0) return 0;
    return std::round(static_cast<double>(mode.dotClock) / (mode.hTotal * lines) * 100.0) / 100.0;
}

const XRRModeInfo* findMode(const XRRScreenResources* resources, RRMode id) {
    for (int i = 0; i < resources->nmode; ++i) {
        if (resources->modes[i].id == id) return &resources->modes[i];
    }
    return nullptr;
}

DisplayMode modeFrom(const XRRModeInfo& info) {
    DisplayMode mode;
    mode.width = mode.pixelWidth = info.width;
    mode.height = mode.pixelHeight = info.height;
    mode.refreshRate = refreshRateOf(info);
    mode.ioDisplayModeID = static_cast<std::int32_t>(info.id);
    mode.ioFlags = static_cast<std::uint32_t>(info.modeFlags);
    return mode;
}

bool isBuiltinName(const char* name) {
    for (const char* prefix : {"eDP", "LVDS", "DSI"}) {
        if (std::strncmp(name, prefix, std::strlen(prefix)) == 0) return true;
    }
    return false;
}

bool rotated(Rotation rotation) {
    return (rotation & (RR_Rotate_90 | RR_Rotate_270)) != 0;
}

// Whether `mode` names one of `candidates`: by its mode id when it has one, else by pixel size and
// (when given) refresh rate.
std::optional<DisplayMode> matchMode(const std::vector<DisplayMode>& candidates, const DisplayMode& mode) {
    for (const auto& candidate : candidates) {
        if (mode.ioDisplayModeID != 0 && candidate.ioDisplayModeID == mode.ioDisplayModeID) return candidate;
    }
    for (const auto& candidate : candidates) {
        if (candidate.effectivePixelWidth() == mode.effectivePixelWidth() &&
            candidate.effectivePixelHeight() == mode.effectivePixelHeight() &&
            (mode.refreshRate <= 0 || std::abs(candidate.refreshRate - mode.refreshRate) < 0.5)) {
            return candidate;
        }
    }
    return std::nullopt;
}

// One CRTC's configuration.
struct CrtcPlan {
    int x = 0, y = 0;
    RRMode mode = 0;
    Rotation rotation = RR_Rotate_0;
    std::vector<RROutput> outputs;
    std::int64_t width = 0, height = 0;  // of the mode, rotation applied
    bool operator==(const CrtcPlan& other) const {
        return x == other.x && y == other.y && mode == other.mode && rotation == other.rotation &&
               outputs == other.outputs;
    }
};

// The root window's size as the server has it now (Xlib's cached screen size lags behind changes
// on connections that do not read RandR events).
std::pair<std::int64_t, std::int64_t> rootSize(Display* display) {
    Window root = 0;
    int x = 0, y = 0;
    unsigned width = 0, height = 0, border = 0, depth = 0;
    if (!XGetGeometry(display, DefaultRootWindow(display), &root, &x, &y, &width, &height, &border, &depth)) {
        return {DisplayWidth(display, DefaultScreen(display)), DisplayHeight(display, DefaultScreen(display))};
    }
    return {width, height};
}

double millimetresPerPixel(Display* display) {
    const int screen = DefaultScreen(display);
    return DisplayWidthMM(display, screen) > 0 && DisplayWidth(display, screen) > 0
               ? static_cast<double>(DisplayWidthMM(display, screen)) / DisplayWidth(display, screen)
               : 25.4 / 96.0;
}

}  // namespace

std::shared_ptr<X11DisplayService> X11DisplayService::open(const std::string& name) {
    auto connection = x11::Connection::open(name);
    if (!connection) return nullptr;
    Display* display = connection->display();
    int eventBase = 0, errorBase = 0, major = 0, minor = 0;
    if (!XRRQueryExtension(display, &eventBase, &errorBase) || !XRRQueryVersion(display, &major, &minor) ||
        (major == 1 && minor < 2)) {
        return nullptr;
    }
    const bool monitors = major > 1 || minor >= 5;
    auto service = std::shared_ptr<X11DisplayService>(new X11DisplayService(std::move(connection), monitors));
    if (::pipe(service->wakePipe_) != 0) return nullptr;
    auto events = x11::Connection::open(service->serverName());
    if (!events) return nullptr;
    // The thread owns its own connection and shares only the observer list with the service.
    service->eventThread_ = std::thread([observers = service->observers_, events, fd = service->wakePipe_[0]] {
        Display* d = events->display();
        XRRSelectInput(d, DefaultRootWindow(d),
                       RRScreenChangeNotifyMask | RRCrtcChangeNotifyMask | RROutputChangeNotifyMask);
        XSync(d, False);
        pollfd fds[2] = {{ConnectionNumber(d), POLLIN, 0}, {fd, POLLIN, 0}};
        for (;;) {
            bool changed = false;
            while (XPending(d) > 0) {
                XEvent event;
                XNextEvent(d, &event);
                XRRUpdateConfiguration(&event);
                changed = true;
            }
            if (changed) observers->notify();
            fds[0].revents = fds[1].revents = 0;
            if (::poll(fds, 2, -1) < 0) continue;
            if (fds[1].revents) return;
            if (fds[0].revents & (POLLERR | POLLHUP)) return;
        }
    });
    return service;
}

X11DisplayService::X11DisplayService(std::shared_ptr<x11::Connection> connection, bool supportsMonitors)
    : connection_(std::move(connection)), supportsMonitors_(supportsMonitors) {}

X11DisplayService::~X11DisplayService() {
    if (wakePipe_[1] >= 0) {
        const char byte = 1;
        [[maybe_unused]] auto written = ::write(wakePipe_[1], &byte, 1);
    }
    if (eventThread_.joinable()) eventThread_.join();
    for (int fd : wakePipe_) {
        if (fd >= 0) ::close(fd);
    }
    // Virtual monitors outlive their clients on the server: take back any still defined.
    std::vector<DisplayID> left;
    {
        std::lock_guard lock(stateMutex_);
        for (auto& [id, monitor] : virtualMonitors_) left.push_back(id);
    }
    for (DisplayID id : left) removeVirtualMonitor(id);
}

std::vector<DisplayInfo> X11DisplayService::onlineDisplays() const {
    std::lock_guard lock(connection_->lock);
    return listLocked();
}

std::vector<DisplayInfo> X11DisplayService::listLocked() const {
    Display* display = connection_->display();
    const Window root = DefaultRootWindow(display);
    std::vector<DisplayInfo> displays;
    XRRScreenResources* resources = XRRGetScreenResourcesCurrent(display, root);
    if (!resources) return displays;

    std::map<RRCrtc, int> outputsPerCrtc;
    std::vector<std::pair<XRROutputInfo*, RROutput>> outputs;
    for (int i = 0; i < resources->noutput; ++i) {
        XRROutputInfo* info = XRRGetOutputInfo(display, resources, resources->outputs[i]);
        if (!info) continue;
        if (info->crtc) ++outputsPerCrtc[info->crtc];
        outputs.emplace_back(info, resources->outputs[i]);
    }
    for (auto& [info, id] : outputs) {
        if (info->connection == RR_Connected || info->crtc) {
            DisplayInfo d;
            d.displayID = static_cast<DisplayID>(id);
            d.isBuiltin = isBuiltinName(info->name);
            d.screenSizeMillimeters = Size{static_cast<double>(info->mm_width), static_cast<double>(info->mm_height)};
            for (int m = 0; m < info->nmode; ++m) {
                if (const auto* mode = findMode(resources, info->modes[m])) d.modes.push_back(modeFrom(*mode));
            }
            d.isActive = false;
            if (info->crtc) {
                if (XRRCrtcInfo* crtc = XRRGetCrtcInfo(display, resources, info->crtc)) {
                    if (crtc->mode) {
                        d.isActive = true;
                        d.bounds = Rect(crtc->x, crtc->y, crtc->width, crtc->height);
                        if (const auto* mode = findMode(resources, crtc->mode)) {
                            d.currentMode = modeFrom(*mode);
                            if (rotated(crtc->rotation)) {
                                std::swap(d.currentMode->width, d.currentMode->height);
                                std::swap(d.currentMode->pixelWidth, d.currentMode->pixelHeight);
                            }
                        }
                    }
                    XRRFreeCrtcInfo(crtc);
                }
                d.isInMirrorSet = outputsPerCrtc[info->crtc] > 1;
            }
            displays.push_back(std::move(d));
        }
        XRRFreeOutputInfo(info);
    }
    XRRFreeScreenResources(resources);

    if (supportsMonitors_) {
        std::lock_guard state(stateMutex_);
        int count = 0;
        XRRMonitorInfo* monitors = XRRGetMonitors(display, root, False, &count);
        for (int i = 0; i < count; ++i) {
            const auto& monitor = monitors[i];
            if (monitor.noutput != 0) continue;
            DisplayInfo d;
            d.displayID = virtualDisplayIDBit | static_cast<DisplayID>(monitor.name);
            d.bounds = Rect(monitor.x, monitor.y, monitor.width, monitor.height);
            d.screenSizeMillimeters = Size{static_cast<double>(monitor.mwidth), static_cast<double>(monitor.mheight)};
            DisplayMode current;
            current.width = current.pixelWidth = monitor.width;
            current.height = current.pixelHeight = monitor.height;
            if (auto it = virtualMonitors_.find(d.displayID); it != virtualMonitors_.end()) {
                d.modes = it->second.modes;
                if (auto known = matchMode(d.modes, current)) current = *known;
            } else {
                current.ioDisplayModeID = 1;
                d.modes = {current};
            }
            d.currentMode = current;
            displays.push_back(std::move(d));
        }
        if (monitors) XRRFreeMonitors(monitors);
    }
    return displays;
}

DisplayID X11DisplayService::mainDisplayID() const {
    std::lock_guard lock(connection_->lock);
    Display* display = connection_->display();
    const RROutput primary = XRRGetOutputPrimary(display, DefaultRootWindow(display));
    const auto displays = listLocked();
    for (const auto& d : displays) {
        if (d.isActive && d.displayID == static_cast<DisplayID>(primary)) return d.displayID;
    }
    for (const auto& d : displays) {
        if (d.isActive) return d.displayID;
    }
    return displays.empty() ? 0 : displays.front().displayID;
}

DisplayError X11DisplayService::beginDisplayConfiguration(DisplayConfigurationRef& configuration) {
    std::lock_guard lock(stateMutex_);
    configuration = nextConfiguration_++;
    staged_[configuration] = Staged{};
    return displayErrorSuccess;
}

DisplayError X11DisplayService::configureDisplayWithDisplayMode(DisplayConfigurationRef configuration,
                                                                DisplayID displayID, const DisplayMode& mode) {
    const auto info = display(displayID);
    if (!info) return displayErrorIllegalArgument;
    const auto matched = matchMode(info->modes, mode);
    if (!matched) return displayErrorIllegalArgument;
    std::lock_guard lock(stateMutex_);
    auto it = staged_.find(configuration);
    if (it == staged_.end()) return displayErrorIllegalArgument;
    it->second.modes[displayID] = *matched;
    return displayErrorSuccess;
}

DisplayError X11DisplayService::configureDisplayMirrorOfDisplay(DisplayConfigurationRef configuration,
                                                                DisplayID displayID, DisplayID primaryDisplayID) {
    if ((displayID & virtualDisplayIDBit) || (primaryDisplayID & virtualDisplayIDBit) || !display(displayID) ||
        (primaryDisplayID != 0 && !display(primaryDisplayID))) {
        return displayErrorIllegalArgument;
    }
    std::lock_guard lock(stateMutex_);
    auto it = staged_.find(configuration);
    if (it == staged_.end()) return displayErrorIllegalArgument;
    it->second.mirrors[displayID] = primaryDisplayID;
    return displayErrorSuccess;
}

DisplayError X11DisplayService::configureDisplayOrigin(DisplayConfigurationRef configuration, DisplayID displayID,
                                                       std::int32_t x, std::int32_t y) {
    if ((displayID & virtualDisplayIDBit) || !display(displayID) || x < 0 || y < 0) return displayErrorIllegalArgument;
    std::lock_guard lock(stateMutex_);
    auto it = staged_.find(configuration);
    if (it == staged_.end()) return displayErrorIllegalArgument;
    it->second.origins[displayID] = Point{static_cast<double>(x), static_cast<double>(y)};
    return displayErrorSuccess;
}

DisplayError X11DisplayService::cancelDisplayConfiguration(DisplayConfigurationRef configuration) {
    std::lock_guard lock(stateMutex_);
    return staged_.erase(configuration) ? displayErrorSuccess : displayErrorIllegalArgument;
}

DisplayError X11DisplayService::completeDisplayConfiguration(DisplayConfigurationRef configuration,
                                                             DisplayConfigureOption) {
    Staged staged;
    {
        std::lock_guard lock(stateMutex_);
        auto it = staged_.find(configuration);
        if (it == staged_.end()) return displayErrorIllegalArgument;
        staged = std::move(it->second);
        staged_.erase(it);
    }
    DisplayError error = displayErrorSuccess;
    {
        std::lock_guard lock(connection_->lock);
        // Virtual displays change by redefining their monitor; outputs through their CRTCs.
        for (auto it = staged.modes.begin(); it != staged.modes.end();) {
            if (it->first & virtualDisplayIDBit) {
                if (const auto e = setVirtualModeLocked(it->first, it->second)) error = e;
                it = staged.modes.erase(it);
            } else {
                ++it;
            }
        }
        if (!error) error = applyLocked(staged);
    }
    ++observers_->generation;
    notifyObservers();
    return error;
}

DisplayError X11DisplayService::setDisplayMode(DisplayID displayID, const DisplayMode& mode) {
    DisplayConfigurationRef configuration = 0;
    beginDisplayConfiguration(configuration);
    if (const auto error = configureDisplayWithDisplayMode(configuration, displayID, mode)) {
        cancelDisplayConfiguration(configuration);
        return error;
    }
    return completeDisplayConfiguration(configuration, DisplayConfigureOption::forSession);
}

DisplayError X11DisplayService::applyLocked(const Staged& staged) {
    if (staged.modes.empty() && staged.mirrors.empty() && staged.origins.empty()) return displayErrorSuccess;
    Display* display = connection_->display();
    const Window root = DefaultRootWindow(display);
    XRRScreenResources* resources = XRRGetScreenResourcesCurrent(display, root);
    if (!resources) return displayErrorFailure;
    struct Cleanup {
        XRRScreenResources* r;
        ~Cleanup() { XRRFreeScreenResources(r); }
    } cleanup{resources};

    // The configuration now, and the output facts the plan needs.
    std::map<RRCrtc, CrtcPlan> before;
    for (int i = 0; i < resources->ncrtc; ++i) {
        XRRCrtcInfo* crtc = XRRGetCrtcInfo(display, resources, resources->crtcs[i]);
        if (!crtc) continue;
        CrtcPlan plan;
        if (crtc->mode) {
            plan = CrtcPlan{crtc->x, crtc->y, crtc->mode, crtc->rotation,
                            std::vector<RROutput>(crtc->outputs, crtc->outputs + crtc->noutput),
                            static_cast<std::int64_t>(crtc->width), static_cast<std::int64_t>(crtc->height)};
        }
        before[resources->crtcs[i]] = plan;
        XRRFreeCrtcInfo(crtc);
    }
    struct OutputFacts {
        RRCrtc crtc = 0;
        std::vector<RRCrtc> possible;
        std::vector<RRMode> modes;
        RRMode preferred = 0;
    };
    std::map<RROutput, OutputFacts> outputs;
    for (int i = 0; i < resources->noutput; ++i) {
        XRROutputInfo* info = XRRGetOutputInfo(display, resources, resources->outputs[i]);
        if (!info) continue;
        OutputFacts facts;
        facts.crtc = info->crtc;
        facts.possible.assign(info->crtcs, info->crtcs + info->ncrtc);
        facts.modes.assign(info->modes, info->modes + info->nmode);
        if (info->nmode > 0) facts.preferred = info->modes[std::max(0, info->npreferred - 1)];
        outputs[resources->outputs[i]] = facts;
        XRRFreeOutputInfo(info);
    }

    auto plans = before;
    auto sizeOf = [&](CrtcPlan& plan) {
        const XRRModeInfo* mode = findMode(resources, plan.mode);
        if (!mode) return false;
        plan.width = rotated(plan.rotation) ? mode->height : mode->width;
        plan.height = rotated(plan.rotation) ? mode->width : mode->height;
        return true;
    };
    auto crtcOf = [&](RROutput output) -> RRCrtc {
        for (auto& [crtc, plan] : plans) {
            if (std::find(plan.outputs.begin(), plan.outputs.end(), output) != plan.outputs.end()) return crtc;
        }
        return 0;
    };
    auto freeCrtcFor = [&](RROutput output) -> RRCrtc {
        for (RRCrtc crtc : outputs[output].possible) {
            if (plans[crtc].outputs.empty()) return crtc;
        }
        return 0;
    };
    auto detach = [&](RROutput output) {
        if (RRCrtc crtc = crtcOf(output)) {
            auto& list = plans[crtc].outputs;
            list.erase(std::remove(list.begin(), list.end(), output), list.end());
            if (list.empty()) plans[crtc] = CrtcPlan{};
        }
    };
    auto rightEdge = [&] {
        std::int64_t right = 0;
        for (auto& [crtc, plan] : plans) {
            if (plan.mode) right = std::max<std::int64_t>(right, plan.x + plan.width);
        }
        return right;
    };

    for (auto [displayID, primaryID] : staged.mirrors) {
        const RROutput output = displayID;
        if (!outputs.count(output)) return displayErrorIllegalArgument;
        if (primaryID == 0) {
            const RRCrtc shared = crtcOf(output);
            if (!shared || plans[shared].outputs.size() < 2) continue;
            const RRMode mode = plans[shared].mode;
            detach(output);
            const RRCrtc own = freeCrtcFor(output);
            if (!own) return displayErrorIllegalArgument;
            CrtcPlan plan;
            plan.mode = std::find(outputs[output].modes.begin(), outputs[output].modes.end(), mode) !=
                                outputs[output].modes.end()
                            ? mode
                            : outputs[output].preferred;
            plan.outputs = {output};
            if (!sizeOf(plan)) return displayErrorIllegalArgument;
            plan.x = static_cast<int>(rightEdge());
            plans[own] = plan;
        } else {
            const RRCrtc target = crtcOf(primaryID);
            const auto& possible = outputs[output].possible;
            if (!target || std::find(possible.begin(), possible.end(), target) == possible.end()) {
                return displayErrorIllegalArgument;
            }
            const auto& modes = outputs[output].modes;
            if (std::find(modes.begin(), modes.end(), plans[target].mode) == modes.end()) {
                return displayErrorIllegalArgument;
            }
            detach(output);
            plans[target].outputs.push_back(output);
        }
    }
    for (auto& [displayID, mode] : staged.modes) {
        const RROutput output = displayID;
        if (!outputs.count(output)) return displayErrorIllegalArgument;
        RRCrtc crtc = crtcOf(output);
        if (!crtc) {
            crtc = freeCrtcFor(output);
            if (!crtc) return displayErrorIllegalArgument;
            plans[crtc].outputs = {output};
            plans[crtc].x = static_cast<int>(rightEdge());
        }
        plans[crtc].mode = static_cast<RRMode>(mode.ioDisplayModeID);
        if (!sizeOf(plans[crtc])) return displayErrorIllegalArgument;
    }
    for (auto& [displayID, origin] : staged.origins) {
        const RRCrtc crtc = crtcOf(displayID);
        if (!crtc) return displayErrorIllegalArgument;
        plans[crtc].x = static_cast<int>(origin.x);
        plans[crtc].y = static_cast<int>(origin.y);
    }

    // The screen holds every CRTC and every virtual monitor.
    std::int64_t width = 1, height = 1;
    for (auto& [crtc, plan] : plans) {
        if (!plan.mode) continue;
        width = std::max<std::int64_t>(width, plan.x + plan.width);
        height = std::max<std::int64_t>(height, plan.y + plan.height);
    }
    {
        std::lock_guard state(stateMutex_);
        for (auto& [id, monitor] : virtualMonitors_) {
            if (!monitor.defined) continue;
            width = std::max(width, monitor.x + monitor.current.width);
            height = std::max(height, monitor.y + monitor.current.height);
        }
    }
    int minW = 0, minH = 0, maxW = 0, maxH = 0;
    XRRGetScreenSizeRange(display, root, &minW, &minH, &maxW, &maxH);
    width = std::max<std::int64_t>(width, minW);
    height = std::max<std::int64_t>(height, minH);
    if (width > maxW || height > maxH) return displayErrorIllegalArgument;

    const auto [oldWidth, oldHeight] = rootSize(display);
    const double mmPerPixel = millimetresPerPixel(display);
    auto setCrtc = [&](RRCrtc crtc, const CrtcPlan& plan) {
        XRRSetCrtcConfig(display, resources, crtc, CurrentTime, plan.x, plan.y, plan.mode, plan.rotation,
                         plan.outputs.empty() ? nullptr : const_cast<RROutput*>(plan.outputs.data()),
                         static_cast<int>(plan.outputs.size()));
    };
    auto setScreen = [&](std::int64_t w, std::int64_t h) {
        XRRSetScreenSize(display, root, static_cast<int>(w), static_cast<int>(h),
                         static_cast<int>(std::lround(static_cast<double>(w) * mmPerPixel)),
                         static_cast<int>(std::lround(static_cast<double>(h) * mmPerPixel)));
    };
    // Off first what changes or would not fit, then the screen size, then on what is new.
    auto apply = [&](const std::map<RRCrtc, CrtcPlan>& from, const std::map<RRCrtc, CrtcPlan>& to, std::int64_t w,
                     std::int64_t h, std::int64_t currentW, std::int64_t currentH) {
        return x11::trapErrors(display, [&] {
            XGrabServer(display);
            std::set<RRCrtc> switchedOff;
            for (auto& [crtc, plan] : from) {
                const bool fits = plan.x + plan.width <= w && plan.y + plan.height <= h;
                if (plan.mode && (!(to.at(crtc) == plan) || !fits)) {
                    setCrtc(crtc, CrtcPlan{});
                    switchedOff.insert(crtc);
                }
            }
            if (w != currentW || h != currentH) setScreen(w, h);
            for (auto& [crtc, plan] : to) {
                if (plan.mode && (switchedOff.count(crtc) || !from.at(crtc).mode)) setCrtc(crtc, plan);
            }
            XUngrabServer(display);
        });
    };
    if (apply(before, plans, width, height, oldWidth, oldHeight) != 0) {
        // Put back what was there, from whatever part of the change the server took.
        apply(plans, before, oldWidth, oldHeight, width, height);
        return displayErrorFailure;
    }
    return displayErrorSuccess;
}

ScreenParametersObserverToken X11DisplayService::addScreenParametersObserver(DispatchQueuePtr queue,
                                                                             std::function<void()> handler) {
    std::lock_guard lock(observers_->mutex);
    const auto token = observers_->next++;
    observers_->byToken[token] = Observer{std::move(queue), std::move(handler)};
    return token;
}

void X11DisplayService::removeScreenParametersObserver(ScreenParametersObserverToken token) {
    std::lock_guard lock(observers_->mutex);
    observers_->byToken.erase(token);
}

void X11DisplayService::notifyObservers() {
    observers_->notify();
}

void X11DisplayService::Observers::notify() {
    ++generation;
    std::vector<Observer> targets;
    {
        std::lock_guard lock(mutex);
        for (auto& [token, observer] : byToken) targets.push_back(observer);
    }
    for (auto& observer : targets) {
        if (observer.queue) observer.queue->async(observer.handler);
    }
}

// ---- Virtual monitors ----

DisplayID X11DisplayService::reserveVirtualDisplayID(const std::string& name) {
    if (!supportsMonitors_) return 0;
    std::string atomName;
    {
        std::lock_guard state(stateMutex_);
        atomName = "QM-" + name + "-" + std::to_string(::getpid()) + "-" + std::to_string(nextVirtualName_++);
    }
    std::lock_guard lock(connection_->lock);
    const Atom atom = XInternAtom(connection_->display(), atomName.c_str(), False);
    if (atom == 0 || atom >= virtualDisplayIDBit) return 0;
    const DisplayID id = virtualDisplayIDBit | static_cast<DisplayID>(atom);
    std::lock_guard state(stateMutex_);
    virtualMonitors_[id].atom = atom;
    return id;
}

bool X11DisplayService::defineMonitorLocked(const VirtualMonitor& monitor) {
    Display* display = connection_->display();
    XRRMonitorInfo* info = XRRAllocateMonitor(display, 0);
    if (!info) return false;
    info->name = monitor.atom;
    info->primary = False;
    info->automatic = False;
    info->x = static_cast<int>(monitor.x);
    info->y = static_cast<int>(monitor.y);
    info->width = static_cast<int>(monitor.current.width);
    info->height = static_cast<int>(monitor.current.height);
    info->mwidth = static_cast<int>(std::lround(monitor.millimeters.width));
    info->mheight = static_cast<int>(std::lround(monitor.millimeters.height));
    const int error = x11::trapErrors(display, [&] { XRRSetMonitor(display, DefaultRootWindow(display), info); });
    XRRFreeMonitors(info);
    return error == 0;
}

// Grows the screen to hold `extraWidth` x `extraHeight` to the right of it (grow), or brings it
// back to what the CRTCs and remaining monitors need (never below the size it had before the
// first virtual monitor).
bool X11DisplayService::fitScreenLocked(std::int64_t extraWidth, std::int64_t extraHeight, bool grow) {
    Display* display = connection_->display();
    const Window root = DefaultRootWindow(display);
    XRRScreenResources* resources = XRRGetScreenResourcesCurrent(display, root);
    if (!resources) return false;
    std::int64_t needW = 1, needH = 1;
    for (int i = 0; i < resources->ncrtc; ++i) {
        if (XRRCrtcInfo* crtc = XRRGetCrtcInfo(display, resources, resources->crtcs[i])) {
            if (crtc->mode) {
                needW = std::max<std::int64_t>(needW, crtc->x + static_cast<std::int64_t>(crtc->width));
                needH = std::max<std::int64_t>(needH, crtc->y + static_cast<std::int64_t>(crtc->height));
            }
            XRRFreeCrtcInfo(crtc);
        }
    }
    XRRFreeScreenResources(resources);
    const auto [currentW, currentH] = rootSize(display);
    std::int64_t width = 0, height = 0;
    {
        std::lock_guard state(stateMutex_);
        if (grow) {
            if (!sizeBeforeVirtual_) sizeBeforeVirtual_ = std::pair{currentW, currentH};
            width = currentW + extraWidth;
            height = std::max(currentH, extraHeight);
        } else {
            const auto base = sizeBeforeVirtual_.value_or(std::pair{needW, needH});
            width = std::max(needW, base.first);
            height = std::max(needH, base.second);
            for (auto& [id, monitor] : virtualMonitors_) {
                if (!monitor.defined) continue;
                width = std::max(width, monitor.x + monitor.current.width);
                height = std::max(height, monitor.y + monitor.current.height);
            }
            if (std::none_of(virtualMonitors_.begin(), virtualMonitors_.end(),
                             [](auto& entry) { return entry.second.defined; })) {
                sizeBeforeVirtual_.reset();
            }
        }
    }
    int minW = 0, minH = 0, maxW = 0, maxH = 0;
    XRRGetScreenSizeRange(display, root, &minW, &minH, &maxW, &maxH);
    if (width > maxW || height > maxH || width < minW || height < minH) return false;
    if (width == currentW && height == currentH) return true;
    const double mmPerPixel = millimetresPerPixel(display);
    return x11::trapErrors(display, [&] {
               XRRSetScreenSize(display, root, static_cast<int>(width), static_cast<int>(height),
                                static_cast<int>(std::lround(static_cast<double>(width) * mmPerPixel)),
                                static_cast<int>(std::lround(static_cast<double>(height) * mmPerPixel)));
           }) == 0;
}

bool X11DisplayService::addVirtualMonitor(DisplayID displayID, std::vector<DisplayMode> modes, Size millimeters) {
    if (modes.empty()) return false;
    bool added = false;
    {
        std::lock_guard lock(connection_->lock);
        VirtualMonitor monitor;
        {
            std::lock_guard state(stateMutex_);
            auto it = virtualMonitors_.find(displayID);
            if (it == virtualMonitors_.end() || it->second.defined) return false;
            monitor = it->second;
        }
        monitor.modes = std::move(modes);
        monitor.current = monitor.modes.front();
        monitor.millimeters = millimeters;
        monitor.x = rootSize(connection_->display()).first;
        monitor.y = 0;
        if (!fitScreenLocked(monitor.current.width, monitor.current.height, true)) {
            fitScreenLocked(0, 0, false);
            return false;
        }
        if (!defineMonitorLocked(monitor)) {
            fitScreenLocked(0, 0, false);
            return false;
        }
        monitor.defined = true;
        std::lock_guard state(stateMutex_);
        virtualMonitors_[displayID] = monitor;
        added = true;
    }
    if (added) notifyObservers();
    return added;
}

void X11DisplayService::removeVirtualMonitor(DisplayID displayID) {
    {
        std::lock_guard lock(connection_->lock);
        VirtualMonitor monitor;
        {
            std::lock_guard state(stateMutex_);
            auto it = virtualMonitors_.find(displayID);
            if (it == virtualMonitors_.end()) return;
            monitor = it->second;
            virtualMonitors_.erase(it);
        }
        if (!monitor.defined) return;
        Display* display = connection_->display();
        x11::trapErrors(display, [&] { XRRDeleteMonitor(display, DefaultRootWindow(display), monitor.atom); });
        fitScreenLocked(0, 0, false);
    }
    notifyObservers();
}

DisplayError X11DisplayService::setVirtualModeLocked(DisplayID displayID, const DisplayMode& mode) {
    VirtualMonitor monitor;
    {
        std::lock_guard state(stateMutex_);
        auto it = virtualMonitors_.find(displayID);
        if (it == virtualMonitors_.end() || !it->second.defined) return displayErrorIllegalArgument;
        monitor = it->second;
    }
    const auto matched = matchMode(monitor.modes, mode);
    if (!matched) return displayErrorIllegalArgument;
    const auto previous = monitor.current;
    monitor.current = *matched;
    {
        std::lock_guard state(stateMutex_);
        virtualMonitors_[displayID].current = monitor.current;
    }
    // The screen must hold the monitor at its new size before the monitor is redefined.
    if (!fitScreenLocked(0, 0, false) || !defineMonitorLocked(monitor)) {
        std::lock_guard state(stateMutex_);
        virtualMonitors_[displayID].current = previous;
        return displayErrorFailure;
    }
    return displayErrorSuccess;
}

}  // namespace qm
