// Conversion and encoding of one 20 ms block against bare libopus on the same samples.
#include <benchmark/benchmark.h>
#include <opus/opus.h>

#include <cmath>
#include <numbers>

#include "HostApp/Audio/HostOpusEncoder.h"
#include "HostApp/Audio/PcmConversion.h"
#include "Platform/AudioCapture.h"

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
BENCHMARK(BM_ConvertAndEncode);

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
BENCHMARK(BM_BareOpusEncodeFloat);

}  // namespace

BENCHMARK_MAIN();
