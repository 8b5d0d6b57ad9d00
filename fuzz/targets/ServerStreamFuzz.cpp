// Whole byte streams sent to a Host on the in-memory network and virtual clock: on the control,
// video or file channel, by a stranger or after a proper sign-in. After every Viewer has gone the
// Host must hold nothing for any of them (every resource count back at zero), and it must still
// sign a new Viewer in: this finds leaks and stalls as well as crashes.
#include <optional>
#include <stdexcept>
#include <string>

#include "QuillmereProfiles/AuxProtocol.h"
#include "QuillmereProfiles/FileTransferChannel.h"
#include "QuillmereProfiles/SessionPayloads.h"
#include "fuzz/FuzzTarget.h"
#include "support/InMemoryViewer.h"

using namespace qm;
using Counts = V230HostAudioAuxServer::ResourceCounts;

namespace {

enum class Channel { control, video, file };

std::string describe(const Counts& c) {
    return "sessions=" + std::to_string(c.sessions) + " authorized=" + std::to_string(c.authorizedSessions) +
           " fileChannels=" + std::to_string(c.fileChannels) + " tokens=" + std::to_string(c.fileTransferTokens) +
           " names=" + std::to_string(c.viewerNames) + " signIns=" + std::to_string(c.signInsInFlight) +
           " tables=" + std::to_string(c.sessionTableEntries) + " videoFlow=" + std::to_string(c.videoFlowEntries) +
           " audioSend=" + std::to_string(c.audioSendConnections) + " audioRoles=" + std::to_string(c.audioRoles) +
           " graces=" + std::to_string(c.graces) + " input=" + std::to_string(c.inputSessions);
}

Bytes fileFrame(std::span<const std::uint8_t> payload) {
    return ByteWriter()
        .bytes(FileTransferChannelConstants::magic)
        .u32(static_cast<std::uint32_t>(payload.size()))
        .bytes(payload)
        .take();
}

}  // namespace

QM_FUZZ_TARGET(server_stream) {
    fuzz::FuzzInput input(data);
    const auto scenario = input.byte();
    const auto channel = (scenario & 3) == 1 ? Channel::video : (scenario & 3) == 2 ? Channel::file : Channel::control;
    const bool signIn = scenario & 4;
    std::uint32_t state = input.u32() | 1;
    const auto stream = input.rest();

    test::ManualServer host;
    auto& server = host.server();
    const auto ports = server.boundPorts();
    {
        // The Viewer that signed in (on control for the file channel), and the connection the
        // stream goes to when it is not that Viewer's own.
        std::optional<test::InMemoryViewer> viewer;
        ConnectionPtr raw;
        if (signIn) viewer.emplace(host, channel == Channel::video ? ports.video : ports.control);
        if (channel == Channel::file || !signIn) {
            const auto port = channel == Channel::file ? ports.fileTransfer : channel == Channel::video ? ports.video : ports.control;
            raw = host.network().connect(port, "192.0.2.7");
            raw->start(host.platform().makeQueue("stranger"));
            raw->startReceiving(1 << 16, [](Bytes, bool, const std::optional<NetworkError>&) {});
            host.clock().runUntilIdle();
            if (signIn) {
                auto endpoint = FileTransferEndpointPayload::decode(viewer->next(AuxPacketType::fileTransferEndpoint).payload);
                QM_FUZZ_CHECK(endpoint.has_value(), "no file channel offered after sign-in");
                raw->send(fileFrame(endpoint->token), nullptr);
                host.clock().runUntilIdle();
            }
        }

        for (std::size_t at = 0; at < stream.size();) {
            state = state * 1103515245u + 12345u;
            const std::size_t size = std::min<std::size_t>(stream.size() - at, 1 + (state >> 16) % 512);
            Bytes chunk(stream.begin() + static_cast<std::ptrdiff_t>(at), stream.begin() + static_cast<std::ptrdiff_t>(at + size));
            at += size;
            if (raw) {
                raw->send(std::move(chunk), nullptr);
            } else {
                viewer->sendRaw(chunk);
            }
            // Now and then some virtual time passes, enough to reach the timers.
            switch ((state >> 8) & 7) {
                case 0: host.clock().advance(0.3); break;
                case 1: host.clock().advance(5); break;
                default: host.clock().runUntilIdle(); break;
            }
        }
        if (viewer) viewer->disconnect();
        if (raw) raw->cancel();
    }
    // Leaving may take a few timer rounds (a sign-in check in flight, a capture being stopped).
    for (int round = 0; round < 120 && !(server.resourceCounts() == Counts{}); ++round) host.clock().advance(0.5);
    QM_FUZZ_CHECK(server.resourceCounts() == Counts{}, "held after every Viewer left: " + describe(server.resourceCounts()));

    // And the Host still answers.
    try {
        test::InMemoryViewer after(host, ports.control, "After");
        after.disconnect();
    } catch (const std::exception& error) {
        QM_FUZZ_CHECK(false, std::string("a new Viewer cannot sign in: ") + error.what());
    }
    host.clock().advance(0.5);
    QM_FUZZ_CHECK(server.resourceCounts() == Counts{}, "held after the last Viewer left: " + describe(server.resourceCounts()));
}
