// The mode each display had before this process first switched it, and putting it back.
#include <algorithm>

#include "HostApp/Display/HostDisplayModeSwitcher.h"

namespace qm {

void HostDisplayModeSwitcher::rememberOriginalModeIfNeeded(DisplayID displayID) {
    if (displayID == 0 || savedModes.contains(displayID)) return;
    // No current mode: nothing is saved, and the next switch tries again.
    if (auto current = displays_->currentMode(displayID)) savedModes[displayID] = SavedDisplayMode{*current};
}

std::optional<DisplayMode> HostDisplayModeSwitcher::savedMode(DisplayID displayID) const {
    std::lock_guard lock(savedModeLock);
    auto it = savedModes.find(displayID);
    if (it == savedModes.end()) return std::nullopt;
    return it->second.mode;
}

std::vector<DisplayID> HostDisplayModeSwitcher::savedDisplayIDs() const {
    std::lock_guard lock(savedModeLock);
    std::vector<DisplayID> ids;
    for (auto& [id, saved] : savedModes) ids.push_back(id);
    return ids;
}

std::optional<HostDisplayModeSwitcher::SwitchResult> HostDisplayModeSwitcher::restoreOriginalMode(DisplayID displayID) {
    if (displayID == 0) return std::nullopt;
    const auto saved = savedMode(displayID);
    if (!saved) return std::nullopt;
    auto result = applyDisplayMode(*saved, displayID, "restore");
    if (result.isSuccess()) {
        std::lock_guard lock(savedModeLock);
        savedModes.erase(displayID);
    }
    return result;
}

std::vector<std::string> HostDisplayModeSwitcher::restoreAllOriginalModes() {
    auto ids = savedDisplayIDs();
    std::sort(ids.begin(), ids.end());
    std::vector<std::string> lines;
    for (const auto d : ids) {
        if (d == 0) continue;
        // Looked up again: a concurrent restore may have put it back meanwhile.
        const auto saved = savedMode(d);
        if (!saved) continue;
        auto result = applyDisplayMode(*saved, d, "restore");
        if (result.isSuccess()) {
            {
                std::lock_guard lock(savedModeLock);
                savedModes.erase(d);
            }
            lines.push_back("restored " + result.geometry->summary());
        } else {
            lines.push_back("restore display " + std::to_string(d) + " failed: " + result.failureText);
        }
    }
    return lines;
}

}  // namespace qm
