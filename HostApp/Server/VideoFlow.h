#pragma once

#include <cstdint>
#include <deque>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "HostApp/Server/VideoFlowGate.h"
#include "Platform/Core/UUID.h"

namespace qm {

// Acknowledgement-based flow control of the video stream: what each video session was sent and
// has acknowledged, the congestion window W, and the gate that pauses the encoder. Owned by the
// server queue.
//
// Acknowledgements are cumulative. A Viewer more than 2W frames behind is sent nothing more
// until it catches up, then resumes at the next keyframe, so the Host never queues an unbounded
// backlog for a Viewer that stopped reading.
class VideoFlow {
public:
    std::unordered_map<UUID, std::int64_t> videoSessionOutstandingAcks;
    std::unordered_map<UUID, std::uint64_t> videoSessionLastAckNs;
    std::unordered_map<UUID, std::uint64_t> videoSessionLastFrameSentNs;
    // Frame numbers sent to each session and not yet acknowledged, oldest first.
    std::unordered_map<UUID, std::deque<std::uint64_t>> videoSessionSentFrames;
    // Sessions that fell too far behind and get frames again from the next keyframe on.
    std::unordered_set<UUID> videoSessionsAwaitingKeyframe;
    std::int64_t currentVideoCongestionWindow = 4;
    // One past the newest frame number of the stream handled so far.
    std::uint64_t nextFrameNumber = 0;
    // The gate's last evaluation: frames outstanding over every session, and whether it is closed.
    std::int64_t videoSendInFlight = 0;
    bool videoEncodeBlocked = false;

    // The window for a stream of this frame rate: about a tenth of a second of frames, at least
    // 3 and at most 8, so a LAN round trip never closes it while a stalled Viewer closes it
    // within a few frames.
    static std::int64_t congestionWindowFor(std::int64_t fps);

    // A new stream: every listed session starts with nothing outstanding; the window follows fps.
    void reset(const std::unordered_set<UUID>& sessions, std::int64_t fps);
    // A session that signed in on the video channel starts with nothing outstanding.
    void add(const UUID& id);
    // Whether this frame goes to the session. A session far behind is marked to wait for a
    // keyframe, and a waiting one is let through again at a keyframe.
    bool admit(const UUID& id, bool isKeyframe);
    void sent(const UUID& id, std::uint64_t frameNumber, std::uint64_t nowNs);
    // The stream's frame `frameNumber` reached the server queue (sent to any session or not).
    void handled(std::uint64_t frameNumber);
    // The oldest frame number a session was sent and has not acknowledged; with nothing
    // outstanding anywhere, the number after the last frame handled (0 before the first).
    std::uint64_t oldestUnacknowledged() const;
    // Records a cumulative acknowledgement; an ack for a frame the session was not sent, or one
    // it acknowledged already, changes nothing. True when the session waits for a keyframe and is
    // back within the window, so one should be asked for.
    bool ack(const UUID& id, std::uint64_t frameNumber, std::uint64_t nowNs);
    // Evaluates the gate over the signed-in video sessions and keeps the result.
    VideoFlowGateResult evaluate(const std::unordered_set<UUID>& sessions, std::uint64_t nowNs);
    // Sessions that have frames outstanding and have said nothing for longer than `silenceNs`.
    std::vector<UUID> silentSessions(const std::unordered_set<UUID>& sessions, std::uint64_t nowNs,
                                     std::uint64_t silenceNs) const;
    void forget(const UUID& id);

    std::size_t entryCount() const;
};

}  // namespace qm
