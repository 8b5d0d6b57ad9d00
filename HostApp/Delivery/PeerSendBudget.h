#pragma once

#include <cstddef>
#include <map>
#include <mutex>
#include <optional>
#include <string>

namespace qm {

// How many of a Viewer's requests for Host files may be on their way at once. A request beyond
// that is refused; the refusals of one burst cost two log lines (its first, and its count once
// the Viewer is served again), however many requests the burst holds. Thread-safe.
class PeerSendBudget {
public:
    // Batches on their way to one Viewer, requested or not, beyond which its requests are refused.
    static constexpr std::size_t maxBatchesInFlight = 4;
    // Viewers with an unfinished burst remembered at once; past it the oldest burst's count is
    // dropped unlogged.
    static constexpr std::size_t maxRemembered = 64;

    struct Decision {
        bool admitted = false;
        // A line for the log, if this request starts or ends a burst of refusals.
        std::optional<std::string> line;
    };
    // `viewer` is the Viewer's session id text; `inFlight` the batches on their way to it now.
    Decision admit(const std::string& viewer, std::size_t inFlight);

private:
    std::mutex mutex_;
    std::map<std::string, std::size_t> refusedInBurst_;
};

}  // namespace qm
