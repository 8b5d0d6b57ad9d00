#pragma once

#include "HostApp/Server/V230HostAudioAuxServer.h"
#include "HostApp/Input/HostRemoteInput.h"
#include "HostApp/Video/HostVideoCapture.h"

namespace qm::test {

// Reads and drives the server's private state for tests and benchmarks. Call it on the server's
// queue (inside queue->sync, or on a manual queue from the test thread).
class ServerInspector {
public:
    explicit ServerInspector(V230HostAudioAuxServer& server) : server_(server) {}

    SessionTables& sessions() { return server_.sessions_; }
    VideoFlow& videoFlow() { return server_.videoFlow_; }
    VideoRoadState& video() { return server_.video_; }
    DisplayTargetState& display() { return server_.display_; }
    // As if only the selected display were known (no physical display remembered).
    void forgetPhysicalDisplay() { server_.display_.physicalDisplayID_ = 0; }
    HostAudioServerState& audio() { return *server_.audio_; }
    HostRemoteInput& input() { return *server_.input_; }
    HostDisplayModeSwitcher& modeSwitcher() { return *server_.modeSwitcher_; }
    PowerGraceState& power() { return server_.power_; }
    const std::shared_ptr<PowerAssertionService>& powerAssertions() { return server_.powerAssertions_; }
    const std::string& discoveryHostID() { return server_.discoveryHostID; }
    std::shared_ptr<HostVideoCapture> videoCapture() { return server_.video_.capture(); }
    std::uint64_t snapshotsPublished() const { return server_.snapshotsPublished_; }
    // The places the listeners share for connections that have not signed in.
    const std::shared_ptr<AcceptBudget>& acceptBudget() { return server_.acceptBudget_; }
    // The video road's queue-only operations, for the pipeline benchmark.
    void handleEncodedVideoFrame(std::uint64_t generation, EncodedVideoFrame frame) {
        server_.handleEncodedVideoFrame(generation, std::move(frame));
    }
    void recordVideoFrameAck(const UUID& from, const VideoFrameAckPayload& ack) { server_.recordVideoFrameAck(from, ack); }

private:
    V230HostAudioAuxServer& server_;
};

}  // namespace qm::test
