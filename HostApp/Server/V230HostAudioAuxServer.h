#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "HostApp/Display/DisplayTargetState.h"
#include "HostApp/Display/PowerGraces.h"
#include "HostApp/Audio/HostAudioServerState.h"
#include "HostApp/Server/Admission.h"
#include "HostApp/Server/ServerConstants.h"
#include "HostApp/Server/DragSnapshot.h"
#include "HostApp/Server/SessionTables.h"
#include "HostApp/Server/ControlDispatch.h"
#include "HostApp/Server/SignInLimits.h"
#include "HostApp/Server/VideoFlow.h"
#include "HostApp/Server/VideoRoadState.h"
#include "HostApp/Video/VideoEncoder.h"
#include "Platform/Core/DispatchQueue.h"
#include "Platform/Core/Geometry.h"
#include "Platform/Core/LogSink.h"
#include "Platform/Core/QueueCheck.h"
#include "Platform/HostPlatform.h"
#include "Platform/Network.h"
#include "Platform/Core/UUID.h"
#include "QuillmereProfiles/AuxProtocol.h"
#include "QuillmereProfiles/DisplayPayloads.h"
#include "QuillmereProfiles/DisplayProfiles.h"
#include "QuillmereProfiles/FileTransferChannel.h"
#include "QuillmereProfiles/FileTransferPacket.h"
#include "Platform/HostConsoleSessionState.h"
#include "QuillmereProfiles/MediaPayloads.h"
#include "QuillmereProfiles/QuillmereIdentity.h"
#include "QuillmereProfiles/SessionPayloads.h"

namespace qm {

namespace test {
class ServerInspector;
}
struct ClipboardTransfer;
class HostVideoCapture;
class HostRemoteInput;
class DNSServiceRegistration;
struct PasswordCheckResult;

// The Host's session server: three listeners (control and audio, video, file channel), the
// Viewer sessions and their authorisation, the identity proof, the DNS-SD advertisement, and
// the fan-out of status, layout and session info. Every field below is owned by `queue`: it is
// read and written only there. Public operations that are called from other threads hop onto
// the queue themselves (asynchronously, or synchronously where a result is returned).
class V230HostAudioAuxServer : public std::enable_shared_from_this<V230HostAudioAuxServer> {
public:
    using AuxChannel = qm::AuxChannel;

    struct Options {
        ServerPorts ports;
        // Literal address to listen on (tests use "127.0.0.1"); empty = every address, IPv4 and IPv6.
        std::string listenAddress;
        bool advertise = true;       // register the DNS-SD service
        std::string advertisedName;  // empty = the machine's host name
        // A connection that has not signed in within this time is closed: a peer that never
        // finishes a frame must not hold a session forever.
        double signInTimeout = 20.0;
        // At most this many password checks run at once; more are refused as busy. Of them, at
        // most `maxConcurrentSlowedSignIns` for addresses being slowed down after failures, so
        // addresses that keep guessing never take every check from one that is not.
        std::size_t maxConcurrentSignIns = 8;
        std::size_t maxConcurrentSlowedSignIns = 4;
        // Connections that have not signed in, over all addresses and from one address group (see
        // admissionGroup). When all are taken, a newcomer from a group holding fewer than the
        // group holding the most closes that group's oldest (see PendingAdmission); else it is
        // closed as it arrives.
        std::size_t maxConnectionsNotSignedIn = 64;
        std::size_t maxConnectionsNotSignedInPerAddress = 8;
        // Besides those places, connections accepted and not yet judged: what the listeners take
        // in while the server queue is busy (a listener waiting for its next connection holds one
        // of them). A connection counts from its accept until it signs in or is closed, so the
        // listeners hold at most maxConnectionsNotSignedIn + this many sockets of peers that have
        // not signed in, however far behind this queue is; beyond that they stop accepting and
        // the kernel's backlog holds the rest.
        std::size_t maxConnectionsAwaitingAdmission = 16;
        // The descriptors the Host may have open, from which signed-in sessions are bounded (see
        // SessionBound); 0: the process's soft RLIMIT_NOFILE, read at start.
        std::size_t descriptorLimit = 0;
        // A connection that has not signed in is closed at this many refused frames.
        int maxRefusedFramesBeforeSignIn = 4;
        // The largest clipboard snapshot taken from a Viewer or sent to one: what one aux frame
        // can carry, so the Host never sends a frame its own reader would refuse and never queues
        // a snapshot near a connection's send limit.
        std::size_t maxClipboardPayloadBytes = AuxFrameReader::defaultMaxBufferedBytes - AuxPacketHeader::size;
        // What one address group (see admissionGroup) may have of them, and how it is slowed
        // down after failures.
        SignInLimits::Limits signInLimits;
        // Frames a session sends while its sign-in is being checked wait for the answer, up to
        // this many frames and bytes (headers included); past that the connection is closed.
        std::size_t maxHeldFrames = 16;
        std::size_t maxHeldBytes = 64 << 10;
        // The encoders take 4:4:4 on this machine. Where they cannot, Easy capture falls back to
        // 4:2:0 and sets encoder option 0x20 (as on Hosts without a media engine for it).
        bool fullChromaEncoding = true;
        // One-second statistics windows without a captured frame before capture is restarted or
        // moved to another display. A first frame that is slow to come (a very large virtual
        // display on a loaded machine) needs more.
        int zeroFrameWindowsBeforeRecovery = 3;
    };

    static std::shared_ptr<V230HostAudioAuxServer> create(HostPlatform platform, Options options);
    static std::shared_ptr<V230HostAudioAuxServer> create(HostPlatform platform) { return create(std::move(platform), Options{}); }
    ~V230HostAudioAuxServer();

    // Callbacks the owner sets before start(). Status may arrive on any queue (mostly `queue`);
    // received clipboard snapshots on the server's clipboard queue, one at a time; the others
    // arrive on `queue`.
    std::function<void(const std::string&)> onStatus;
    std::function<void(const ClipboardTransfer&)> onClipboardTransfer;
    std::function<void(const FileTransferPacket&, const UUID&)> onFileTransferPacket;
    std::function<void(const FileTransferPacket&, const UUID&)> onFileTransferIncomingPacket;
    // Packets of the file side channel without a copy: the packet's data lies inside `storage`,
    // which the receiver keeps for as long as it needs the bytes. When set, it takes the file
    // channel's packets in place of onFileTransferIncomingPacket.
    std::function<void(const FileTransferPacketView&, const SharedBytes& storage, const UUID&)>
        onFileTransferChannelPacket;
    // When set (before the listeners start), large fileChunk packets on the file channel arrive
    // here without their data, which `tail` holds still in the connection: the receiver moves it
    // into the file (or lets go of it to drop it). The channel reads nothing more until then. The
    // receiver may take the chunks right behind from the tail itself (FrameTail::takeFollowing):
    // those never reach the server. Only this session's channel reads them, and a session that
    // ends or a channel that is replaced cancels the connection first, after which none is taken.
    std::function<void(const FileTransferPacketView& head, FrameTailPtr tail, const UUID&)> onFileTransferChannelChunk;
    std::function<void(std::uint32_t snapshotID, std::uint32_t index, const UUID& sessionID)> onDragPullRequest;
    // A Viewer's control session left (whatever the reason): what the owner keeps for it, such as
    // unfinished inbound file batches, can go.
    std::function<void(const UUID&)> onViewerSessionRemoved;
    // A Viewer's file side channel ended (closed, reset or replaced) while its session stays.
    std::function<void(const UUID&)> onViewerFileChannelEnded;

    // ---- Lifecycle -------------------------------------------------------------------------
    // Queues the start on the server queue and returns at once; failures are published.
    void start();
    // The ordered stop, for application termination: tells every Viewer that the host service
    // is exiting, waits 120 ms, then stops timers, capture, listeners and connections. Blocks
    // until done; never call it from `queue`.
    void stopForTermination();
    // The same stop without blocking: `completion` runs on `queue` when it is done.
    void beginTermination(std::function<void()> completion);

    // ---- Status and fan-out ----------------------------------------------------------------
    // "[QuillmereHost] " + text to the log sink, then onStatus. Written on `queue` while a
    // Viewer's packet is handled, the line counts against that Viewer's log budget.
    void publish(const std::string& text);
    // On `queue`: a line an owner's callback writes about what a Viewer sent (a request refused,
    // one that names nothing): charged to that Viewer like the server's own refusals, or to the
    // budget of connections not signed in once it has left. Within the budget `write` (the
    // owner's own log) writes it when given, else it is written as the server's lines are.
    void publishForViewer(const UUID& sessionID, const std::string& text,
                          const std::function<void(const std::string&)>& write = {});
    // The same for a line about what the Host did for that Viewer's packet (a drag pull served):
    // charged to the Viewer's larger budget for such lines.
    void publishDoneForViewer(const UUID& sessionID, const std::string& text,
                              const std::function<void(const std::string&)>& write = {});
    void sendHostStatus(const std::string& text, const ConnectionPtr& on);
    // To every control connection, then every video connection, signed in or not.
    void broadcastHostError(const std::string& text);
    void broadcastDisplayLayout(const DisplayLayoutPayload& layout);
    void broadcastVideoConfig(const VideoStreamConfigPayload& config);
    // `announce` false leaves the log alone: viewport and picture-in-picture changes come often.
    void broadcastHostSessionInfo(bool announce = true);
    // Sends one clipboard snapshot to every signed-in Viewer's control connection. Any thread;
    // never waits for `queue`: false when no control session is signed in or the snapshot cannot
    // be encoded (published), else true, with the send following on `queue`. A snapshot too
    // large to send is published and dropped, never encoded when its content alone is too large.
    bool broadcastClipboardTransfer(const ClipboardTransfer& transfer);
    void broadcastFileTransferPacket(FileTransferPacket packet);
    void sendFileTransferPacket(FileTransferPacket packet, UUID toSessionID);
    // Holds (true) or resumes reading on every file side channel, also those admitted later, and
    // on the control connection of every Viewer that sent file packets there; for an owner whose
    // file writes fall behind. Any thread; applied in call order on `queue`.
    void setFileChannelReadsPaused(bool paused);
    // The same for one Viewer alone (its file channel and, when it sent file packets there, its
    // control connection): what it sent waits for the owner, or it does not read what the owner
    // answers it. Called on `queue` (the owner handling one of that Viewer's packets) it applies
    // at once, so nothing more of the Viewer is read after it; from elsewhere, on `queue`. A
    // change whose `serial` (rising with each change the owner makes) is below that of the hold
    // in force is stale and ignored, so a release still on its way never undoes a newer hold.
    void setFileChannelReadsPaused(const UUID& sessionID, bool paused, std::uint64_t serial);
    // Any thread. A Viewer sent a file packet on its control connection: a pause of file reads
    // holds that connection too.
    void noteControlFileSender(const UUID& sessionID);
    // Any thread. Bytes waiting to go out on the road that Viewer's file packets take (its file
    // channel, else its control connection); nothing once it is gone. Without a session: the
    // most that waits for any signed-in Viewer, nothing when none is signed in.
    std::optional<std::size_t> fileTransferBacklog(const std::optional<UUID>& sessionID);
    // Any thread. A host status line to one signed-in Viewer's control connection.
    void sendHostStatusToSession(const UUID& sessionID, std::string text);
    void refreshBonjourAdvertisement();

    // ---- Power ---------------------------------------------------------------------------------
    // The system's or the screens' power state changed: "system will sleep" (true, true), "screens
    // did sleep" (true, false), "system did wake" and "screens did wake" (false, false). Any thread.
    // Without the preflight it queues the work and returns. With it, it returns only after capture
    // moved: it runs the work directly when already on `queue`, else waits for `queue` to run it
    // (so the caller must not be something `queue` itself waits on).
    void noteHostPowerState(const std::string& reason, bool screensSleeping, bool preflightHeadlessCapture);

    // ---- Snapshots ------------------------------------------------------------------------
    // What the application shows, as the server last published it: rebuilt on the queue after
    // every change and read from any thread without waiting for the queue (which can be busy
    // for seconds while a display mode switches or a virtual display is built).
    struct Snapshot {
        bool hasConnectedViewer = false;
        bool hasSignedInControlViewer = false;  // a clipboard snapshot would reach someone
        std::vector<std::pair<std::string, std::string>> connectionSummaries;  // (name, address), sorted
        std::vector<std::string> displayNames;                                 // sorted
        std::vector<std::pair<UUID, std::string>> fileTransferPeers;            // sorted by name
        std::uint32_t selectedDisplayID = 0;
        std::uint32_t physicalDisplayID = 0;
        bool headlessVirtualDisplayEnabled = false;
        std::optional<DisplayLayoutPayload> displayLayout;  // the last layout described
        // One text per listener that could not be opened ("control listener failed: ...");
        // empty while every channel listens. Viewers cannot reach a Host that has any.
        std::vector<std::string> listenerFailures;
    };
    std::shared_ptr<const Snapshot> snapshot() const;
    // The display diagnostics, computed on the server queue and handed to `completion` on `replyQueue`.
    void requestDisplayDiagnostics(DispatchQueuePtr replyQueue, std::function<void(std::string)> completion);

    // These answer from snapshot() and never wait for the queue.
    bool hasConnectedViewer();
    std::vector<std::pair<std::string, std::string>> connectedViewerConnectionSummaries();
    std::vector<std::string> connectedViewerDisplayNames();
    std::vector<std::pair<UUID, std::string>> connectedFileTransferPeers();
    std::uint32_t selectedDisplayIDSnapshot();
    std::uint32_t physicalDisplayIDSnapshot();
    // The display selection followed by every display's description, for the diagnostics window.
    // Waits for the queue: call it off the main thread (or use requestDisplayDiagnostics).
    std::string displayDiagnosticsSnapshot();
    bool headlessVirtualDisplayEnabledSnapshot();
    // Reads directly when already on the queue.
    std::optional<std::filesystem::path> dragSourceURL(std::uint32_t snapshotID, std::uint32_t index);
    // The ports actually bound (tests ask for port 0 and read them here); 0 while not listening.
    ServerPorts boundPorts();

    // What the server holds, for leak checks and diagnostics.
    struct ResourceCounts {
        std::size_t sessions = 0;            // live control and video connections
        std::size_t authorizedSessions = 0;  // authorised control and video sessions
        std::size_t fileChannels = 0;        // file channels, authorised or still waiting for a token
        std::size_t fileTransferTokens = 0;
        std::size_t viewerNames = 0;
        std::size_t signInsInFlight = 0;   // password checks running
        std::size_t signInsDelayed = 0;    // attempts waiting out their address's delay
        std::size_t signInAddresses = 0;   // address groups the sign-in limits remember with attempts in hand
        std::size_t sessionTableEntries = 0;  // every entry of every per-session table
        std::size_t videoFlowEntries = 0;     // acknowledgement and send records of video sessions
        std::size_t audioSendConnections = 0;
        std::size_t audioRoles = 0;  // exclusive listener and output-muting Viewer
        std::size_t graces = 0;      // reconnect graces running
        std::size_t powerAssertions = 0;       // assertions keeping the machine awake
        std::size_t backgroundedViewers = 0;   // iOS Viewers that said they went to the background
        std::size_t inputSessions = 0;  // per-Viewer entries of the input state (buttons, keys, modifiers)
        // The entries of every registered per-Viewer holder that has any, by holder name.
        std::map<std::string, std::size_t> holderEntries;
        std::size_t pendingClipboardSnapshots = 0;  // received, waiting to be decoded
        friend bool operator==(const ResourceCounts&, const ResourceCounts&) = default;
    };
    ResourceCounts resourceCounts();

    HostConsoleSessionState currentConsoleSessionState();

    const DispatchQueuePtr queue;

    // ---- Display choices -------------------------------------------------------------------
    // The status menu's choices: each hops onto `queue`, holding the server weakly.
    void selectDisplayID(std::uint32_t displayID);
    void setHeadlessVirtualDisplayEnabled(bool enabled);
    // On the queue: describes the layout now (and publishes it). Elsewhere: the last layout published.
    DisplayLayoutPayload currentDisplayLayout();

private:
    friend class test::ServerInspector;

    // ---- Operations that run on `queue`, private to it --------------------------------------
    // Each begins with assertOnQueue(). Tests reach them through test::ServerInspector.
    void authorizeAuxSession(const UUID& id, AuxChannel channel, const ConnectionPtr& connection,
                             const ClientSessionAuthPayload& request);
    void removeSession(const UUID& id, AuxChannel channel);
    void sendFileTransferEndpoint(const UUID& sessionID, const ConnectionPtr& on);
    void handleFileTransferConnection(const ConnectionPtr& connection);

    // Subsystem hooks that session changes drive. Each does what the pipelines built so far allow.
    void updateAudioSendConnections();
    void releaseExclusiveAudioListening(const std::string& reason);
    void stopAudioCapture(bool wait, bool resetRetryAttempts);
    void applyAudioControl(const AudioControlPayload& control, const UUID& sourceID, const ConnectionPtr& connection);
    bool shouldBeginSleepRecoveryViewerReconnectGraceAfterLastSessionDisconnect() const;
    void beginSleepRecoveryViewerReconnectGrace(const std::string& reason);
    void endSleepRecoveryViewerReconnectGrace(const std::string& reason);
    void beginIOSViewerBackgroundSleepGrace();
    void endIOSViewerBackgroundSleepGrace(const std::string& reason);
    bool isIOSViewerSession(const UUID& id) const;
    void scheduleSleepRecoveryViewerReconnectGraceExpiryCheck(double deadline, double after);
    bool shouldRetainHeadlessVirtualDisplayForSleepRecovery() const;
    void updateViewerIdleSleepAssertion();
    // Sleep and wake: capture moves to the virtual display before the screens go dark and back to
    // the physical display after wake.
    void handleHostPowerState(const std::string& reason, bool screensSleeping, bool preflightHeadlessCapture);
    void preflightHeadlessCaptureBeforeSleep(const std::string& reason);
    void startSleepPreflightPhysicalRecovery(const std::string& reason);
    void scheduleSleepPreflightPhysicalRecovery(const std::string& reason, double after);
    void attemptSleepPreflightPhysicalRecovery(const std::string& reason);
    void cancelSleepPreflightPhysicalRecovery();
    void scheduleSleepPreflightPhysicalRecoveryAfterDisplayChange();
    bool restorePhysicalCaptureAfterSleepIfAvailable(const std::string& reason);
    void scheduleDisplayTopologyRecovery(const std::string& reason, double delay, bool resetRetryCount);
    void recoverVirtualDisplayTopology(const std::string& reason);
    void registerDisplayChangeObserverIfNeeded();
    void updateVideoGateLocked(std::uint64_t nowNs);
    void stopVideoCaptureIfIdle();
    void releaseHeadlessVirtualDisplayIfIdle();
    // Rebuilds the snapshot from the state on the queue, now.
    void publishSnapshot();
    // What the snapshot shows may have changed: it is rebuilt once, when the queue has run what
    // is already waiting on it (a burst of network reads publishes once, not after each read).
    void snapshotMayHaveChanged();
    // Marks the snapshot when the queue operation it is declared in returns, by whatever road.
    struct SnapshotOnExit {
        V230HostAudioAuxServer& server;
        ~SnapshotOnExit() { server.snapshotMayHaveChanged(); }
    };
    // Host display control. `mode` 0 (1080p), 1 (1440p) or 2 (saved mode); `action` 1 (main) or
    // 2 (next); any other value does nothing.
    void applyHostDisplayMode(std::uint8_t mode);
    void applyHostPhysicalDisplayAction(std::uint8_t action);
    void restoreOriginalDisplayModeIfNeeded(std::uint32_t displayID, const std::string& reason);

    // Video road.
    void applyVideoCaptureRequest(const CaptureModeControlPayload& request, const UUID& sourceID);
    // True when the capture target changed and capture restarts; false when it was kept.
    bool applyVideoCaptureMode(VideoCaptureMode mode);
    bool shouldPreserveIOSBuiltInCapture(const CaptureModeControlPayload& request, const UUID& sourceID) const;
    bool shouldReapplyCaptureMode(const CaptureModeControlPayload& request);
    void applyIOSBuiltInDisplayCaptureRequest(const CaptureModeControlPayload& request);
    // Capture targets: each path ends in the outcome that applyVideoCaptureMode records.
    std::optional<double> prepareHeadlessVirtualDisplay(VideoCaptureMode mode);
    CaptureTargetOutcome applyHeadlessVirtualDisplayTemplate(VideoCaptureMode requestedMode);
    HeadlessRealizeDecision scheduleHeadlessRealizeRetryIfNeeded(VideoCaptureMode mode);
    CaptureTargetOutcome resolvePhysicalFallback(VideoCaptureMode mode, VideoCaptureMode previousMode,
                                                 const std::string& reason);
    CaptureTargetOutcome fallbackToPhysicalNativeCapture(const std::string& reason);
    void scheduleDisplayLayoutPublish(double after);
    void scheduleInitialVideoCaptureStart();
    void startVideoCapture();
    void restartVideoCapture(double after);
    void restartAudioCaptureOnDisplaySwitch(double after);
    void resumeAuxVideoCaptureAfterZeroFrameSuspension(const std::string& reason);
    void resendCurrentVideoConfigIfAvailable(const std::string& reason);
    void requestVideoKeyframeWithDelayedRetry();
    void recordVideoFrameAck(const UUID& from, const VideoFrameAckPayload& ack);
    void serviceVideoFlowLocked(std::uint64_t nowNs);
    std::int64_t adaptiveEasyBitrate(std::int64_t pixelWidth, std::int64_t pixelHeight, bool chromaIs444) const;
    void attemptVideoZeroFrameRecovery(std::uint32_t displayID);
    void suspendAuxVideoCaptureForZeroFrames(std::uint32_t displayID);
    std::uint32_t usablePhysicalDisplayID() const;
    void applyEasyAdaptivePhysicalCapture(std::uint32_t displayID,
                                          const std::optional<CaptureModeControlPayload>& base = std::nullopt);
    void switchPhysicalCaptureToHeadlessIfNeeded(const std::string& reason);
    void setViewportROI(const std::optional<Rect>& region);
    void statisticsTick();
    // What the running capture hands back; results of an earlier capture generation are dropped.
    void handleVideoEncoderConfig(std::uint64_t generation, const VideoEncoderConfig& config);
    void handleEncodedVideoFrame(std::uint64_t generation, EncodedVideoFrame frame);

    V230HostAudioAuxServer(HostPlatform platform, Options options);
    // The subsystems whose objects call back into the server (they hold it weakly).
    void makeSubsystems();

    // Start and stop.
    void startOnQueue();
    void startListeners();
    // Records a listener that could not be opened (snapshot and status line).
    void listenerFailed(const std::string& text);
    void startTimers();
    void terminationFirstPhase();
    void terminationSecondPhase();
    void finishTermination(std::shared_ptr<V230HostAudioAuxServer> self);
    void selectDefaultCaptureDisplay();
    // The drag: read every poll while a Viewer is connected, announced when it changes.
    void pollDragSnapshot();
    void applyDraggedFiles(std::vector<std::filesystem::path> files);
    void announceDragSnapshot(bool changed);
    bool hasConnectedViewerOnQueue() const;

    // Sessions and framing.
    void acceptAuxConnection(const ConnectionPtr& connection, AuxChannel channel);
    void startReceiving(const std::shared_ptr<AuxSession>& session);
    void armSignInDeadline(const std::shared_ptr<AuxSession>& session);
    void handleReceived(const std::shared_ptr<AuxSession>& session, Bytes data, bool isComplete,
                        const std::optional<NetworkError>& error);
    void closeSession(const UUID& id, const std::string& reason);
    void dispatchFrame(const std::shared_ptr<AuxSession>& session, const AuxFrameView& frame);
    // A frame the session should not have sent before signing in: refused to it, and a session
    // that keeps at it is closed.
    void refuseBeforeSignIn(const std::shared_ptr<AuxSession>& session, const std::string& text);
    // A log line caused by what a peer sent: at most a few per connection and window, so a peer
    // cannot fill the log.
    void publishForSession(AuxSession& session, const std::string& text);
    static bool overLogBudget(const AuxSession& session);
    void publishAboutStranger(const std::string& text);
    // Whether a connection from `address` gets a place among those not signed in (see
    // PendingAdmission); when every place is taken it may close an older one to make room.
    bool admitsConnectionFrom(const std::string& address);
    void makeRoomForConnection(std::uint64_t admissionOrder, const std::string& forAddress);
    // Runs the row's handler when the session's channel admits the type; what is written meanwhile
    // is charged to the session.
    void dispatchControl(const ViewerPacketRow& row, std::span<const std::uint8_t> payload,
                         const std::shared_ptr<AuxSession>& session);
    // The packet rows and their decoders (ServerDispatch.cpp); create() checks every type has one.
    struct PacketRows;
    friend const ViewerPacketRow* viewerPacketRow(std::uint8_t raw);
    static void checkPacketRows();
    void refusePayload(const std::shared_ptr<AuxSession>& session, const std::string& text);
    // One handler per packet type a Viewer sends, in wire order (the sign-in and clipboard ones are below).
    void receiveAudioControl(const std::shared_ptr<AuxSession>& session, const AudioControlPayload& control);
    void receiveVideoFrameAck(const std::shared_ptr<AuxSession>& session, const VideoFrameAckPayload& ack);
    void receiveCaptureModeControl(const std::shared_ptr<AuxSession>& session, const CaptureModeControlPayload& request);
    void receiveHostDisplayMode(const std::shared_ptr<AuxSession>& session, std::span<const std::uint8_t> payload);
    void receiveFileTransfer(const std::shared_ptr<AuxSession>& session, std::span<const std::uint8_t> payload);
    void receiveHostPhysicalDisplay(const std::shared_ptr<AuxSession>& session, std::span<const std::uint8_t> payload);
    void receiveViewportROI(const std::shared_ptr<AuxSession>& session, const ViewportROIPayload& roi);
    void receivePipRegionSet(const std::shared_ptr<AuxSession>& session, const PipRegionSetPayload& region);
    void receivePipRegionRemove(const std::shared_ptr<AuxSession>& session, const PipRegionRemovePayload& region);
    void receivePipRegionClear(const std::shared_ptr<AuxSession>& session, std::span<const std::uint8_t> payload);
    void receiveDragPullRequest(const std::shared_ptr<AuxSession>& session, const DragPullRequestPayload& request);
    void receiveIOSBackgroundPresence(const std::shared_ptr<AuxSession>& session, std::span<const std::uint8_t> payload);
    // A line about what a Viewer sent, written after the packet's handler returned (a decode on
    // another queue): charged to that Viewer, or to the shared budget once it has left.
    void publishForSession(const UUID& id, const std::string& text);
    // A line about what the Host did for the packet being handled: the session's larger budget.
    void publishCausedBy(AuxSession& session, const std::string& text);
    // `writeText`, when given, writes `text` itself; the budget's own lines go the server's way.
    void chargeLogLine(AuxSession& session, LogBudget& budget, int linesPerWindow, const std::string& text,
                       const std::function<void(const std::string&)>& writeText = {});
    // A line a subsystem writes through its hook: charged like a refusal to the Viewer whose
    // packet is being handled, if any.
    void publishFromPeer(const std::string& text);
    // Past every budget: the sink at `level`, and onStatus (detail only when the sink writes it).
    void writeStatus(const std::string& text, LogLevel level);
    bool dispatchingOverLogBudget() const;
    // The first line of every queue-only operation: the process stops, naming the operation,
    // when one is entered off the queue, in every build.
    void assertOnQueue(const char* operation = __builtin_FUNCTION()) const { requireOnQueue(*queue, operation); }
    void handleIdentityChallenge(const std::shared_ptr<AuxSession>& session, std::span<const std::uint8_t> payload);
    void handleClientSessionAuth(const std::shared_ptr<AuxSession>& session, std::span<const std::uint8_t> payload);
    // One admitted sign-in attempt on its way to the password check and back.
    struct SignInAttempt {
        UUID id;
        std::uint64_t epoch = 0;
        std::string group;  // the address group whose share of checks it holds (admissionGroup)
        bool slowed = false;  // its check runs as one of an address being slowed down
        std::string username;
        std::string displayName;
        std::string consoleUser;  // the console user when the attempt was made
        std::shared_ptr<crypto::SecretString> password;
    };
    void startPasswordCheck(SignInAttempt attempt);
    void finishSignIn(const SignInAttempt& attempt, const PasswordCheckResult& result);
    void acceptSignIn(const std::shared_ptr<AuxSession>& session, const SignInAttempt& attempt);
    void refuseSignIn(const std::shared_ptr<AuxSession>& session, const std::string& code);
    // More than one signed-in control or video session: one Viewer may not change the display for others.
    bool signedInViewersAreSeveral() const;
    // Frames that arrived while the session's sign-in was checked, kept in order.
    void holdFrame(const std::shared_ptr<AuxSession>& session, const AuxFrameView& frame);
    void replayHeldFrames(const std::shared_ptr<AuxSession>& session);
    void sendPacket(const ConnectionPtr& connection, AuxPacketType type, const Bytes& payload, std::uint8_t flags = 0);
    SharedBytes makeSharedPacket(AuxPacketType type, const Bytes& payload, std::uint8_t flags = 0) const;
    // Hands one packet to every signed-in control and/or video session.
    void sendToSignedIn(const SharedBytes& packet, bool control, bool video);

    // File channel.
    void handleFileChannelFrame(const std::shared_ptr<FileTransferChannelConnection>& channel,
                                std::span<const std::uint8_t> payload, const SharedBytes& storage);
    void endFileChannel(const UUID& sessionID, const std::shared_ptr<FileTransferChannelConnection>& channel);
    void handleFileChannelEnded(const std::shared_ptr<FileTransferChannelConnection>& channel);
    void handleFileChannelChunk(const std::shared_ptr<FileTransferChannelConnection>& channel,
                                std::span<const std::uint8_t> head, FrameTailPtr tail);
    void deliverFileTransferPacket(const FileTransferPacket& packet, const UUID& sessionID);

    // Clipboard.
    void receiveClipboardTransfer(const std::shared_ptr<AuxSession>& session, std::span<const std::uint8_t> payload);
    void sendEncodedClipboard(const Bytes& data, const std::pair<std::string, std::uint64_t>& key);
    void refuseOversizedClipboard(std::size_t bytes, const std::pair<std::string, std::uint64_t>& key);
    DispatchQueuePtr clipboardQueue();

    // Discovery.
    void updateBonjourAdvertisement(const std::string& reason);

    // Video.
    VideoStreamProfile streamProfileForCurrentRequest();
    void videoSessionAuthorized(const UUID& id);
    void handleVideoCaptureError(std::uint64_t generation, const std::string& text);
    void stopVideoCaptureForTermination();
    // Stops and drops the running capture, if any, and voids what it may still hand back; true
    // when one was running.
    bool discardVideoCapture(bool wait);
    std::optional<Rect> currentViewportROIForSessionInfo();

    HostPlatform platform_;
    Options options_;
    std::optional<HostIdentityKeys> identity_;
    std::string discoveryHostID;
    bool isPaused = false;

    // The state of each subsystem, every holder owned by `queue`.
    SessionTables sessions_;
    VideoFlow videoFlow_;
    VideoRoadState video_;
    DisplayTargetState display_;
    std::shared_ptr<HostAudioServerState> audio_;
    std::shared_ptr<HostRemoteInput> input_;
    // The physical displays' mode switching (with the modes saved before the first switch) and
    // the headless virtual display; the server's display-target operations use them.
    std::shared_ptr<HostDisplayModeSwitcher> modeSwitcher_;
    std::shared_ptr<HeadlessVirtualDisplay> virtualDisplay_;
    PowerGraceState power_;
    // Where the assertions are taken: the platform's, else an in-memory count.
    std::shared_ptr<PowerAssertionService> powerAssertions_;
    std::optional<ScreenParametersObserverToken> displayObserverToken_;

    std::vector<ListenerPtr> listeners_;
    // The places every listener shares for connections that have not signed in (any thread).
    std::shared_ptr<AcceptBudget> acceptBudget_;
    ServerPorts boundPorts_{0, 0, 0};
    std::vector<std::string> listenerFailures_;  // queue; published in the snapshot
    std::shared_ptr<PathMonitor> pathMonitor_;
    std::shared_ptr<DNSServiceRegistration> bonjourRegistration_;
    std::string bonjourRecordKey_;
    bool reportedBonjourFailure_ = false;
    std::shared_ptr<RepeatingTimer> statsTimer_;
    std::shared_ptr<RepeatingTimer> videoFlowTimer_;
    std::shared_ptr<RepeatingTimer> dragPollTimer_;
    DispatchWorkItemPtr displayLayoutPublish_;  // the one scheduled layout publish, if any
    std::size_t signInsInFlight_ = 0;
    std::size_t slowedSignInsInFlight_ = 0;  // of them, checks of addresses being slowed down
    // A session that leaves cancels its delayed attempt and gives its address's share back at once.
    void cancelDelayedSignIn(AuxSession& session);
    // Connections refused for want of room, and when the last line about them was written.
    std::size_t refusedConnectionsSinceLog_ = 0;
    // The shared budget of log lines about connections that have not signed in.
    std::uint64_t strangerLogWindowStartNs_ = 0;
    int strangerLinesInWindow_ = 0;
    std::size_t strangerLinesSuppressed_ = 0;
    std::uint64_t lastRefusedConnectionLogNs_ = 0;
    // Password checks run here, one queue per check in flight, reused once it is done.
    std::vector<DispatchQueuePtr> signInQueues_;
    std::vector<bool> signInQueueBusy_;
    // Identity proofs are signed here, off the server queue.
    DispatchQueuePtr identityQueue_;
    SignInLimits signInLimits_;
    // Sessions signed in at once, set at start.
    SessionBound sessionBound_;
    // True when `session` signing in would take the signed-in sessions past the bound, over all
    // or from its address group.
    bool sessionBoundReached(const AuxSession& session) const;
    // The holders that keep something per Viewer. Each registers once, in makeSubsystems();
    // removeSession() makes every one forget a leaving Viewer and resourceCounts() counts them
    // all, so a new holder cannot be left out of either.
    struct SessionHolder {
        std::string name;
        std::function<void(const AuxSession&)> forget;
        std::function<std::size_t()> entryCount;
    };
    // The exclusive listener and the output-muting Viewer, where one is set.
    std::size_t audioRoleCount() const;
    std::vector<SessionHolder> sessionHolders_;
    void registerSessionHolders();
    // A plain lock around the pointer copy rather than std::atomic<std::shared_ptr>: libstdc++
    // guards that type with a lock of its own that ThreadSanitizer cannot see.
    mutable std::mutex snapshotMutex_;
    std::shared_ptr<const Snapshot> snapshot_ = std::make_shared<const Snapshot>();  // under snapshotMutex_
    bool snapshotPublishQueued_ = false;
    std::uint64_t snapshotsPublished_ = 0;  // for tests: how often it was rebuilt
    // The session whose packet is being handled, while its handler runs.
    std::shared_ptr<AuxSession> dispatchingSession_;
    bool started_ = false;
    bool stopping_ = false;
    bool fileChannelReadsPaused_ = false;
    // Viewers whose file reads the owner holds, with the serial of the hold.
    std::map<UUID, std::uint64_t> fileReadsHeldFor_;
    void applyFileReadsHold(const UUID& sessionID, bool paused, std::uint64_t serial);
    bool fileReadsHeld(const UUID& sessionID) const {
        return fileChannelReadsPaused_ || fileReadsHeldFor_.contains(sessionID);
    }
    bool stopped_ = false;
    std::vector<std::function<void()>> terminationWaiters_;
    // The files of the Host user's drag, offered to Viewers to pull.
    DragSnapshot drag_;
    // The last outgoing clipboard snapshot refused as too large (source, sequence), published once.
    std::optional<std::pair<std::string, std::uint64_t>> refusedClipboardTransfer_;
    // Received snapshots are decoded here, off the server queue: a hostile property list must
    // not stall other Viewers. One undecoded snapshot per Viewer waits in its session; a newer one
    // replaces it.
    void decodePendingClipboard(const UUID& sessionID, PendingClipboard& pending);
    DispatchQueuePtr clipboardQueue_;
    std::mutex clipboardLock_;  // guards clipboardQueue_, made on first use from any thread
};

}  // namespace qm
