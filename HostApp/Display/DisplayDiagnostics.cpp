// The display picker's entries and the multi-line display diagnostics.
#include "HostApp/Display/HostDisplayModeSwitcher.h"

namespace qm {

namespace {

std::string displayLine(const HostDisplayModeSwitcher& switcher, DisplayID d, DisplayID main) {
    const auto mode = switcher.displays() ? switcher.displays()->currentMode(d) : std::nullopt;
    return "display " + std::to_string(d) + (d == main ? " main" : "") + " bounds " + switcher.boundsDescription(d) +
           " current " + (mode ? HostDisplayModeSwitcher::modeDescription(*mode) : std::string("unknown"));
}

}  // namespace

std::vector<HostDisplayModeSwitcher::DisplayOption> HostDisplayModeSwitcher::displaySelectionOptions() const {
    std::vector<DisplayOption> options;
    const auto main = mainDisplayID();
    for (const auto d : displaysByAreaDescending(activeDisplayIDs())) options.push_back({d, displayLine(*this, d, main)});
    return options;
}

std::string HostDisplayModeSwitcher::displayDiagnostics() const {
    const auto ids = displaysByAreaDescending(activeDisplayIDs());
    if (ids.empty()) return "Displays: none";
    const auto main = mainDisplayID();
    std::string text = "Displays:\n";
    for (std::size_t i = 0; i < ids.size(); ++i) {
        if (i > 0) text += "\n";
        text += "  " + displayLine(*this, ids[i], main) + "\n    modes: " +
                displayModeListDescription(candidateModes(ids[i]));
    }
    return text;
}

}  // namespace qm
