#include "HostApp/Server/VideoFlowGate.h"

#include <algorithm>

namespace qm {

namespace {
constexpr std::uint64_t silentAckLimitNs = 1'500'000'000ULL;

template <class Map>
auto lookup(const Map& map, const UUID& id) -> std::optional<typename Map::mapped_type> {
    auto it = map.find(id);
    if (it == map.end()) return std::nullopt;
    return it->second;
}
}  // namespace

VideoFlowGateResult evaluateVideoFlowGate(const VideoFlowGateInput& in) {
    const std::int64_t window = in.congestionWindow;
    std::int64_t total = 0, sessionCount = 0, includedSum = 0, includedCount = 0;
    for (const auto& id : in.sessions) {
        const std::int64_t raw = lookup(in.outstandingAcks, id).value_or(0);
        const std::int64_t outstanding = std::max<std::int64_t>(0, raw);
        total += outstanding;
        ++sessionCount;

        bool included;
        if (raw > 2 * window) {
            included = false;
        } else if (raw <= window) {
            included = true;
        } else {
            auto reference = lookup(in.lastAckNs, id);
            if (!reference) reference = lookup(in.lastFrameSentNs, id);
            included = !(reference && *reference != 0 && in.nowNs > *reference &&
                         in.nowNs - *reference > silentAckLimitNs);
        }
        if (included) {
            includedSum += outstanding;
            ++includedCount;
        }
    }

    const std::int64_t effectiveWindow = std::max<std::int64_t>(1, window);
    bool blocked = false;
    if (includedCount > 0) {
        blocked = effectiveWindow * includedCount < includedSum;
    } else if (sessionCount >= 1) {
        blocked = effectiveWindow * sessionCount < total;
    }
    return {total, blocked};
}

}  // namespace qm
