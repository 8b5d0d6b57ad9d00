#pragma once

#include <cstdint>
#include <unordered_map>
#include <unordered_set>

#include "Platform/Core/UUID.h"

namespace qm {

// The acknowledgement gate: whether the encoder must pause because the Viewers that still
// acknowledge have fallen more than a window behind. Viewers far behind (more than twice the
// window) or silent for over 1.5 s no longer hold everyone else back.
struct VideoFlowGateResult {
    std::int64_t totalOutstanding = 0;  // frames sent and not acknowledged, over all video sessions
    bool blocked = false;
};

struct VideoFlowGateInput {
    const std::unordered_set<UUID>& sessions;
    const std::unordered_map<UUID, std::int64_t>& outstandingAcks;
    const std::unordered_map<UUID, std::uint64_t>& lastAckNs;
    const std::unordered_map<UUID, std::uint64_t>& lastFrameSentNs;
    std::int64_t congestionWindow;
    std::uint64_t nowNs;
};

VideoFlowGateResult evaluateVideoFlowGate(const VideoFlowGateInput& input);

}  // namespace qm
