#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "Platform/Core/Clock.h"
#include "Platform/Core/DispatchQueue.h"

namespace qm {

class NetworkService;
class DNSServiceAdvertiser;
class AccountService;
class DisplayService;
class ScreenCaptureService;
class VirtualDisplayFactory;
class EventPoster;
class AccessibilityService;
class UserActivityService;
class WorkspaceService;
class ToolRunner;
class AudioCaptureService;
class AudioOutputDevices;
class ScreenCaptureAccess;
class PowerAssertionService;
class SessionDesktop;
class DragPasteboard;

// Every operating-system service the server and the application use, handed to them at
// construction. `main` builds the real one; tests build one from simulations and manual queues.
struct HostPlatform {
    std::shared_ptr<const Clock> clock;
    // Makes a named serial queue (a thread of its own in production, a manual queue in tests).
    std::function<DispatchQueuePtr(const std::string& label)> makeQueue;
    DispatchQueuePtr mainQueue;

    std::shared_ptr<NetworkService> network;
    std::shared_ptr<DNSServiceAdvertiser> dnsService;
    std::shared_ptr<AccountService> accounts;
    std::shared_ptr<DisplayService> displays;
    std::shared_ptr<ScreenCaptureService> screenCapture;
    // Software displays; null where the system offers none.
    std::shared_ptr<VirtualDisplayFactory> virtualDisplays;

    // Remote input. Each may be left empty; the input handlers then use an in-memory stand-in
    // (events recorded, not delivered; Accessibility granted; no applications; no tools).
    std::shared_ptr<EventPoster> eventPoster;
    std::shared_ptr<AccessibilityService> accessibility;
    std::shared_ptr<UserActivityService> userActivity;
    std::shared_ptr<WorkspaceService> workspace;
    std::shared_ptr<ToolRunner> toolRunner;
    // The desktop session's workspaces and lock; empty: desktops are switched with Control+arrow
    // and the screen is locked with its key combination.
    std::shared_ptr<SessionDesktop> sessionDesktop;
    // System audio capture, the output device's mute and volume, and the recording permission.
    // Each may be empty: audio then stays off (capture), or muting reports itself unavailable.
    std::shared_ptr<AudioCaptureService> audioCapture;
    std::shared_ptr<AudioOutputDevices> audioOutputDevices;
    std::shared_ptr<ScreenCaptureAccess> screenCaptureAccess;
    // Keeps the machine awake while Viewers need it; empty: the server counts assertions in memory.
    std::shared_ptr<PowerAssertionService> powerAssertions;
    // The files the Host's user is dragging, offered to Viewers to pull; empty: nothing is ever
    // dragged.
    std::shared_ptr<DragPasteboard> dragPasteboard;

    // Where the Host keeps its own state (identity keys, defaults): $XDG_CONFIG_HOME/quillmere-host.
    std::filesystem::path configDirectory;
};

// The user's config folder for the Host: $XDG_CONFIG_HOME, else ~/.config, then "quillmere-host".
std::filesystem::path defaultConfigDirectory();

}  // namespace qm
