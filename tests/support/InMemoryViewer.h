#pragma once

#include <memory>
#include <string>

#include "HostApp/Server/V230HostAudioAuxServer.h"
#include "Platform/AudioCapture.h"
#include "Platform/InputEvents.h"
#include "Platform/AccountService.h"
#include "Platform/Testing/ScriptedAccountService.h"
#include "Platform/Displays.h"
#include "Platform/DragPasteboard.h"
#include "Platform/Testing/InMemoryNetwork.h"
#include "Platform/ScreenCapture.h"
#include "Platform/VirtualDisplays.h"
#include "support/TestPlatform.h"

namespace qm::test {

// A server on virtual time whose Viewers talk to it over in-memory connections: everything runs
// on the test's thread when it pumps the clock, which makes costs measurable and runs exact.
class ManualServer {
public:
    static constexpr const char* user = "bench";
    static constexpr const char* password = "secret";

    ManualServer();
    ~ManualServer();

    V230HostAudioAuxServer& server() { return *server_; }
    ManualClock& clock() { return *manual_.clock; }
    std::vector<std::string> statuses() const { return *statuses_; }
    bool sawStatus(const std::string& needle) const;
    InMemoryNetworkService& network() { return *network_; }
    HostPlatform& platform() { return manual_.platform; }
    SimulatedDisplayService& displays() { return *displays_; }
    SimulatedScreenCapture& screenCapture() { return *screenCapture_; }
    RecordingEventPoster& events() { return *events_; }
    SimulatedAudioCapture& audioCapture() { return *audioCapture_; }
    ScriptedAccountService& accounts() { return *accounts_; }
    ManualPlatform& manual() { return manual_; }
    SimulatedVirtualDisplayFactory& virtualDisplays() { return *virtualDisplays_; }
    InMemoryDragPasteboard& drag() { return *drag_; }

private:
    ManualPlatform manual_;
    std::shared_ptr<InMemoryNetworkService> network_ = std::make_shared<InMemoryNetworkService>();
    std::shared_ptr<ScriptedAccountService> accounts_ = std::make_shared<ScriptedAccountService>();
    // A small display keeps encoding cheap when a test lets capture run.
    std::shared_ptr<SimulatedDisplayService> displays_ = std::make_shared<SimulatedDisplayService>(
        std::vector<DisplayInfo>{SimulatedDisplayService::makeDisplay(1, {0, 0}, 320, 180, 320, 180, 60, true)}, 1);
    std::shared_ptr<SimulatedScreenCapture> screenCapture_ = std::make_shared<SimulatedScreenCapture>(displays_);
    std::shared_ptr<RecordingEventPoster> events_ = std::make_shared<RecordingEventPoster>(manual_.clock);
    std::shared_ptr<SimulatedAudioCapture> audioCapture_ = std::make_shared<SimulatedAudioCapture>(displays_);
    std::shared_ptr<SimulatedVirtualDisplayFactory> virtualDisplays_ =
        std::make_shared<SimulatedVirtualDisplayFactory>(displays_);
    std::shared_ptr<InMemoryDragPasteboard> drag_ = std::make_shared<InMemoryDragPasteboard>();
    TemporaryDirectory config_;
    std::shared_ptr<V230HostAudioAuxServer> server_;
    std::shared_ptr<std::vector<std::string>> statuses_ = std::make_shared<std::vector<std::string>>();
};

// One connection to a ManualServer's control or video port, signed in unless made `NotSignedIn`.
class InMemoryViewer {
public:
    struct NotSignedIn {};
    InMemoryViewer(ManualServer& host, std::uint16_t port, const std::string& displayName = "In-memory Viewer");
    // Connected from `fromAddress`; the test drives the identity proof and sign-in.
    InMemoryViewer(ManualServer& host, std::uint16_t port, NotSignedIn, const std::string& fromAddress = "127.0.0.1");
    ~InMemoryViewer();
    void disconnect();

    // Sends a fresh challenge and returns the verified proof (throws when none comes or it fails).
    IdentityProofPayload proveIdentity();
    // Seals to the last proof and sends clientSessionAuth; the result, if one came by the time
    // everything ready has run (a delayed check answers later: see `result()`).
    std::optional<ClientSessionAuthResultPayload> signIn(const std::string& username, const std::string& password,
                                                         const std::string& displayName = "In-memory Viewer");
    // Takes a result that has arrived, without pumping.
    std::optional<ClientSessionAuthResultPayload> result();
    // Host status texts received so far (they stay in the list).
    std::vector<std::string> statusTexts() const;
    // True once the Host closed the connection (or it failed).
    bool closed() const { return closed_; }
    // The queue this Viewer's connection delivers on.
    const std::shared_ptr<ManualDispatchQueue>& queue() const { return queue_; }
    ConnectionPtr connection() const { return connection_; }

    // Sends and pumps the clock until everything that follows from it has run.
    void send(AuxPacketType type, const Bytes& payload);
    void sendRaw(const Bytes& bytes);
    // Pumps the clock until a packet of this type arrived; throws when none comes.
    AuxFrame next(AuxPacketType type);
    // Every frame received since the last call.
    std::vector<AuxFrame> takeAll();

private:
    void receive();

    void connect(std::uint16_t port, const std::string& fromAddress);

    ManualServer& host_;
    std::shared_ptr<ManualDispatchQueue> queue_;
    ConnectionPtr connection_;
    std::optional<IdentityProofPayload> proof_;
    AuxFrameReader incoming_{64 << 20};
    std::vector<AuxFrame> frames_;
    std::vector<std::string> statuses_;
    bool closed_ = false;
};

}  // namespace qm::test
