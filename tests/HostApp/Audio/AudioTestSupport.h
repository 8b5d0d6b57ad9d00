#pragma once

#include <opus/opus.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "HostApp/Audio/HostAudioServerState.h"
#include "Platform/AudioCapture.h"
#include "Platform/AudioOutputDevices.h"
#include "Platform/Core/Clock.h"
#include "QuillmereProfiles/AuxProtocol.h"
#include "support/AudioAnalysis.h"
#include "support/TestPlatform.h"

namespace qm::test {

// A connection that records what was sent to it (shared buffers by identity).
class RecordingConnection final : public Connection {
public:
    void setStateHandler(StateHandler) override {}
    void start(DispatchQueuePtr) override {}
    void receive(std::size_t, std::size_t, ReceiveCompletion) override {}
    void send(Bytes data, SendCompletion) override {
        std::lock_guard lock(mutex);
        sent.push_back(std::make_shared<const Bytes>(std::move(data)));
        sentAtNs.push_back(SystemClock::shared()->uptimeNs());
    }
    void send(SharedBytes data, SendCompletion) override {
        std::lock_guard lock(mutex);
        sent.push_back(std::move(data));
        sentAtNs.push_back(SystemClock::shared()->uptimeNs());
    }
    void startReceiving(std::size_t, ReceiveCompletion) override {}
    void setReceiveBufferSize(std::size_t) override {}
    void setSendLimit(std::size_t) override {}
    std::size_t queuedSendBytes() const override { return 0; }
    void cancel() override {}
    std::string remoteAddress() const override { return "test"; }

    std::vector<SharedBytes> messages() const {
        std::lock_guard lock(mutex);
        return sent;
    }
    // Texts of the host-status packets sent, in order.
    std::vector<std::string> statusTexts() const {
        std::vector<std::string> texts;
        for (const auto& message : messages()) {
            auto header = AuxPacketHeader::decode(*message);
            if (header && header->type == AuxPacketType::hostStatus) {
                texts.emplace_back(message->begin() + AuxPacketHeader::size, message->end());
            }
        }
        return texts;
    }
    std::vector<SharedBytes> audioFrames() const {
        std::vector<SharedBytes> frames;
        for (const auto& message : messages()) {
            auto header = AuxPacketHeader::decode(*message);
            if (header && header->type == AuxPacketType::audioFrame) frames.push_back(message);
        }
        return frames;
    }

    // Each audio packet's header timestamp and the uptime at which it was handed to this
    // connection, in order.
    std::vector<std::pair<std::uint64_t, std::uint64_t>> audioStampsAndArrivals() const {
        std::lock_guard lock(mutex);
        std::vector<std::pair<std::uint64_t, std::uint64_t>> out;
        for (std::size_t i = 0; i < sent.size(); ++i) {
            auto header = AuxPacketHeader::decode(*sent[i]);
            if (header && header->type == AuxPacketType::audioFrame) out.emplace_back(header->timestampNs, sentAtNs[i]);
        }
        return out;
    }

    mutable std::mutex mutex;
    std::vector<SharedBytes> sent;
    std::vector<std::uint64_t> sentAtNs;  // uptime of each send
};

// Decodes Opus packets (48 kHz stereo) and returns the left channel.
class OpusTestDecoder {
public:
    OpusTestDecoder() {
        int error = 0;
        decoder_ = opus_decoder_create(48000, 2, &error);
    }
    ~OpusTestDecoder() { opus_decoder_destroy(decoder_); }
    OpusTestDecoder(const OpusTestDecoder&) = delete;
    OpusTestDecoder& operator=(const OpusTestDecoder&) = delete;

    // Returns the number of samples per channel decoded (negative on error).
    int decode(const std::uint8_t* data, std::size_t size) {
        std::vector<float> pcm(5760 * 2);
        const int n = opus_decode_float(decoder_, data, static_cast<opus_int32>(size), pcm.data(), 5760, 0);
        for (int i = 0; i < n; ++i) left.push_back(pcm[static_cast<std::size_t>(i) * 2]);
        return n;
    }
    std::vector<float> left;

private:
    OpusDecoder* decoder_ = nullptr;
};

// The audio state on the virtual clock, with scripted sessions and simulated devices.
struct AudioHarness {
    ManualPlatform mp;
    std::shared_ptr<SimulatedDisplayService> displays = std::make_shared<SimulatedDisplayService>();
    std::shared_ptr<SimulatedAudioCapture> capture = std::make_shared<SimulatedAudioCapture>(displays);
    std::shared_ptr<SimulatedAudioOutputDevices> devices = std::make_shared<SimulatedAudioOutputDevices>();
    std::shared_ptr<SimulatedScreenCaptureAccess> access = std::make_shared<SimulatedScreenCaptureAccess>();
    std::shared_ptr<ManualDispatchQueue> serverQueue = mp.clock->makeQueue("v230.host.audio.aux");

    std::vector<UUID> authorized;
    std::map<UUID, std::shared_ptr<RecordingConnection>> connections;
    std::map<UUID, std::string> names;
    bool paused = false;
    DisplayID audioDisplay = 1;
    std::vector<std::string> published;
    std::shared_ptr<HostAudioServerState> audio;

    AudioHarness() {
        HostAudioEnvironment env;
        env.serverQueue = serverQueue;
        env.makeQueue = mp.platform.makeQueue;
        env.clock = mp.clock;
        env.audioCapture = capture;
        env.outputDevices = devices;
        env.screenCaptureAccess = access;
        env.publish = [this](const std::string& text) { published.push_back(text); };
        env.sendHostStatus = [](const std::string& text, const ConnectionPtr& connection) {
            connection->send(makeAuxPacket(AuxPacketType::hostStatus, 0,
                                           std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()), 0));
        };
        env.authorizedAudioSessions = [this] { return authorized; };
        env.audioConnection = [this](const UUID& id) -> ConnectionPtr {
            auto it = connections.find(id);
            return it == connections.end() ? nullptr : it->second;
        };
        env.viewerName = [this](const UUID& id) -> std::optional<std::string> {
            auto it = names.find(id);
            if (it == names.end()) return std::nullopt;
            return it->second;
        };
        env.isPaused = [this] { return paused; };
        env.audioDisplay = [this] { return HostAudioEnvironment::AudioDisplay{audioDisplay, audioDisplay}; };
        audio = HostAudioServerState::create(env);
    }

    UUID addViewer(const std::string& name, bool authorize = true) {
        const UUID id = UUID::random();
        connections[id] = std::make_shared<RecordingConnection>();
        names[id] = name;
        if (authorize) authorized.push_back(id);
        return id;
    }
    void removeViewer(const UUID& id) {
        std::erase(authorized, id);
        connections.erase(id);
    }
    // Runs `body` on the server queue, then everything that became ready.
    template <class F>
    void onServer(F&& body) {
        serverQueue->async(std::forward<F>(body));
        mp.clock->runUntilIdle();
    }
    void control(const UUID& id, std::uint8_t flags) {
        AudioControlPayload payload;
        payload.wantsExclusiveListening = (flags & 0x01) != 0;
        payload.wantsHostOutputMute = (flags & 0x04) != 0;
        auto connection = connections[id];
        onServer([this, payload, id, connection] { audio->applyAudioControl(payload, id, connection); });
    }
    std::vector<std::string> takePublished() { return std::exchange(published, {}); }
    std::uint32_t mainMute() { return *devices->device(40)->elements.at(0).mute; }
};

}  // namespace qm::test
