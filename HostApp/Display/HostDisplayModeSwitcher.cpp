// Switching a physical display to the mode closest to a requested size.
#include "HostApp/Display/HostDisplayModeSwitcher.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "Platform/Core/Geometry.h"
#include "QuillmereProfiles/DisplayProfiles.h"

namespace qm {

namespace {

constexpr double settlePollInterval = 0.12;
constexpr double alreadyCurrentSettleTimeout = 0.8;
constexpr double appliedSettleTimeout = 3.0;
constexpr std::size_t maxBestCandidates = 12;
constexpr std::size_t maxRejectionsPerNote = 8;

std::string str(std::int64_t value) { return std::to_string(value); }

std::string sizeText(const DisplayMode& mode) {
    return str(mode.width) + "x" + str(mode.height) + "[px " + str(mode.effectivePixelWidth()) + "x" +
           str(mode.effectivePixelHeight()) + "]";
}

std::string joined(const std::vector<std::string>& pieces, const std::string& separator, std::size_t limit = SIZE_MAX) {
    std::string text;
    for (std::size_t i = 0; i < pieces.size() && i < limit; ++i) {
        if (i > 0) text += separator;
        text += pieces[i];
    }
    return text;
}

}  // namespace

void HostDisplayModeSwitcher::writeDiagnostic(const std::string& line) const {
    if (diagnosticSink) {
        diagnosticSink(line);
    } else {
        std::fprintf(stderr, "%s\n", line.c_str());
    }
}

HostDisplayModeSwitcher::ModeTarget HostDisplayModeSwitcher::displayModeTarget(VideoCaptureMode mode) {
    const auto profile = DisplayProfileCatalog::modeProfile(static_cast<std::uint8_t>(mode))
                             .value_or(DisplayProfileCatalog::easy());
    const auto& resolution = profile.resolution;
    // No catalogue request demands an exact mode: the closest one is always acceptable.
    return ModeTarget{resolution.logicalWidth, resolution.logicalHeight, resolution.pixelWidth,
                      resolution.pixelHeight, profile.preferHiDPIPhysicalSwitch, false};
}

std::vector<DisplayID> HostDisplayModeSwitcher::orderedActiveDisplayIDs(std::optional<DisplayID> preferredDisplayID,
                                                                        bool allowFallback) const {
    auto active = activeDisplayIDs();
    if (active.empty()) active = {mainDisplayID()};
    auto isActive = [&](DisplayID id) { return std::find(active.begin(), active.end(), id) != active.end(); };

    if (preferredDisplayID && !allowFallback) {
        if (isActive(*preferredDisplayID)) return {*preferredDisplayID};
        return {};
    }
    std::vector<DisplayID> ordered;
    auto add = [&](DisplayID id) {
        if (std::find(ordered.begin(), ordered.end(), id) == ordered.end()) ordered.push_back(id);
    };
    if (preferredDisplayID && isActive(*preferredDisplayID)) add(*preferredDisplayID);
    if (const auto main = mainDisplayID(); isActive(main)) add(main);
    for (const auto id : displaysByAreaDescending(active)) add(id);
    return ordered;
}

std::optional<DisplayID> HostDisplayModeSwitcher::nextDisplayID(DisplayID after) const {
    const auto ordered = orderedActiveDisplayIDs(std::nullopt, true);
    if (ordered.empty()) return std::nullopt;
    auto it = std::find(ordered.begin(), ordered.end(), after);
    if (it == ordered.end() || std::next(it) == ordered.end()) return ordered.front();
    return *std::next(it);
}

std::int64_t HostDisplayModeSwitcher::candidateScore(const DisplayMode& mode, std::int64_t targetLogicalWidth,
                                                     std::int64_t targetLogicalHeight, std::int64_t targetPixelWidth,
                                                     std::int64_t targetPixelHeight, bool preferHiDPI) {
    const std::int64_t logicalDelta =
        std::llabs(mode.width - targetLogicalWidth) + std::llabs(mode.height - targetLogicalHeight);
    const bool hasPixelTarget = targetPixelWidth > 0 && targetPixelHeight > 0;
    const std::int64_t pixelDelta = hasPixelTarget ? std::llabs(mode.effectivePixelWidth() - targetPixelWidth) +
                                                         std::llabs(mode.effectivePixelHeight() - targetPixelHeight)
                                                   : 0;
    const std::int64_t logicalWeight = preferHiDPI ? 3000 : 300;
    const std::int64_t pixelWeight = preferHiDPI ? 1500 : 10000;
    const std::int64_t hiDPIPenalty = mode.isHiDPI() != preferHiDPI ? 800000 : 0;
    const std::int64_t refresh = mode.refreshRate > 0 ? roundedInt(mode.refreshRate) : 60;
    const std::int64_t refreshPenalty = std::max<std::int64_t>(0, 240 - refresh);
    return pixelDelta * pixelWeight + logicalDelta * logicalWeight + hiDPIPenalty + refreshPenalty;
}

std::vector<DisplayMode> HostDisplayModeSwitcher::displayModeCandidates(
    const std::vector<DisplayMode>& modes, std::int64_t targetLogicalWidth, std::int64_t targetLogicalHeight,
    std::int64_t targetPixelWidth, std::int64_t targetPixelHeight, bool preferHiDPI) {
    auto ordered = modes;
    auto score = [&](const DisplayMode& mode) {
        return candidateScore(mode, targetLogicalWidth, targetLogicalHeight, targetPixelWidth, targetPixelHeight,
                              preferHiDPI);
    };
    std::stable_sort(ordered.begin(), ordered.end(), [&](const DisplayMode& a, const DisplayMode& b) {
        const auto sa = score(a), sb = score(b);
        if (sa != sb) return sa < sb;
        return a.effectivePixelWidth() > b.effectivePixelWidth();
    });
    return ordered;
}

std::vector<DisplayMode> HostDisplayModeSwitcher::candidateModes(DisplayID displayID) const {
    return displays_ ? displays_->allDisplayModes(displayID, true) : std::vector<DisplayMode>{};
}

bool HostDisplayModeSwitcher::isSameMode(const DisplayMode& a, const DisplayMode& b) {
    if (a.ioDisplayModeID != 0 && b.ioDisplayModeID != 0 && a.ioDisplayModeID == b.ioDisplayModeID) return true;
    return a.width == b.width && a.height == b.height && a.effectivePixelWidth() == b.effectivePixelWidth() &&
           a.effectivePixelHeight() == b.effectivePixelHeight() && std::fabs(a.refreshRate - b.refreshRate) < 0.6;
}

bool HostDisplayModeSwitcher::waitForDisplay(DisplayID displayID, const DisplayMode& toEqual, double timeout) const {
    auto matches = [&] {
        auto current = displays_ ? displays_->currentMode(displayID) : std::nullopt;
        return current && isSameMode(*current, toEqual);
    };
    const auto deadline = clock_->uptimeNs() + nsFromSeconds(timeout);
    do {
        if (matches()) return true;
        clock_->sleep(settlePollInterval);
    } while (clock_->uptimeNs() < deadline);
    return matches();
}

HostDisplayModeSwitcher::SwitchResult HostDisplayModeSwitcher::switchDisplayMode(
    std::int64_t W, std::int64_t H, std::int64_t PW, std::int64_t PH, bool preferHiDPI, bool requireExactMatch,
    std::optional<DisplayID> preferredDisplayID, bool allowFallback) {
    const auto displayIDs = orderedActiveDisplayIDs(preferredDisplayID, allowFallback);
    if (displayIDs.empty()) return SwitchResult::failure("Host has no active displays");
    const bool hasPixelTarget = PW > 0 && PH > 0;

    std::vector<std::string> notes;
    for (const auto d : displayIDs) {
        const auto listed = candidateModes(d);
        if (listed.empty()) {
            notes.push_back("display " + std::to_string(d) + " has no switchable modes");
            continue;
        }
        std::vector<DisplayMode> usable;
        for (const auto& mode : listed) {
            if (mode.usableForDesktopGUI) usable.push_back(mode);
        }

        std::vector<DisplayMode> candidates;
        if (requireExactMatch) {
            std::vector<DisplayMode> exact;
            for (const auto& mode : usable) {
                if (mode.width != W || mode.height != H) continue;
                if (hasPixelTarget && (mode.effectivePixelWidth() != PW || mode.effectivePixelHeight() != PH)) continue;
                exact.push_back(mode);
            }
            candidates = displayModeCandidates(exact, W, H, PW, PH, preferHiDPI);
        } else {
            const double targetAspect = static_cast<double>(PW) / static_cast<double>(std::max<std::int64_t>(1, PH));
            std::vector<DisplayMode> sameAspect;
            for (const auto& mode : usable) {
                const auto pw = mode.effectivePixelWidth(), ph = mode.effectivePixelHeight();
                if (pw <= 0 || ph <= 0) continue;
                if (std::fabs(static_cast<double>(pw) / static_cast<double>(ph) - targetAspect) < 0.12) {
                    sameAspect.push_back(mode);
                }
            }
            candidates = displayModeCandidates(sameAspect.empty() ? usable : sameAspect, W, H, PW, PH, preferHiDPI);
            if (candidates.size() > maxBestCandidates) candidates.resize(maxBestCandidates);
        }
        if (candidates.empty()) {
            notes.push_back("display " + std::to_string(d) + " bounds " + boundsDescription(d) + " has no " +
                            (requireExactMatch ? "exact" : "best") + " candidate for logical " + str(W) + "x" + str(H) +
                            " / pixel " + str(PW) + "x" + str(PH) + "; modes: " + displayModeListDescription(listed));
            continue;
        }

        std::vector<std::string> rejections;
        for (const auto& c : candidates) {
            writeDiagnostic("[QuillmereHost] display switch try display=" + std::to_string(d) + " target=" + str(W) +
                            "x" + str(H) + " px=" + str(PW) + "x" + str(PH) +
                            " preferHiDPI=" + (preferHiDPI ? "true" : "false") + " -> point=" + str(c.width) + "x" +
                            str(c.height) + " pixel=" + str(c.effectivePixelWidth()) + "x" +
                            str(c.effectivePixelHeight()) + " id=" + std::to_string(c.ioDisplayModeID));

            if (auto current = displays_->currentMode(d); current && isSameMode(*current, c)) {
                if (waitForDisplay(d, c, alreadyCurrentSettleTimeout)) {
                    return SwitchResult::success(currentGeometry(d, c));
                }
                rejections.push_back(sizeText(c) + " already current but did not settle");
                continue;
            }

            if (d != 0) {
                std::lock_guard lock(savedModeLock);
                rememberOriginalModeIfNeeded(d);
            }

            DisplayConfigurationRef configuration = 0;
            if (displays_->beginDisplayConfiguration(configuration) != displayErrorSuccess || configuration == 0) {
                return SwitchResult::failure("display configuration could not begin");
            }
            if (const auto error = displays_->configureDisplayWithDisplayMode(configuration, d, c);
                error != displayErrorSuccess) {
                displays_->cancelDisplayConfiguration(configuration);
                rejections.push_back(sizeText(c) + " CG " + std::to_string(error));
                continue;
            }
            if (const auto error = displays_->completeDisplayConfiguration(configuration, DisplayConfigureOption::forSession);
                error != displayErrorSuccess) {
                rejections.push_back(sizeText(c) + " CG " + std::to_string(error));
                continue;
            }
            if (!waitForDisplay(d, c, appliedSettleTimeout)) {
                rejections.push_back(sizeText(c) + " applied but actual is " + actualDisplayDescription(d));
                continue;
            }
            const auto g = currentGeometry(d, c);
            if (!requireExactMatch) return SwitchResult::success(g);
            const bool exact = g.logicalWidth == W && g.logicalHeight == H &&
                               (PW <= 0 || PH <= 0 ||
                                (g.pixelWidth == PW && g.pixelHeight == PH && g.isHiDPI == preferHiDPI));
            if (exact) return SwitchResult::success(g);
            rejections.push_back(sizeText(c) + " settled as " + str(g.logicalWidth) + "x" + str(g.logicalHeight) +
                                 "[px " + str(g.pixelWidth) + "x" + str(g.pixelHeight) + "] and is not exact target");
        }
        notes.push_back("display " + std::to_string(d) + " rejected candidates: " +
                        joined(rejections, ", ", maxRejectionsPerNote));
    }
    return SwitchResult::failure("no active display switched to logical " + str(W) + "x" + str(H) + " / pixel " +
                                 str(PW) + "x" + str(PH) + (requireExactMatch ? " (exact required)" : "") + "; " +
                                 joined(notes, " | "));
}

HostDisplayModeSwitcher::SwitchResult HostDisplayModeSwitcher::applyDisplayMode(const DisplayMode& mode, DisplayID d,
                                                                                 const std::string& purpose) {
    if (!displays_) return SwitchResult::failure("display configuration could not begin for " + purpose);
    if (auto current = displays_->currentMode(d); current && isSameMode(*current, mode)) {
        return SwitchResult::success(currentGeometry(d, mode));
    }
    const std::string modeText = purpose + " mode id=" + std::to_string(mode.ioDisplayModeID);
    DisplayConfigurationRef configuration = 0;
    if (displays_->beginDisplayConfiguration(configuration) != displayErrorSuccess || configuration == 0) {
        return SwitchResult::failure("display configuration could not begin for " + purpose);
    }
    if (const auto error = displays_->configureDisplayWithDisplayMode(configuration, d, mode); error != displayErrorSuccess) {
        displays_->cancelDisplayConfiguration(configuration);
        return SwitchResult::failure(modeText + " CG " + std::to_string(error));
    }
    if (const auto error = displays_->completeDisplayConfiguration(configuration, DisplayConfigureOption::forSession);
        error != displayErrorSuccess) {
        return SwitchResult::failure(modeText + " CG " + std::to_string(error));
    }
    if (!waitForDisplay(d, mode, appliedSettleTimeout)) {
        return SwitchResult::failure(modeText + " applied but actual is " + actualDisplayDescription(d));
    }
    return SwitchResult::success(currentGeometry(d, mode));
}

}  // namespace qm
