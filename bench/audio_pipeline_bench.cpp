// The Host's audio path per 20 ms block (conversion, encode, and the fan-out to 1, 4 and 16
// Viewer connections) against bare libopus on the same samples, in one run. Each case runs
// several times; the table shows wall time and CPU time side by side.
#include <benchmark/benchmark.h>
#include <opus/opus.h>

#include <cmath>
#include <map>
#include <numbers>

#include "HostApp/Audio/HostAudioServerState.h"
#include "HostApp/Audio/HostOpusEncoder.h"
#include "HostApp/Audio/PcmConversion.h"
#include "Platform/AudioCapture.h"
#include "Platform/Core/ManualDispatchQueue.h"

namespace {

qm::AudioSampleBuffer blockOf(std::uint64_t index) {
    return qm::makeToneBuffer(qm::AudioStreamBasicDescription{48000, qm::AudioFormatFlags::isSignedInteger, 16, 2}, false,
                              440, 0.3, index * 960, 960, 0);
}

void BM_ConvertAndEncode(benchmark::State& state) {
    qm::HostOpusEncoder encoder;
    const auto block = blockOf(0);
    std::uint64_t t = 0;
    for (auto _ : state) {
        auto pcm = qm::convertToInterleavedFloat32Stereo(*block.format, block.buffers);
        auto packets = encoder.encodeFrames(*pcm, t);
        benchmark::DoNotOptimize(packets);
        t += 20'000'000;
    }
}
BENCHMARK(BM_ConvertAndEncode)->Repetitions(5)->DisplayAggregatesOnly(true);

// A Viewer connection that takes the packet the way a socket's send queue does (holding the shared
// buffer) and lets it go, so the figure is the Host's own work up to the network layer.
class SinkConnection final : public qm::Connection {
public:
    void setStateHandler(StateHandler) override {}
    void start(qm::DispatchQueuePtr) override {}
    void receive(std::size_t, std::size_t, ReceiveCompletion) override {}
    void send(qm::Bytes data, SendCompletion) override { bytes += data.size(); }
    void send(qm::SharedBytes data, SendCompletion) override { bytes += data->size(); }
    void startReceiving(std::size_t, ReceiveCompletion) override {}
    void setReceiveBufferSize(std::size_t) override {}
    void setSendLimit(std::size_t) override {}
    std::size_t queuedSendBytes() const override { return 0; }
    void cancel() override {}
    std::string remoteAddress() const override { return "bench"; }
    std::size_t bytes = 0;
};

// Conversion, then the server's broadcast (encode, one packet built, sent to every connection of
// the send list, counters handed to the server queue), with state.range(0) listeners.
void BM_ConvertEncodeAndFanOut(benchmark::State& state) {
    auto clock = std::make_shared<qm::ManualClock>();
    auto serverQueue = clock->makeQueue("v230.host.audio.aux");
    std::vector<qm::UUID> ids;
    std::map<qm::UUID, std::shared_ptr<SinkConnection>> connections;
    for (std::int64_t i = 0; i < state.range(0); ++i) {
        ids.push_back(qm::UUID::random());
        connections[ids.back()] = std::make_shared<SinkConnection>();
    }
    qm::HostAudioEnvironment env;
    env.serverQueue = serverQueue;
    env.makeQueue = [clock](const std::string& label) -> qm::DispatchQueuePtr { return clock->makeQueue(label); };
    env.clock = clock;
    env.authorizedAudioSessions = [&] { return ids; };
    env.audioConnection = [&](const qm::UUID& id) -> qm::ConnectionPtr { return connections.at(id); };
    auto audio = qm::HostAudioServerState::create(env);
    audio->updateAudioSendConnections();

    const auto block = blockOf(0);
    std::uint64_t t = 0;
    for (auto _ : state) {
        auto pcm = qm::convertToInterleavedFloat32Stereo(*block.format, block.buffers);
        audio->broadcastAudioFrame(*pcm, t);
        clock->runUntilIdle();
        t += 20'000'000;
    }
    std::size_t sent = 0;
    for (const auto& [id, connection] : connections) sent += connection->bytes;
    state.counters["bytes/connection/block"] =
        benchmark::Counter(static_cast<double>(sent) / static_cast<double>(connections.size()) /
                           static_cast<double>(state.iterations()));
}
BENCHMARK(BM_ConvertEncodeAndFanOut)->Arg(1)->Arg(4)->Arg(16)->Repetitions(5)->DisplayAggregatesOnly(true);

void BM_BareOpusEncodeFloat(benchmark::State& state) {
    int error = 0;
    OpusEncoder* encoder = opus_encoder_create(48000, 2, OPUS_APPLICATION_AUDIO, &error);
    opus_encoder_ctl(encoder, OPUS_SET_BITRATE(512000));
    opus_encoder_ctl(encoder, OPUS_SET_COMPLEXITY(10));
    opus_encoder_ctl(encoder, OPUS_SET_VBR(1));
    opus_encoder_ctl(encoder, OPUS_SET_VBR_CONSTRAINT(1));
    opus_encoder_ctl(encoder, OPUS_SET_MAX_BANDWIDTH(OPUS_BANDWIDTH_FULLBAND));
    opus_encoder_ctl(encoder, OPUS_SET_SIGNAL(OPUS_SIGNAL_MUSIC));
    const auto block = blockOf(0);
    const auto pcm = *qm::convertToInterleavedFloat32Stereo(*block.format, block.buffers);
    std::vector<unsigned char> out(4000);
    for (auto _ : state) {
        const int n = opus_encode_float(encoder, reinterpret_cast<const float*>(pcm.data()), 960, out.data(), 4000);
        benchmark::DoNotOptimize(n);
    }
    opus_encoder_destroy(encoder);
}
BENCHMARK(BM_BareOpusEncodeFloat)->Repetitions(5)->DisplayAggregatesOnly(true);

}  // namespace

BENCHMARK_MAIN();
