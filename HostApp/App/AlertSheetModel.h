#pragma once

#include <functional>
#include <memory>
#include <string>

#include "HostApp/App/ViewModels.h"

namespace qm {

// An alert shown as a sheet on a window, modelled as the small window it is: its level and
// collection behaviour (kept in front of other applications), its texts (which may change while
// it is up, as the completion notice's countdown does) and its answer. The view forwards a button
// as `respond(1000 + index)`; the owner may end it without a button. The completion runs once.
class AlertSheetModel : public WindowModel {
public:
    explicit AlertSheetModel(AlertModel alert) : alert_(std::move(alert)) { setTitle(alert_.messageText); }

    const AlertModel& alert() const { return alert_; }
    void setInformativeText(const std::string& text) {
        if (alert_.informativeText == text) return;
        alert_.informativeText = text;
        if (auto parent = parent_.lock(); parent && !ended_) parent->setAttachedSheet(alert_);
        changed();
    }
    // The window the sheet is attached to while it is up; none before and after.
    std::shared_ptr<WindowModel> sheetParent() const { return ended_ ? nullptr : parent_.lock(); }
    bool ended() const { return ended_; }

    // Attaches the sheet to `window` and shows it; `completion` gets the answer.
    void begin(const std::shared_ptr<WindowModel>& window, std::function<void(int response)> completion) {
        parent_ = window;
        completion_ = std::move(completion);
        if (window) window->setAttachedSheet(alert_);
        orderFront();
    }
    // A button, or the owner ending the sheet: detaches it, hides it, then runs the completion
    // (once; later answers do nothing).
    void respond(int response) {
        if (ended_) return;
        ended_ = true;
        if (auto parent = parent_.lock()) parent->setAttachedSheet(std::nullopt);
        close();
        auto completion = std::move(completion_);
        completion_ = nullptr;
        if (completion) completion(response);
    }
    // The view became the key window (the user or the window manager focused it).
    std::function<void()> onBecameKey;
    void didBecomeKey() {
        if (onBecameKey) onBecameKey();
    }

    // The answer of the first button, and of an alert ended without one.
    static constexpr int firstButtonResponse = 1000;
    static constexpr int stopResponse = -1000;

private:
    AlertModel alert_;
    std::weak_ptr<WindowModel> parent_;
    std::function<void(int)> completion_;
    bool ended_ = false;
};

}  // namespace qm
