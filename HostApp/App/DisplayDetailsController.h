#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "HostApp/App/DisplayControlsModel.h"
#include "HostApp/App/HostController.h"
#include "HostApp/App/ViewModels.h"
#include "Platform/Core/DispatchQueue.h"
#include "Platform/PortProbe.h"

namespace qm {

// The details and the display selection: the detail window with its lines and display controls,
// the refresh cycle (its generation, the Screen Sharing probe, the display diagnostics read off
// the main queue) and the choice of physical display and headless virtual display. Owns those
// models.
class DisplayDetailsController : public HostControllerOf<DisplayDetailsController> {
public:
    static constexpr double displayDiagnosticsMaxAge = 15.0;
    static constexpr double screenSharingProbeTimeout = 1.5;

    struct DisplayOption {
        std::uint32_t id = 0;
        std::string title;
    };

    // The server's display snapshots are read on `backgroundQueue`, which the power notices share.
    static std::shared_ptr<DisplayDetailsController> create(HostProbeDelegate& app, DispatchQueuePtr backgroundQueue);

    // A new refresh generation: routes, the Screen Sharing line (a probe when asked), the
    // display state and diagnostics (recomputed when forced or stale).
    void refresh(bool forceDisplayDiagnostics, bool probeScreenSharing);
    void checkLocalVNC(std::int64_t generation);
    void refreshDisplayState(std::int64_t generation, bool forceDisplayDiagnostics);
    void updateDisplayPopup(const std::vector<DisplayOption>& options, std::uint32_t selectedID);
    void useDisplayButtonPressed();
    void virtualDisplayCheckboxChanged(ButtonModel& checkbox);
    // The diagnostics text: the intro, then the server's display diagnostics (waits for the
    // server's queue: never call it there or on the main queue), or without a server the
    // displays' own description.
    std::string hostDisplayDiagnostics(const std::shared_ptr<V230HostAudioAuxServer>& server) const;
    // The detail window with the display controls.
    void showDetailWindowAction();
    // The detail window's texts and those of the display controls, in the current language.
    void retextDetailWindow();
    // Leaves the desktop's permission prompt in front: the summary and detail windows go back.
    void sendWindowsBack();

    // ---- The models (read by the views and tests) -------------------------------------------
    std::shared_ptr<DetailWindowModel> detailWindow;
    std::shared_ptr<LabelModel> statusLabel;  // the Screen Sharing line
    std::shared_ptr<LabelModel> addressLabel;
    std::shared_ptr<LabelModel> detailLabel;  // the display diagnostics
    std::shared_ptr<PopUpButtonModel> displayPopup;
    std::shared_ptr<ButtonModel> virtualDisplayCheckbox;
    std::shared_ptr<ButtonModel> useDisplayButton;
    std::shared_ptr<ButtonModel> launchAtLoginCheckbox;  // the detail window's, made with it
    std::int64_t checkGeneration = 0;
    // The Screen Sharing probe in flight; at most one.
    std::shared_ptr<ProbeConnection> activeVNCProbe;
    std::optional<std::string> cachedDisplayDiagnosticsText;
    std::optional<std::uint64_t> lastDisplayDiagnosticsRefreshNs;  // none: the distant past

private:
    DisplayDetailsController(HostProbeDelegate& app, DispatchQueuePtr backgroundQueue);
    void reportScreenSharingProbe(const std::shared_ptr<ProbeConnection>& probe, std::int64_t generation,
                                  const std::string& text);

    DispatchQueuePtr backgroundQueue_;
};

}  // namespace qm
