#pragma once

// The state of every window, menu and status item the Host shows, as plain values with a change
// notification. The delegate's controllers own and drive them on the main queue; a views library renders
// them and forwards clicks through `press()`, and tests read and press them directly.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace qm {

// The one observer a model has: its view. Called on the main queue after any change.
class ViewModel {
public:
    virtual ~ViewModel() = default;
    std::function<void()> onChanged;

protected:
    template <class T>
    void assign(T& field, const T& value) {
        if (field == value) return;
        field = value;
        changed();
    }
    void changed() {
        if (onChanged) onChanged();
    }
};

// A non-editable text.
class LabelModel : public ViewModel {
public:
    explicit LabelModel(std::string text = {}) : text_(std::move(text)) {}
    const std::string& text() const { return text_; }
    void setText(const std::string& text) { assign(text_, text); }
    bool hidden() const { return hidden_; }
    void setHidden(bool hidden) { assign(hidden_, hidden); }

private:
    std::string text_;
    bool hidden_ = false;
};

// A push button or a check box.
class ButtonModel : public ViewModel {
public:
    enum class Kind { push, checkbox };
    ButtonModel(Kind kind, std::string title) : kind_(kind), title_(std::move(title)) {}

    Kind kind() const { return kind_; }
    const std::string& title() const { return title_; }
    void setTitle(const std::string& title) { assign(title_, title); }
    bool enabled() const { return enabled_; }
    void setEnabled(bool enabled) { assign(enabled_, enabled); }
    bool hidden() const { return hidden_; }
    void setHidden(bool hidden) { assign(hidden_, hidden); }
    // Check boxes: on or off.
    bool checked() const { return checked_; }
    void setChecked(bool checked) { assign(checked_, checked); }
    const std::string& toolTip() const { return toolTip_; }
    void setToolTip(const std::string& toolTip) { assign(toolTip_, toolTip); }
    // "\r" for Return; empty for none.
    const std::string& keyEquivalent() const { return keyEquivalent_; }
    void setKeyEquivalent(const std::string& key) { assign(keyEquivalent_, key); }

    // A click. A check box flips its state first, as the control does, then reports.
    std::function<void(ButtonModel&)> action;
    void press() {
        if (!enabled_ || hidden_) return;
        if (kind_ == Kind::checkbox) setChecked(!checked_);
        if (action) action(*this);
    }

private:
    Kind kind_;
    std::string title_;
    bool enabled_ = true;
    bool hidden_ = false;
    bool checked_ = false;
    std::string toolTip_;
    std::string keyEquivalent_;
};

// What a menu item does when chosen. Items are found by their action, never by position.
enum class HostAction {
    none,
    // The delegate's own actions.
    showAboutPanel,
    toggleLaunchAtLogin,
    requestQuit,
    showSummaryWindow,
    refreshButtonPressed,
    requestOnlineUpdate,
    toggleAutoUpdate,
    useDisplayButtonPressed,
    openUserGuide,
    openWebsite,
    openPrivacyPolicy,
    openTermsOfService,
    openReleaseNotes,
    // The application's and the key window's standard actions.
    hide,
    hideOtherApplications,
    unhideAllApplications,
    performMiniaturize,
    performZoom,
    arrangeInFront,
};

class MenuModel;

struct KeyEquivalent {
    std::string key;  // "q", "1"; empty for none
    bool command = true;
    bool option = false;
    friend bool operator==(const KeyEquivalent&, const KeyEquivalent&) = default;
};

class MenuItemModel : public ViewModel {
public:
    static std::shared_ptr<MenuItemModel> separator() {
        auto item = std::make_shared<MenuItemModel>("", HostAction::none);
        item->isSeparator_ = true;
        return item;
    }
    MenuItemModel(std::string title, HostAction action, KeyEquivalent key = {})
        : title_(std::move(title)), action_(action), key_(std::move(key)) {}

    const std::string& title() const { return title_; }
    void setTitle(const std::string& title) { assign(title_, title); }
    HostAction action() const { return action_; }
    const KeyEquivalent& keyEquivalent() const { return key_; }
    bool isSeparator() const { return isSeparator_; }
    bool enabled() const { return enabled_; }
    void setEnabled(bool enabled) { assign(enabled_, enabled); }
    bool checked() const { return checked_; }
    void setChecked(bool checked) { assign(checked_, checked); }
    const std::string& toolTip() const { return toolTip_; }
    void setToolTip(const std::string& toolTip) { assign(toolTip_, toolTip); }
    const std::shared_ptr<MenuModel>& submenu() const { return submenu_; }
    void setSubmenu(std::shared_ptr<MenuModel> submenu) {
        submenu_ = std::move(submenu);
        changed();
    }

    // Chosen by the user; the owner of the menu sets what happens.
    std::function<void(MenuItemModel&)> onChoose;
    void choose() {
        if (!enabled_ || isSeparator_) return;
        if (onChoose) onChoose(*this);
    }

private:
    std::string title_;
    HostAction action_;
    KeyEquivalent key_;
    bool isSeparator_ = false;
    bool enabled_ = true;
    bool checked_ = false;
    std::string toolTip_;
    std::shared_ptr<MenuModel> submenu_;
};

class MenuModel : public ViewModel {
public:
    explicit MenuModel(std::string title = {}, std::string identifier = {})
        : title_(std::move(title)), identifier_(std::move(identifier)) {}
    const std::string& title() const { return title_; }
    void setTitle(const std::string& title) { assign(title_, title); }
    const std::string& identifier() const { return identifier_; }
    const std::vector<std::shared_ptr<MenuItemModel>>& items() const { return items_; }
    std::shared_ptr<MenuItemModel> add(std::shared_ptr<MenuItemModel> item) {
        items_.push_back(item);
        changed();
        return item;
    }
    // The first item (in menu order) with this action; submenus are not searched.
    std::shared_ptr<MenuItemModel> itemWithAction(HostAction action) const {
        for (const auto& item : items_) {
            if (!item->isSeparator() && item->action() == action) return item;
        }
        return nullptr;
    }
    // Reorders items (tests check that titles follow actions, not positions).
    void moveItem(std::size_t from, std::size_t to) {
        if (from >= items_.size() || to >= items_.size()) return;
        auto item = items_[from];
        items_.erase(items_.begin() + static_cast<std::ptrdiff_t>(from));
        items_.insert(items_.begin() + static_cast<std::ptrdiff_t>(to), item);
        changed();
    }

private:
    std::string title_;
    std::string identifier_;
    std::vector<std::shared_ptr<MenuItemModel>> items_;
};

// An alert shown as a sheet on a window. Buttons answer 1000, 1001, 1002 in the order added.
struct AlertModel {
    enum class Style { informational, warning, critical };
    // One row under the informative text: a label in one of the looks, or a check box whose state
    // the owner reads when the sheet ends.
    struct Accessory {
        enum class Look { emphasized, detail, warning };
        std::string text;
        Look look = Look::detail;
        std::shared_ptr<ButtonModel> checkbox;  // set: the row is this check box
    };
    std::string messageText;
    std::string informativeText;
    std::vector<std::string> buttons;
    Style style = Style::informational;
    std::vector<Accessory> accessories{};  // top to bottom
};

// A panel that asks for files or folders: its texts and what it lets the user pick.
struct FolderPanelModel {
    std::string title;
    std::string prompt;   // the accept button
    std::string message;  // above the browser; empty for none
    bool canChooseFiles = false;
    bool canChooseDirectories = true;
    bool canCreateDirectories = true;
    bool allowsMultipleSelection = false;
    // Where it opens; empty: the home folder.
    std::filesystem::path directory{};
    friend bool operator==(const FolderPanelModel&, const FolderPanelModel&) = default;
};

// A top-level window: what the system's window server would hold of it.
class WindowModel : public ViewModel {
public:
    static constexpr int normalLevel = 0;
    static constexpr int floatingLevel = 3;
    static constexpr int modalPanelLevel = 8;
    static constexpr std::uint32_t moveToActiveSpace = 0x2;
    static constexpr std::uint32_t fullScreenAuxiliary = 0x100;

    const std::string& title() const { return title_; }
    void setTitle(const std::string& title) { assign(title_, title); }
    bool visible() const { return visible_; }
    bool miniaturized() const { return miniaturized_; }
    bool isKey() const { return key_; }
    int level() const { return level_; }
    void setLevel(int level) { assign(level_, level); }
    std::uint32_t collectionBehavior() const { return collectionBehavior_; }
    void addCollectionBehavior(std::uint32_t flags) { assign(collectionBehavior_, collectionBehavior_ | flags); }
    void setCollectionBehavior(std::uint32_t flags) { assign(collectionBehavior_, flags); }
    bool hidesOnDeactivate() const { return hidesOnDeactivate_; }
    void setHidesOnDeactivate(bool hides) { assign(hidesOnDeactivate_, hides); }
    const std::optional<AlertModel>& attachedSheet() const { return sheet_; }
    void setAttachedSheet(std::optional<AlertModel> sheet) {
        sheet_ = std::move(sheet);
        changed();
    }
    // How many times the window was brought to the front (the views raise it each time).
    int orderFrontCount() const { return orderFrontCount_; }

    // Behind the other applications' windows (before a system prompt); the window stays visible.
    void orderBack() {
        ++orderBackCount_;
        changed();
    }
    int orderBackCount() const { return orderBackCount_; }
    void orderFront() {
        visible_ = true;
        ++orderFrontCount_;
        changed();
    }
    void makeKeyAndOrderFront() {
        key_ = true;
        orderFront();
    }
    void close() {
        visible_ = false;
        key_ = false;
        changed();
    }
    void miniaturize() {
        miniaturized_ = true;
        visible_ = false;
        key_ = false;
        changed();
    }
    void deminiaturize() {
        if (!miniaturized_) return;
        miniaturized_ = false;
        visible_ = true;
        changed();
    }
    // The floating presentation of windows that must stay reachable.
    void floatAboveOthers(int level = floatingLevel) {
        setLevel(level);
        addCollectionBehavior(moveToActiveSpace | fullScreenAuxiliary);
        setHidesOnDeactivate(false);
    }
    // The user closed the window from its title bar, or the view lost it.
    void closedByUser() { close(); }

private:
    std::string title_;
    bool visible_ = false;
    bool miniaturized_ = false;
    bool key_ = false;
    int level_ = normalLevel;
    std::uint32_t collectionBehavior_ = 0;
    bool hidesOnDeactivate_ = false;
    std::optional<AlertModel> sheet_;
    int orderBackCount_ = 0;
    int orderFrontCount_ = 0;
};

// The summary window: its controls, in the order they are stacked.
class SummaryWindowModel : public WindowModel {
public:
    static constexpr int width = 460;
    static constexpr int height = 315;

    std::shared_ptr<LabelModel> titleLabel;
    std::shared_ptr<LabelModel> subtitleLabel;
    std::shared_ptr<LabelModel> statusLabel;
    std::shared_ptr<LabelModel> addressLabel;
    std::shared_ptr<LabelModel> viewerLabel;
    std::shared_ptr<ButtonModel> launchAtLoginCheckbox;
    std::shared_ptr<ButtonModel> detailsButton;
    std::shared_ptr<ButtonModel> refreshButton;
    std::shared_ptr<ButtonModel> updateButton;
    std::shared_ptr<LabelModel> versionLabel;
    // The main menu, shown as the window's menu bar where the desktop has no global one.
    std::shared_ptr<MenuModel> menuBar;
};

// The About panel: the application's name and version, as the desktop's standard panel shows
// them. The title is the About item's own text.
class AboutPanelModel : public WindowModel {
public:
    std::string applicationName;
    std::string versionText;
};

// The item in the desktop's status area: a title, a tooltip and its menu.
class StatusItemModel : public ViewModel {
public:
    // The title is host name, a blank, the display symbol (when there is one), a blank and "On".
    struct Title {
        std::string hostName;
        bool showsSymbol = false;
        std::string stateText;
        friend bool operator==(const Title&, const Title&) = default;
        // The title as plain text, with the symbol left out (the views draw it).
        std::string plainText() const { return hostName + " " + " " + stateText; }
    };
    const Title& title() const { return title_; }
    void setTitle(const Title& title) { assign(title_, title); }
    const std::string& toolTip() const { return toolTip_; }
    void setToolTip(const std::string& toolTip) { assign(toolTip_, toolTip); }
    bool enabled() const { return enabled_; }
    void setEnabled(bool enabled) { assign(enabled_, enabled); }
    std::shared_ptr<MenuModel> menu;

private:
    Title title_;
    std::string toolTip_;
    bool enabled_ = false;
};

}  // namespace qm
