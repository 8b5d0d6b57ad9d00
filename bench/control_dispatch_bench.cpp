// Control-packet dispatch: frames per second through the session buffer, the frame reader and the
// server's dispatcher, against the frame reader alone and a plain copy of the same bytes.
#include <benchmark/benchmark.h>

#include <cstring>

#include "HostApp/Server/V230HostAudioAuxServer.h"
#include "QuillmereProfiles/InputPayloads.h"
#include "support/InMemoryViewer.h"

using namespace qm;

namespace {

constexpr int framesPerBatch = 1000;

Bytes pointerBatch() {
    Bytes batch;
    for (int i = 0; i < framesPerBatch; ++i) {
        PointerEventControlPayload event;
        event.buttonMask = static_cast<std::uint8_t>(i & 1);
        event.x = static_cast<std::uint16_t>(i);
        event.y = static_cast<std::uint16_t>(i / 2);
        event.framebufferWidth = 1920;
        event.framebufferHeight = 1080;
        auto packet = makeAuxPacket(AuxPacketType::pointerEvent, 0, event.encode(), 0);
        batch.insert(batch.end(), packet.begin(), packet.end());
    }
    return batch;
}

void BM_ServerDispatch(benchmark::State& state) {
    test::ManualServer host;
    test::InMemoryViewer viewer(host, host.server().boundPorts().control);
    const auto batch = pointerBatch();
    for (auto _ : state) viewer.sendRaw(batch);
    state.SetItemsProcessed(state.iterations() * framesPerBatch);
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(batch.size()));
}

void BM_FrameReaderOnly(benchmark::State& state) {
    const auto batch = pointerBatch();
    AuxFrameReader reader;
    for (auto _ : state) {
        reader.append(batch);
        std::size_t count = 0;
        while (auto frame = reader.nextFrame()) {
            benchmark::DoNotOptimize(frame->payload.data());
            ++count;
        }
        if (count != framesPerBatch) state.SkipWithError("frames lost");
    }
    state.SetItemsProcessed(state.iterations() * framesPerBatch);
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(batch.size()));
}

// The reader's zero-copy path, which the server uses: each frame is cut straight from the bytes
// read and handed on as a view.
void BM_FrameReaderViews(benchmark::State& state) {
    const auto batch = pointerBatch();
    AuxFrameReader reader;
    for (auto _ : state) {
        std::size_t count = 0;
        reader.consume(batch, [&](const AuxFrameView& frame) {
            benchmark::DoNotOptimize(frame.payload.data());
            ++count;
            return true;
        });
        if (count != framesPerBatch) state.SkipWithError("frames lost");
    }
    state.SetItemsProcessed(state.iterations() * framesPerBatch);
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(batch.size()));
}

void BM_PlainCopy(benchmark::State& state) {
    const auto batch = pointerBatch();
    Bytes target(batch.size());
    for (auto _ : state) {
        std::memcpy(target.data(), batch.data(), batch.size());
        benchmark::DoNotOptimize(target.data());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * framesPerBatch);
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(batch.size()));
}

}  // namespace

BENCHMARK(BM_ServerDispatch);
BENCHMARK(BM_FrameReaderOnly);
BENCHMARK(BM_FrameReaderViews);
BENCHMARK(BM_PlainCopy);
BENCHMARK_MAIN();
