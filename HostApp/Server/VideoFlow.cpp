#include "HostApp/Server/VideoFlow.h"

#include <algorithm>

namespace qm {

std::int64_t VideoFlow::congestionWindowFor(std::int64_t fps) {
    return std::clamp<std::int64_t>(fps / 10, 3, 8);
}

void VideoFlow::reset(const std::unordered_set<UUID>& sessions, std::int64_t fps) {
    videoSessionOutstandingAcks.clear();
    videoSessionLastAckNs.clear();
    videoSessionLastFrameSentNs.clear();
    videoSessionSentFrames.clear();
    videoSessionsAwaitingKeyframe.clear();
    currentVideoCongestionWindow = congestionWindowFor(fps);
    for (const auto& id : sessions) add(id);
    videoSendInFlight = 0;
    videoEncodeBlocked = false;
    nextFrameNumber = 0;
}

void VideoFlow::add(const UUID& id) {
    videoSessionOutstandingAcks[id] = 0;
    videoSessionSentFrames[id].clear();
    videoSessionsAwaitingKeyframe.erase(id);
}

bool VideoFlow::admit(const UUID& id, bool isKeyframe) {
    const std::int64_t farBehind = 2 * std::max<std::int64_t>(1, currentVideoCongestionWindow);
    auto sent = videoSessionSentFrames.find(id);
    if (sent != videoSessionSentFrames.end() && static_cast<std::int64_t>(sent->second.size()) > farBehind) {
        videoSessionsAwaitingKeyframe.insert(id);
        return false;
    }
    if (auto waiting = videoSessionsAwaitingKeyframe.find(id); waiting != videoSessionsAwaitingKeyframe.end()) {
        if (!isKeyframe) return false;
        videoSessionsAwaitingKeyframe.erase(waiting);
    }
    return true;
}

void VideoFlow::sent(const UUID& id, std::uint64_t frameNumber, std::uint64_t nowNs) {
    auto& sent = videoSessionSentFrames[id];
    sent.push_back(frameNumber);
    videoSessionOutstandingAcks[id] = static_cast<std::int64_t>(sent.size());
    videoSessionLastFrameSentNs[id] = nowNs;
}

void VideoFlow::handled(std::uint64_t frameNumber) {
    nextFrameNumber = std::max(nextFrameNumber, frameNumber + 1);
}

std::uint64_t VideoFlow::oldestUnacknowledged() const {
    std::uint64_t oldest = nextFrameNumber;
    for (const auto& [id, sent] : videoSessionSentFrames) {
        if (!sent.empty()) oldest = std::min(oldest, sent.front());
    }
    return oldest;
}

bool VideoFlow::ack(const UUID& id, std::uint64_t frameNumber, std::uint64_t nowNs) {
    auto it = videoSessionSentFrames.find(id);
    if (it == videoSessionSentFrames.end()) return false;
    auto& sent = it->second;
    if (sent.empty() || frameNumber < sent.front() || frameNumber > sent.back()) return false;
    while (!sent.empty() && sent.front() <= frameNumber) sent.pop_front();
    videoSessionOutstandingAcks[id] = static_cast<std::int64_t>(sent.size());
    videoSessionLastAckNs[id] = nowNs;
    return videoSessionsAwaitingKeyframe.contains(id) &&
           static_cast<std::int64_t>(sent.size()) <= currentVideoCongestionWindow;
}

VideoFlowGateResult VideoFlow::evaluate(const std::unordered_set<UUID>& sessions, std::uint64_t nowNs) {
    const auto result = evaluateVideoFlowGate({sessions, videoSessionOutstandingAcks, videoSessionLastAckNs,
                                               videoSessionLastFrameSentNs, currentVideoCongestionWindow, nowNs});
    videoSendInFlight = result.totalOutstanding;
    videoEncodeBlocked = result.blocked;
    return result;
}

std::vector<UUID> VideoFlow::silentSessions(const std::unordered_set<UUID>& sessions, std::uint64_t nowNs,
                                            std::uint64_t silenceNs) const {
    std::vector<UUID> silent;
    for (const auto& id : sessions) {
        auto outstanding = videoSessionOutstandingAcks.find(id);
        if (outstanding == videoSessionOutstandingAcks.end() || outstanding->second <= 0) continue;
        std::uint64_t reference = 0;
        if (auto ack = videoSessionLastAckNs.find(id); ack != videoSessionLastAckNs.end()) {
            reference = ack->second;
        } else if (auto sent = videoSessionLastFrameSentNs.find(id); sent != videoSessionLastFrameSentNs.end()) {
            reference = sent->second;
        }
        if (reference != 0 && nowNs > reference && nowNs - reference > silenceNs) silent.push_back(id);
    }
    return silent;
}

void VideoFlow::forget(const UUID& id) {
    videoSessionOutstandingAcks.erase(id);
    videoSessionLastAckNs.erase(id);
    videoSessionLastFrameSentNs.erase(id);
    videoSessionSentFrames.erase(id);
    videoSessionsAwaitingKeyframe.erase(id);
}

std::size_t VideoFlow::entryCount() const {
    return videoSessionOutstandingAcks.size() + videoSessionLastAckNs.size() + videoSessionLastFrameSentNs.size() +
           videoSessionSentFrames.size() + videoSessionsAwaitingKeyframe.size();
}

}  // namespace qm
