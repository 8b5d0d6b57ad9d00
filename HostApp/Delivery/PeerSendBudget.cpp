#include "HostApp/Delivery/PeerSendBudget.h"

namespace qm {

PeerSendBudget::Decision PeerSendBudget::admit(const std::string& viewer, std::size_t inFlight) {
    std::lock_guard lock(mutex_);
    const std::string who = "Viewer session " + viewer.substr(0, 8);
    auto burst = refusedInBurst_.find(viewer);
    if (inFlight < maxBatchesInFlight) {
        if (burst == refusedInBurst_.end()) return {true, std::nullopt};
        const auto refused = burst->second;
        refusedInBurst_.erase(burst);
        return {true, "files: refused " + std::to_string(refused) + " peer send request(s) from " + who +
                          " while " + std::to_string(maxBatchesInFlight) + " batches were on their way"};
    }
    if (burst != refusedInBurst_.end()) {
        ++burst->second;
        return {false, std::nullopt};
    }
    if (refusedInBurst_.size() >= maxRemembered) refusedInBurst_.erase(refusedInBurst_.begin());
    refusedInBurst_[viewer] = 1;
    return {false, "files: refusing peer send requests from " + who + ": " + std::to_string(inFlight) +
                       " batches on their way"};
}

}  // namespace qm
