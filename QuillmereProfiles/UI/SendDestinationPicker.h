#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "Platform/Core/DispatchQueue.h"
#include "Platform/Core/UUID.h"
#include "Platform/UserDefaults.h"
#include "QuillmereProfiles/FileTransferDocuments.h"

namespace qm {

class FileTransferService;

// One entry of the picker's list: a Viewer, or one entry standing for several.
struct SendDestinationOption {
    std::string id;  // the caller's identifier; a Viewer session id makes browsing ask that Viewer alone
    std::string displayName;
    std::optional<std::string> detailText;
    friend bool operator==(const SendDestinationOption&, const SendDestinationOption&) = default;
};

// What the picker answers: the entry, the folder on the Viewer ("~", "~/...", or absolute;
// never resolved here) and whether the choice is to be remembered.
struct SendDestinationResult {
    SendDestinationOption peer;
    std::string destination;
    bool remember = false;
    friend bool operator==(const SendDestinationResult&, const SendDestinationResult&) = default;
};

// The last choice, in the user's defaults (a small JSON document under one key).
class SendDestinationMemory {
public:
    static inline const std::string defaultsKey = "quillmere.sendDestination.lastChoice";
    static void remember(UserDefaults& defaults, const SendDestinationResult& result);
    // The stored choice; nothing when none is stored or it cannot be read. The entry's detail
    // text is not stored, and whether the entry still exists is not checked.
    static std::optional<SendDestinationResult> recall(const UserDefaults& defaults);
    static void forget(UserDefaults& defaults);
};

// Asks, in one modal window, which Viewer receives files and into which of its folders: typed,
// taken from a preset, or picked in an outline of the Viewer's folders that the window lists on
// demand over the file-transfer channel. Its own texts are fixed English; the caller localises
// the title and header.
class SendDestinationPicker {
public:
    struct Preset {
        std::string title;
        std::string path;
    };
    static const std::vector<Preset>& defaultPresets();

    class PickerController;
    using Completion = std::function<void(std::optional<SendDestinationResult>)>;
    // Gives the controller a view (the view renders it until its window hides).
    using Presenter = std::function<void(const std::shared_ptr<PickerController>&)>;

    struct Environment {
        DispatchQueuePtr mainQueue;
        Presenter present;
        std::function<void()> activateApplication;
        std::string localHome;  // expands "~" in folder labels; empty: $HOME
    };

    // Shows the window; `completion` runs exactly once on the main queue, with a result after
    // Send and nothing after Cancel, the close box or Send without entries. Main queue only.
    static std::shared_ptr<PickerController> present(const std::string& windowTitle, const std::string& headerText,
                                                     const std::vector<SendDestinationOption>& peers,
                                                     const std::vector<Preset>& presets,
                                                     const std::optional<SendDestinationResult>& previousChoice,
                                                     std::shared_ptr<FileTransferService> directoryService,
                                                     Environment environment, Completion completion);
};

class SendDestinationPicker::PickerController : public std::enable_shared_from_this<PickerController> {
public:
    static constexpr double width = 820;
    static constexpr double height = 520;
    static constexpr int modalPanelLevel = 8;
    static constexpr double listingTimeout = 6.0;
    static inline const std::string noDeviceText = "No connected device";
    static inline const std::string loadingName = "Loading...";

    // One folder of the outline. `children`: absent = never listed; empty = listed with no
    // subfolders (or given up); one placeholder = a listing is in flight.
    struct FolderNode {
        FolderNode(std::string name, std::string path, std::weak_ptr<FolderNode> parent, bool placeholder)
            : name(std::move(name)), path(std::move(path)), parent(std::move(parent)), placeholder(placeholder) {}
        std::string name;
        std::string path;
        std::weak_ptr<FolderNode> parent;
        std::optional<std::vector<std::shared_ptr<FolderNode>>> children;
        const bool placeholder;
        bool expanded = false;
    };
    using FolderNodePtr = std::shared_ptr<FolderNode>;

    // One row of the entry table.
    struct EntryRow {
        std::string title;
        std::optional<std::string> detail;
        bool placeholder = false;  // the "No connected device" row
    };

    using ListingHandler = std::function<void(const UUID&, const std::string&, const std::vector<RemoteDirectoryEntry>&)>;

    PickerController(std::vector<SendDestinationOption> peers, std::vector<Preset> presets,
                     std::optional<SendDestinationResult> previousChoice,
                     std::shared_ptr<FileTransferService> directoryService, Completion completion,
                     std::string windowTitle, std::string headerText, Environment environment);

    void run();

    // ---- State the view renders -------------------------------------------------------------
    const std::string& windowTitle() const { return windowTitle_; }
    const std::string& headerText() const { return headerText_; }
    bool visible() const { return visible_; }
    const std::vector<SendDestinationOption>& peers() const { return peers_; }
    const std::vector<Preset>& presets() const { return presets_; }
    std::vector<EntryRow> entryRows() const;
    std::int64_t selectedPeerIndex() const { return selectedPeerIndex_; }
    const std::vector<FolderNodePtr>& roots() const { return roots_; }
    const FolderNodePtr& selectedFolder() const { return selectedFolder_; }
    const std::string& pathText() const { return pathText_; }
    const std::string& statusText() const { return statusText_; }
    bool rememberChecked() const { return remember_; }
    bool sendEnabled() const { return !peers_.empty(); }
    bool loadEnabled() const { return directoryService_ != nullptr; }
    std::size_t pendingRequestCount() const { return activeRequests_.size(); }
    // The entry that browsing and the result refer to (clamped); none without entries.
    std::optional<SendDestinationOption> selectedPeer() const;

    // ---- The user's actions (the view forwards them) -------------------------------------------
    void selectPeerRow(std::int64_t row);
    void selectFolder(const FolderNodePtr& node);
    void doubleClickFolder(const FolderNodePtr& node);
    void pressPreset(std::size_t index);
    void setPathText(const std::string& text);
    void setRemember(bool on) { remember_ = on; }
    void pressLoad();
    void pressSend();
    void pressCancel();
    void windowShouldClose() { endModal(false); }

    // The view: re-render after any change; `beep` for the system beep.
    std::function<void()> onChanged;
    std::function<void()> beep;

    static std::string folderDisplayName(const std::string& path, const std::string& localHome);

private:
    void installDirectoryListingHandler();
    void resetFolderRoots();
    void requestListing(const FolderNodePtr& node);
    void handleListing(const UUID& requestID, const std::string& resolvedPath,
                       const std::vector<RemoteDirectoryEntry>& entries);
    void applyListing(const std::vector<RemoteDirectoryEntry>& entries, const std::string& resolvedPath,
                      const FolderNodePtr& node);
    void loadPath(const std::string& text);
    void endModal(bool ok);
    void makeBeep();
    void changed() const {
        if (onChanged) onChanged();
    }

    std::vector<SendDestinationOption> peers_;
    std::vector<Preset> presets_;
    std::optional<SendDestinationResult> previousChoice_;
    std::shared_ptr<FileTransferService> directoryService_;
    Completion completion_;
    std::string windowTitle_;
    std::string headerText_;
    Environment env_;

    bool visible_ = false;
    bool ended_ = false;
    std::int64_t selectedPeerIndex_ = 0;
    std::vector<FolderNodePtr> roots_;
    FolderNodePtr selectedFolder_;
    std::map<UUID, FolderNodePtr> activeRequests_;
    std::optional<ListingHandler> previousListingHandler_;
    std::string pathText_;
    std::string statusText_;
    bool remember_ = false;
};

}  // namespace qm
