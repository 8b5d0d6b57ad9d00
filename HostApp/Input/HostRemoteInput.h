#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "HostApp/Input/HostEventPosting.h"
#include "HostApp/Input/HostInputState.h"
#include "Platform/Accessibility.h"
#include "Platform/Core/DispatchQueue.h"
#include "Platform/Displays.h"
#include "Platform/HostPlatform.h"
#include "Platform/InputEvents.h"
#include "Platform/ToolRunner.h"
#include "Platform/Core/UUID.h"
#include "Platform/UserActivity.h"
#include "Platform/Workspace.h"
#include "QuillmereProfiles/AuxProtocol.h"
#include "Platform/HostConsoleSessionState.h"
#include "QuillmereProfiles/InputPayloads.h"

namespace qm {

class HostVideoCapture;

// How the Launchpad request was carried out, first success wins.
enum class LaunchpadActivationResult {
    dockPrivateToggle,
    dockTilePress,
    bundleIdentifierActivation,
    systemKey,
    openApplicationFallback,
    appleScriptFallback,
    failed,
};

// Fixed values of the Launchpad chain; tests point the Dock library elsewhere.
struct RemoteInputConfiguration {
    std::string dockExecutablePath = "/System/Library/CoreServices/Dock.app/Contents/MacOS/Dock";
    std::string openToolPath = "/usr/bin/open";
    std::string appleScriptToolPath = "/usr/bin/osascript";
    // How long a helper tool may run before it is killed and counted as failed.
    std::chrono::milliseconds toolTimeout{5000};
    // How long an application open through the workspace may take.
    double workspaceOpenTimeout = 2.0;
};

// Remote input: a Viewer's pointer, gesture, key, raw-key, system-key and host-shortcut packets
// turned into events and actions on the Host. The server owns one, calls it only on its own
// queue (`queue`), and only for authorised sessions; every delayed step runs on that queue too.
// Opening an application through the workspace runs on the main queue, and the server queue
// never waits for it: the result comes back to the server queue, or a 2 s time-out does.
class HostRemoteInput : public std::enable_shared_from_this<HostRemoteInput> {
public:
    // What remote input needs of the server. Each runs on the server queue.
    struct ServerHooks {
        // Writes a log line and hands it to the status callback.
        std::function<void(const std::string&)> publish;
        // Sends a text to every connected Viewer (and logs it).
        std::function<void(const std::string&)> broadcastHostError;
        std::function<HostConsoleSessionState()> currentConsoleSessionState;
        std::function<std::optional<std::string>(const UUID&)> viewerSessionName;
        std::function<std::optional<std::string>(const UUID&)> viewerSessionRemoteAddress;
        // The display chosen for capture; 0 for none.
        std::function<DisplayID()> selectedDisplayID;
        // The running video capture, if any (its mode and viewport region steer the pointer).
        std::function<std::shared_ptr<HostVideoCapture>()> videoCapture;
        // The pause and resume shortcuts: pause stops video and audio capture and marks the
        // stream paused; resume clears the mark and starts capture again in the current mode.
        std::function<void()> pauseStream;
        std::function<void()> resumeStream;
    };

    using Configuration = RemoteInputConfiguration;

    // `queue` is the server queue. Empty platform services are replaced by in-memory ones.
    static std::shared_ptr<HostRemoteInput> create(const HostPlatform& platform, DispatchQueuePtr queue,
                                                   ServerHooks hooks, Configuration configuration = {});

    // The input packets. The server decodes them (see handleControlPacket) and calls these.
    void applyPointerEvent(const PointerEventControlPayload& payload, const UUID& sourceID);
    void applyGestureEvent(const GestureEventControlPayload& payload, const UUID& sourceID);
    void applyHostShortcut(const HostShortcutControlPayload& payload, const UUID& sourceID);
    void applyKeyEvent(const KeyEventControlPayload& payload, const UUID& sourceID);
    void applyRawKeyEvent(const RawKeyEventControlPayload& payload, const UUID& sourceID);
    void applySystemDefinedKeyEvent(const SystemDefinedKeyEventControlPayload& payload, const UUID& sourceID);

    // For input packet types (25, 28, 29, 30, 32, 33): decodes the payload and applies it.
    // Returns the refusal text ("bad pointer event payload", ...) when it does not decode; a
    // gesture that does not decode is dropped without one. Nothing for other types.
    static bool isInputPacket(AuxPacketType type);
    std::optional<std::string> handleControlPacket(AuxPacketType type, std::span<const std::uint8_t> payload,
                                                   const UUID& sourceID);

    // A Viewer left: releases every button, key and modifier it held (HostInputState::forget).
    void forget(const UUID& sessionID);

    // Steps of the handlers, public for the server and tests.
    bool ensureInputTrust();
    void wakeHostForRemoteInputIfLocked();
    std::optional<Point> displayPoint(std::int64_t x, std::int64_t y, std::int64_t framebufferWidth,
                                      std::int64_t framebufferHeight);
    void postScrollIfNeeded(std::uint8_t mask, Point at);
    void postPointerTransition(std::uint8_t from, std::uint8_t to, Point at);
    void releasePointerButtons(std::uint8_t mask);

    // Host shortcuts.
    bool postDockSwipe(bool right);
    void installDockSwipeEventTapIfNeeded();
    bool installDockSwipeEventTapOnMain();
    bool hasDockSwipeEventTap() const;

    // Launchpad and application opening. The chain continues on the server queue and hands its
    // result to `done` there.
    void activateLaunchpad(std::function<void(LaunchpadActivationResult)> done);
    bool toggleLaunchpadViaDockNotification();
    bool clickDockLaunchpadItem();
    std::vector<std::string> launchpadDockItemCandidateTitles();
    AXElementPtr findAXElement(const AXElementPtr& in, const std::vector<std::string>& matchingTitles,
                               int remainingDepth);
    std::vector<std::string> collectAXTitles(const AXElementPtr& in, int remainingDepth);
    static std::optional<std::string> axStringAttribute(const std::string& name, const AXElementPtr& of);
    static std::optional<std::string> axElementLabel(const AXElementPtr& element);
    static std::vector<AXElementPtr> axChildren(const AXElementPtr& of);
    static std::optional<Point> axElementCenter(const AXElementPtr& element);
    void openSystemApplication(const std::string& named, const std::optional<std::string>& bundleIdentifier,
                               std::function<void(bool)> done);
    void openApplicationViaWorkspace(const std::filesystem::path& url, const std::string& label,
                                     std::function<void(bool)> done);
    void openApplicationByBundleIdentifierViaWorkspace(const std::string& bundleIdentifier,
                                                       std::function<void(bool)> done);
    bool activateApplicationByBundleIdentifierViaAppleScript(const std::string& bundleIdentifier);
    bool runToolAndWait(const std::string& executablePath, const std::vector<std::string>& arguments,
                        const std::string& failureLabel);

    static std::string launchpadReportText(LaunchpadActivationResult result);

    HostInputState& inputState() const { return *state_; }
    HostEventPosting& posting() const { return *posting_; }
    const DispatchQueuePtr& queue() const { return queue_; }

private:
    HostRemoteInput(const HostPlatform& platform, DispatchQueuePtr queue, ServerHooks hooks,
                    Configuration configuration);

    void publish(const std::string& text) const;
    void report(const std::string& text) const;  // published and sent to every Viewer
    void applyMissionControl(const UUID& sourceID);
    void applyDesktopSwitch(bool right);
    void applyNextInputSource();
    void applyOptionSystemKey(std::uint16_t keyType);
    void launchpadAfterWorkspace(bool trusted, bool opened, std::function<void(LaunchpadActivationResult)> done);
    void assertOnQueue() const;

    DispatchQueuePtr queue_;
    DispatchQueuePtr mainQueue_;
    ServerHooks hooks_;
    Configuration configuration_;
    std::shared_ptr<DisplayService> displays_;
    std::shared_ptr<EventPoster> poster_;
    std::shared_ptr<AccessibilityService> accessibility_;
    std::shared_ptr<UserActivityService> userActivity_;
    std::shared_ptr<WorkspaceService> workspace_;
    std::shared_ptr<ToolRunner> toolRunner_;
    std::shared_ptr<HostInputState> state_;
    std::shared_ptr<HostEventPosting> posting_;

    // Set once on the main queue, read on the server queue.
    mutable std::mutex dockSwipeLock_;
    std::shared_ptr<EventTap> dockSwipeEventTap_;
};

}  // namespace qm
