#include "support/Soak.h"

#include <malloc.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>

#include "support/LiveServer.h"
#include "support/TestViewer.h"

namespace qm::test {

std::size_t openDescriptors() {
    std::size_t count = 0;
    std::error_code ec;
    for (std::filesystem::directory_iterator it("/proc/self/fd", ec), end; !ec && it != end; it.increment(ec)) ++count;
    return count > 0 ? count - 1 : 0;  // less the one the listing itself holds open
}

std::int64_t residentKilobytes() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) return std::stoll(line.substr(6));
    }
    return 0;
}

std::int64_t heapInUseKilobytes() {
    const auto info = ::mallinfo2();
    return static_cast<std::int64_t>((info.uordblks + info.hblkhd) / 1024);
}

namespace {

// One Viewer lifetime; an empty answer when it went through, else what failed.
std::string runCycle(LiveServer& live, std::size_t cycle) {
    auto control = std::make_unique<TestViewer>(live.ports().control);
    auto signedIn = control->signIn(LiveServer::user, LiveServer::password, "Soak Viewer");
    if (!signedIn || !signedIn->accepted) return "control sign-in failed";
    auto frame = control->waitFor(AuxPacketType::fileTransferEndpoint);
    auto endpoint = frame ? FileTransferEndpointPayload::decode(frame->payload) : std::nullopt;
    if (!endpoint) return "no file-transfer endpoint";
    auto channel = std::make_unique<TestFileChannel>(endpoint->port);
    channel->sendFrame(Bytes(endpoint->token.begin(), endpoint->token.end()));
    if (!waitUntil([&] { return live.server().connectedFileTransferPeers().size() == 1; })) return "file channel not bound";
    auto video = std::make_unique<TestViewer>(live.ports().video);
    signedIn = video->signIn(LiveServer::user, LiveServer::password, "Soak Viewer");
    if (!signedIn || !signedIn->accepted) return "video sign-in failed";

    switch (cycle % 3) {
    case 0:
        control.reset();
        video.reset();
        channel.reset();
        break;
    case 1:
        video.reset();
        channel.reset();
        control.reset();
        break;
    default:
        channel.reset();
        control.reset();
        video.reset();
        break;
    }
    if (!waitUntil([&] { return live.server().resourceCounts() == V230HostAudioAuxServer::ResourceCounts{}; })) {
        return "resource counts did not return to zero";
    }
    return {};
}

SoakSample sampleAt(std::size_t cycle, std::size_t settledDescriptors) {
    // Give the network thread a moment to close the Host's ends of the last cycle's sockets.
    waitUntil([&] { return openDescriptors() <= settledDescriptors; }, std::chrono::seconds(2));
    return SoakSample{cycle, openDescriptors(), residentKilobytes(), heapInUseKilobytes()};
}

}  // namespace

SoakReport runSoak(LiveServer& live, std::size_t cycles, std::size_t sampleEvery, double warmUpSeconds,
                   const std::function<void(const SoakSample&)>& onSample) {
    SoakReport report;
    const auto warmUpEnd = std::chrono::steady_clock::now() + std::chrono::duration<double>(warmUpSeconds);
    for (std::size_t i = 0; std::chrono::steady_clock::now() < warmUpEnd; ++i) {
        if (auto failure = runCycle(live, i); !failure.empty()) {
            report.failure = "warm-up cycle " + std::to_string(i + 1) + ": " + failure;
            return report;
        }
    }
    auto take = [&](std::size_t cycle) {
        const auto settled = report.samples.empty() ? openDescriptors() : report.samples.front().descriptors;
        report.samples.push_back(sampleAt(cycle, settled));
        if (onSample) onSample(report.samples.back());
    };
    take(0);
    sampleEvery = std::max<std::size_t>(sampleEvery, 1);
    for (std::size_t i = 1; i <= cycles; ++i) {
        if (auto failure = runCycle(live, i); !failure.empty()) {
            report.failure = "cycle " + std::to_string(i) + ": " + failure;
            return report;
        }
        report.cyclesRun = i;
        if (i % sampleEvery == 0 || i == cycles) take(i);
    }
    return report;
}

std::string soakVerdict(const SoakReport& report, const SoakTolerance& tolerance, bool judgeMemory) {
    if (!report.failure.empty()) return report.failure;
    if (report.samples.size() < 2) return "too few samples";
    const auto& first = report.samples.front();
    std::string out;
    for (const auto& sample : report.samples) {
        if (sample.descriptors > first.descriptors + tolerance.descriptors) {
            out += "descriptors " + std::to_string(first.descriptors) + " -> " + std::to_string(sample.descriptors) +
                   " at cycle " + std::to_string(sample.cycle) + "; ";
            break;
        }
    }
    if (judgeMemory) {
        auto judge = [&](const char* what, std::int64_t SoakSample::*field, std::int64_t allowed) {
            for (const auto& sample : report.samples) {
                if (sample.*field > first.*field + allowed) {
                    out += std::string(what) + " " + std::to_string(first.*field) + " kB -> " +
                           std::to_string(sample.*field) + " kB at cycle " + std::to_string(sample.cycle) + "; ";
                    return;
                }
            }
        };
        judge("heap in use", &SoakSample::heapInUseKB, tolerance.heapInUseKB);
        judge("resident memory", &SoakSample::residentKB, tolerance.residentKB);
    }
    return out;
}

}  // namespace qm::test
