#pragma once

#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "QuillmereProfiles/AuxProtocol.h"
#include "QuillmereProfiles/FileTransferPacket.h"
#include "QuillmereProfiles/SessionPayloads.h"

struct OpusDecoder;

namespace qm::test {

using namespace std::chrono_literals;

// What a Viewer made of the Host's audio packets: their headers, and the PCM its Opus decoder
// (48 kHz stereo) produced from them, per channel.
struct ReceivedAudio {
    std::vector<AuxPacketHeader> headers;
    std::vector<float> left;
    std::vector<float> right;
    std::size_t decodeFailures = 0;
};

// A Viewer on real TCP: it verifies the Host's identity proof, seals its credentials to the key
// that proof vouched for, and collects every packet the Host sends, in order. Audio packets are
// decoded as they arrive (like a Viewer playing them) and kept apart from the other packets.
class TestViewer {
public:
    // `sourceAddress` binds the local end first (another loopback address stands for another
    // machine); empty lets the system choose.
    TestViewer(std::uint16_t port, std::string host = "127.0.0.1", std::string sourceAddress = {});
    ~TestViewer();
    TestViewer(const TestViewer&) = delete;
    TestViewer& operator=(const TestViewer&) = delete;

    // Stops (true) or resumes (false) reading the socket, as a Viewer that falls behind.
    void holdReading(bool held);
    bool connected() const { return connected_; }
    void send(AuxPacketType type, const Bytes& payload, std::uint8_t flags = 0);
    void sendRaw(const Bytes& bytes);
    // Half-closes nothing: shuts the socket down both ways and stops reading.
    void disconnect();
    // Dies the way a killed process does: the socket is reset, whatever was unsent is lost.
    void abort();

    // The next packet of this type, removing it (and nothing else) from the received list.
    std::optional<AuxFrame> waitFor(AuxPacketType type, std::chrono::milliseconds timeout = 10s);
    // Every host status text received so far, in order (they stay in the list).
    std::vector<std::string> statusTexts();
    // Waits until a host status text containing `needle` arrived.
    bool waitForStatus(const std::string& needle, std::chrono::milliseconds timeout = 10s);
    // True once the Host closed the connection.
    bool waitForClose(std::chrono::milliseconds timeout = 10s);
    std::size_t receivedCount();

    // Audio packets received so far (all of them, including those already taken).
    std::size_t audioPacketCount();
    // Waits until at least `count` audio packets arrived in total.
    bool waitForAudioPackets(std::size_t count, std::chrono::milliseconds timeout = 10s);
    // What arrived and was decoded since the last call.
    ReceivedAudio takeAudio();

    // Sends a fresh challenge and checks the answer's signature. Nothing when the proof is
    // missing or does not verify.
    std::optional<IdentityProofPayload> proveIdentity();
    // Seals the credentials to the proof already received and not yet used (else proves the
    // Host's identity first: once per connection) and signs in. The result packet.
    std::optional<ClientSessionAuthResultPayload> signIn(const std::string& username, const std::string& password,
                                                         const std::string& displayName = "Test Viewer");
    const std::optional<IdentityProofPayload>& identityProof() const { return proof_; }
    // Called on the reading thread for every packet, with the uptime at which it was read.
    void setObserver(std::function<void(const AuxFrame&, std::uint64_t receivedUptimeNs)> observer);

private:
    void readLoop();

    asio::io_context context_;
    asio::ip::tcp::socket socket_;
    std::thread reader_;
    bool connected_ = false;
    bool held_ = false;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<AuxFrame> received_;
    std::vector<std::string> statuses_;
    bool closed_ = false;
    std::optional<IdentityProofPayload> proof_;
    bool proofUnused_ = false;
    std::function<void(const AuxFrame&, std::uint64_t)> observer_;
    void decodeAudio(const AuxFrame& frame);  // under mutex_
    OpusDecoder* opus_ = nullptr;
    std::size_t audioPackets_ = 0;
    ReceivedAudio audio_;
};

// The file side channel of a Viewer: FTRX frames over TCP.
class TestFileChannel {
public:
    TestFileChannel(std::uint16_t port, std::string host = "127.0.0.1");
    ~TestFileChannel();
    void sendFrame(const Bytes& payload);
    // One frame carrying the packet, written with the packet's data in place (no copy of it).
    void sendPacket(const FileTransferPacket& packet);
    void sendRaw(const Bytes& bytes);
    std::optional<Bytes> waitForFrame(std::chrono::milliseconds timeout = 10s);
    bool waitForClose(std::chrono::milliseconds timeout = 10s);
    // Closes both ways once what was sent is out, as a Viewer that quits.
    void disconnect();
    // Dies the way a killed process does: the socket is reset, whatever was unsent is lost.
    void abort();
    // Stops (true) or resumes (false) reading the socket, as a Viewer that falls behind: the
    // Host's sends then back up in the kernel and in its own queue.
    void holdReading(bool held);

private:
    void readLoop();
    bool held_ = false;
    asio::io_context context_;
    asio::ip::tcp::socket socket_;
    std::thread reader_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Bytes> frames_;
    bool closed_ = false;
};

}  // namespace qm::test
