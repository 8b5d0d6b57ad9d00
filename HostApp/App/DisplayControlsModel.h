#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "HostApp/App/ViewModels.h"

namespace qm {

// A pop-up button: a list of titled items, each carrying a display id, and the one selected.
class PopUpButtonModel : public ViewModel {
public:
    struct Item {
        std::string title;
        std::optional<std::uint32_t> representedObject;
    };

    const std::vector<Item>& items() const { return items_; }
    std::optional<std::size_t> selectedIndex() const { return selected_; }
    const Item* selectedItem() const { return selected_ ? &items_[*selected_] : nullptr; }
    bool enabled() const { return enabled_; }
    void setEnabled(bool enabled) { assign(enabled_, enabled); }

    void removeAllItems() {
        items_.clear();
        selected_.reset();
        changed();
    }
    // An item whose title is already present replaces that one, as a pop-up button does. The first
    // item added becomes the default selection.
    void addItem(const std::string& title, std::optional<std::uint32_t> representedObject) {
        for (auto it = items_.begin(); it != items_.end(); ++it) {
            if (it->title == title) {
                const auto index = static_cast<std::size_t>(it - items_.begin());
                items_.erase(it);
                if (selected_ && *selected_ == index) selected_.reset();
                else if (selected_ && *selected_ > index) --*selected_;
                break;
            }
        }
        items_.push_back({title, representedObject});
        if (!selected_) selected_ = 0;
        changed();
    }
    // The user or the code picks an item; out-of-range indexes are ignored.
    void selectItem(std::size_t index) {
        if (index >= items_.size()) return;
        selected_ = index;
        changed();
    }

private:
    std::vector<Item> items_;
    std::optional<std::size_t> selected_;
    bool enabled_ = false;
};

// The Host's detail window: its title and subtitle, the status lines, the start-at-login check
// box, the display controls and the display diagnostics.
class DetailWindowModel : public WindowModel {
public:
    std::shared_ptr<LabelModel> titleLabel;
    std::shared_ptr<LabelModel> subtitleLabel;
    std::shared_ptr<ButtonModel> refreshButton;
    std::shared_ptr<ButtonModel> copyLogsButton;  // hidden
    std::shared_ptr<ButtonModel> launchAtLoginCheckbox;
    std::shared_ptr<LabelModel> physicalDisplayLabel;
    std::shared_ptr<LabelModel> statusLabel;
    std::shared_ptr<LabelModel> audioStatusLabel;
    std::shared_ptr<LabelModel> addressLabel;
    std::shared_ptr<LabelModel> detailLabel;
    std::shared_ptr<PopUpButtonModel> displayPopup;
    std::shared_ptr<ButtonModel> useDisplayButton;
    std::shared_ptr<ButtonModel> virtualDisplayCheckbox;
};

}  // namespace qm
