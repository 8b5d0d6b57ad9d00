#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "Platform/Accessibility.h"
#include "Platform/AudioCapture.h"

namespace qm {

namespace x11 {
class Connection;
}

// The two permissions the Host asks the user for, as an X desktop answers them. Linux has no
// switch for either: what counts is whether the Host can do the thing.

// Accessibility: the X display answers and offers the XTest extension (synthetic input). No
// prompt exists, so asking answers the same check. The answer is kept per connection (an
// extension does not come and go on a running server); a display that went away is opened again
// at the next call (a display that did not answer, 5 s later). Applications' accessibility
// trees are not read on Linux.
class XTestAccessibility final : public AccessibilityService {
public:
    explicit XTestAccessibility(std::string displayName = {}) : displayName_(std::move(displayName)) {}
    bool isProcessTrusted() const override;
    bool isProcessTrustedWithPrompt() override { return isProcessTrusted(); }
    AXElementPtr applicationElement(int) const override { return nullptr; }

private:
    std::string displayName_;
    mutable std::mutex mutex_;
    mutable std::shared_ptr<x11::Connection> connection_;
    mutable std::optional<std::chrono::steady_clock::time_point> lastFailure_;
    mutable bool hasXTest_ = false;
};

// Screen Recording with System Audio: the X root window can be read (one pixel of it is fetched)
// and, when a sound server answers, its default output's monitor source exists. Without a sound
// server there is no system audio to allow, and the audio part is not judged.
class X11ScreenCaptureAccess final : public ScreenCaptureAccess {
public:
    // `monitorSourceExists`: whether the sound server has the monitor source; none when no sound
    // server answers. Empty: the audio part is not judged.
    explicit X11ScreenCaptureAccess(std::function<std::optional<bool>()> monitorSourceExists = nullptr,
                                    std::string displayName = {})
        : monitorSourceExists_(std::move(monitorSourceExists)), displayName_(std::move(displayName)) {}
    bool preflight() override;
    bool request() override { return preflight(); }

private:
    bool rootWindowReadable();
    std::function<std::optional<bool>()> monitorSourceExists_;
    std::string displayName_;
    std::mutex mutex_;
    std::shared_ptr<x11::Connection> connection_;
    std::optional<std::chrono::steady_clock::time_point> lastFailure_;
};

}  // namespace qm
