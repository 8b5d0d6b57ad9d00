#pragma once

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "Platform/Core/DispatchQueue.h"
#include "Platform/LocalFolders.h"
#include "Platform/Core/UUID.h"
#include "Platform/UserDefaults.h"
#include "QuillmereProfiles/FileTransferDocuments.h"
#include "QuillmereProfiles/FileTransferPacket.h"
#include "QuillmereProfiles/UI/FileTransferNode.h"

namespace qm {

// Which pane is the source: its value is also the selected segment of the direction control.
enum class TransferPanelDirection { sendToHost = 0, receiveFromHost = 1 };

enum class FileTransferPane { left, right };

enum class CheckState { off, on, mixed };

// A row's check box: the node it toggles and the pane it sits in (empty once the pane is gone).
struct FileTransferSelectionCheckbox {
    FileTransferNodePtr node;
    std::optional<FileTransferPane> outlineView;
    CheckState state = CheckState::off;
};

// The state of the window's controls, as the view shows it.
struct FileTransferWindowViews {
    struct Label {
        std::string text;
    };
    struct Button {
        std::string title;
        bool enabled = true;
        bool hidden = false;
    };
    struct Checkbox {
        std::string title;
        CheckState state = CheckState::off;
        bool hidden = false;
    };
    struct Selector {
        struct Item {
            std::string title;
            std::string identifier;
        };
        std::vector<Item> items;
        std::optional<std::size_t> selectedIndex;
        bool enabled = true;
    };
    struct Progress {
        bool indeterminate = true;
        bool animating = false;
        double minValue = 0;
        double maxValue = 100;
        double value = 0;
    };
    struct Outline {
        bool allowsMultipleSelection = true;
        std::vector<FileTransferNodePtr> selection;
    };

    std::string windowTitle;
    double width = 920, height = 620;
    std::uint32_t collectionBehavior = 258;
    bool visible = false;

    std::string hostLabel, refreshTitle;
    Selector hostSelector;
    std::vector<std::string> directionLabels;
    int directionSelectedSegment = 0;
    Label arrowLabel;
    Label leftTitleLabel, rightTitleLabel, leftStatusLabel, rightStatusLabel;
    Checkbox leftTopCheckbox, rightTopCheckbox;
    std::string grantFolderAccessTitle, grantFolderAccessTooltip;
    std::vector<std::string> columnTitles;  // files (none), date, size, kind
    Checkbox backupCheckbox;
    Label transferSummaryLabel, transferStatusLabel;
    bool transferProgressRowHidden = true;
    Progress transferProgressIndicator;
    Button cancelTransferButton;
    Button executeButton;
    Outline leftOutlineView, rightOutlineView;
};

// The folder panel the window asks its view to show (non-modal).
struct FolderAuthorizationRequest {
    bool initial = false;
    std::filesystem::path directory;
    std::string prompt;
    std::string message;
};

struct FileTransferAlert {
    std::string title;
    std::string message;
    std::string iconName;
    std::string button;
};

// What one row of the files column shows.
struct FileTransferRowCell {
    bool hasCheckbox = false;
    CheckState checkState = CheckState::off;
    std::string label;
    bool secondaryText = false;
    int leadingInset = 4;
    std::optional<std::string> sizeText;
    std::optional<std::string> targetMarker;
};

// The two-pane file browser: this device's folders on the left, the selected Host's on the
// right, a direction, and one batch at a time. A view model: its owner's view renders
// `views()` and the trees and forwards the user's actions; everything runs on the main queue.
class FileTransferWindowController : public std::enable_shared_from_this<FileTransferWindowController> {
public:
    using ListingHandler = std::function<void(const UUID& requestID, const std::string& resolvedPath,
                                              const std::vector<RemoteDirectoryEntry>& entries)>;
    struct Peer {
        std::string id;
        std::string name;
    };

    struct Dependencies {
        std::function<void(const FileTransferPacket&)> sendPacket;
        std::function<UUID(const std::string& path)> requestDirectoryListing;
        std::function<void(ListingHandler)> setDirectoryListingHandler;
        std::function<std::optional<UUID>(const std::vector<std::filesystem::path>& urls, FileTransferIntent intent,
                                          const std::optional<std::string>& destination,
                                          const std::optional<std::string>& peerID,
                                          FileTransferDeliveryOptions options)>
            sendFiles;
        std::function<std::optional<UUID>(const std::vector<std::string>& paths, const std::string& destination,
                                          FileTransferDeliveryOptions options)>
            requestPeerSend;
        std::function<std::string()> localDeviceName;
        std::function<std::vector<Peer>()> connectedPeers;
        std::function<bool(const std::string& peerID)> openFileTransferForPeer;
        std::function<void(const UUID& batchID)> cancelBatch = [](const UUID&) {};
    };

    // What the window needs of this device besides the Dependencies record.
    struct Environment {
        DispatchQueuePtr mainQueue;
        std::shared_ptr<LocalFolders> folders;
        std::shared_ptr<UserDefaults> defaults;
    };

    // Notifications to the view. Each may be empty.
    struct ViewCallbacks {
        std::function<void()> stateChanged;                                  // labels, buttons, boxes
        std::function<void(FileTransferPane)> reloadData;                    // a whole tree
        std::function<void(FileTransferPane, const FileTransferNodePtr&, bool reloadChildren)> reloadItem;
        std::function<void(FileTransferPane, const FileTransferNodePtr&)> expandItem;
        std::function<void(FileTransferPane)> deselectAll;
        std::function<void(const FolderAuthorizationRequest&)> presentFolderPanel;
        std::function<void()> bringFolderPanelToFront;
        std::function<void()> bringWindowToFront;
        std::function<void(const FileTransferAlert&)> beginSheet;
    };

    // Builds the window (not shown), lists the Hosts and the local roots and installs the
    // listing handler.
    static std::shared_ptr<FileTransferWindowController> make(Dependencies deps, Environment env);
    ~FileTransferWindowController();
    FileTransferWindowController(const FileTransferWindowController&) = delete;
    FileTransferWindowController& operator=(const FileTransferWindowController&) = delete;

    void setViewCallbacks(ViewCallbacks callbacks);

    // Brings the window forward; the first show without access to home offers the Home grant.
    void show();
    // The user closed the window; it keeps its state for the next show().
    void windowClosed();
    static std::string defaultLocalDeviceName();
    static std::string defaultLocalDeviceName(const std::optional<std::string>& localizedName,
                                              const std::optional<std::string>& hostName);

    // Progress of the active batch, reported by the owner on the main queue.
    void transferDidStart(const UUID& batchID, std::int64_t fileCount, std::uint64_t totalBytes);
    void transferDidUpdateProgress(const UUID& batchID, std::uint64_t sentBytes, std::uint64_t totalBytes);
    void transferDidFinishSending(const UUID& batchID);
    void transferDidRequestCancellation(const UUID& batchID);
    void transferDidComplete(const UUID& batchID, bool cancelled, bool peerConfirmed);
    void transferDidFail(const UUID& batchID, const std::string& message, const std::optional<std::string>& summary);
    // Activates the window; false when there is none.
    bool foregroundWindow();

    // Actions the view forwards.
    void hostSelectionChanged();
    void selectHostItem(std::size_t index);  // the user picked an item, then hostSelectionChanged()
    void refreshClicked();
    void directionChanged();
    void selectDirectionSegment(int segment);  // the user clicked a segment, then directionChanged()
    void leftSelectAllClicked();
    void rightSelectAllClicked();
    void setTopCheckboxState(FileTransferPane pane, CheckState state);  // the click's new state
    void addLocalFolder();
    void outlineViewDoubleClicked(FileTransferPane pane, const FileTransferNodePtr& clicked);
    void backupToggled();
    void setBackupCheckboxState(CheckState state);
    void cancelActiveTransfer();
    void executeTransfer();
    void sourceCheckboxToggled(const FileTransferSelectionCheckbox& sender);
    void folderPanelFinished(std::optional<std::filesystem::path> chosen);

    // Outline data source and delegate, for both panes.
    std::size_t numberOfChildren(FileTransferPane pane, const FileTransferNodePtr& item) const;
    FileTransferNodePtr child(FileTransferPane pane, std::size_t index, const FileTransferNodePtr& item) const;
    bool isItemExpandable(const FileTransferNodePtr& item) const;
    bool shouldSelectItem(FileTransferPane pane, const FileTransferNodePtr& item) const;
    bool shouldExpandItem(FileTransferPane pane, const FileTransferNodePtr& item);
    void outlineViewSelectionDidChange(FileTransferPane pane, std::vector<FileTransferNodePtr> selection);
    void sortDescriptorsDidChange(const std::vector<FileTreeSortDescriptor>& descriptors);
    FileTransferRowCell rowCell(FileTransferPane pane, const FileTransferNodePtr& node) const;
    std::string metadataText(const std::string& column, const FileTransferNodePtr& node);

    // Read-only views of the state, for the view and tests.
    const FileTransferWindowViews& views() const { return views_; }
    TransferPanelDirection direction() const { return direction_; }
    const std::vector<FileTransferNodePtr>& localRoots() const { return localRoots_; }
    const std::vector<FileTransferNodePtr>& remoteRoots() const { return remoteRoots_; }
    const std::optional<std::string>& targetDirectoryPath() const { return targetDirectoryPath_; }
    const std::optional<std::string>& selectedPeerID() const { return selectedPeerID_; }
    const std::optional<std::string>& selectedPeerName() const { return selectedPeerName_; }
    const std::optional<UUID>& activeTransferBatchID() const { return activeTransferBatchID_; }
    std::size_t pendingRemoteRequestCount() const { return pendingRemoteRequests_.size(); }
    const std::vector<FileTreeSortDescriptor>& fileTreeSortDescriptors() const { return fileTreeSortDescriptors_; }
    bool hasShownInitialAuthorizationPrompt() const { return hasShownInitialAuthorizationPrompt_; }
    bool isFolderPanelOpen() const { return folderAuthorizationPanel_.has_value(); }
    const std::optional<std::filesystem::path>& lastAuthorizedFolderURL() const { return lastAuthorizedFolderURL_; }

    // Helpers with no state of the window.
    static std::string formatBytes(std::uint64_t n);
    static std::vector<FileTransferNodePtr> collectCheckedFileNodes(const std::vector<FileTransferNodePtr>& nodes);
    std::vector<FileTransferNodePtr> uniqueTopLevelNodes(const std::vector<FileTransferNodePtr>& nodes) const;
    bool compareNodes(const FileTransferNode& a, const FileTransferNode& b) const;
    bool isLocalPath(const std::string& path, const std::string& root) const;
    std::vector<std::pair<std::string, std::string>> resolvedAuthorizedLocalRoots();
    std::optional<std::string> currentDestinationPath();
    static bool allNodesChecked(const std::vector<FileTransferNodePtr>& nodes);
    static bool anyNodeChecked(const std::vector<FileTransferNodePtr>& nodes);
    static bool anyNodeMixed(const std::vector<FileTransferNodePtr>& nodes);

private:
    FileTransferWindowController(Dependencies deps, Environment env);
    void construct();

    // Construction and layout.
    void buildUI();
    void refreshHostSelector();
    void selectDirection(TransferPanelDirection d);
    void updateArrowLabel();

    // Tree model and check boxes.
    FileTransferNodePtr makeLocalNode(const std::string& name, const std::string& path, FileTransferNode::Kind kind);
    void sortSiblings(std::vector<FileTransferNodePtr>& nodes) const;
    void sortLoadedTree(const FileTransferNodePtr& node);
    void resortBothTrees();
    static void propagateCheckDown(const FileTransferNodePtr& node, bool checked);
    void setAllSourceItemsSelected(bool checked);
    static void setAllChecked(const std::vector<FileTransferNodePtr>& nodes, bool checked);
    void updateLeftCheckboxState();
    void updateSourceStatusLabel();
    std::vector<FileTransferNodePtr>& sourceTree();
    FileTransferPane sourcePane() const;
    FileTransferPane destinationPane() const;

    // Panes.
    void updatePaneTitles();
    std::string paneTitle(const std::string& deviceName, const std::string& roleKey, const std::string& roleDefault);
    void updateExecuteButton();
    std::string transferSetupGuidance(bool hasSource, bool hasTarget, bool hasPeer) const;

    // Local roots and grants.
    void loadLocalRoots();
    bool appendLocalRoot(const std::string& name, const std::string& path, FileTransferNode::Kind kind);
    bool startSecurityScopedAccess(const std::filesystem::path& url);
    void presentFolderAuthorizationPanel(bool initial, const std::optional<std::filesystem::path>& suggestedURL);
    void addLocalBookmark(const std::filesystem::path& url);
    bool localDirectoryNeedsAuthorization(const FileTransferNodePtr& node);

    // Loading.
    FileTransferNodePtr makePlaceholder(const FileTransferNodePtr& parent, const std::string& name) const;
    void loadLocalChildren(const FileTransferNodePtr& node);
    void loadRemoteRoots();
    void loadRemoteChildren(const FileTransferNodePtr& node);
    void handleRemoteListing(const UUID& requestID, const std::string& resolvedPath,
                             const std::vector<RemoteDirectoryEntry>& entries);
    void reloadRemoteChildren(const FileTransferNodePtr& node);
    void refreshDestinationAfterSuccessfulTransfer(TransferPanelDirection direction,
                                                   const std::optional<std::string>& targetPath,
                                                   const FileTransferNodePtr& targetNode);
    FileTransferNodePtr destinationNode(const std::vector<FileTransferNodePtr>& nodes, const std::string& path) const;

    // Transfers.
    void performTransfer(const std::vector<std::filesystem::path>& urls, const std::string& targetDir,
                         const std::string& peerID);
    void requestReceiveTransfer(const std::vector<std::string>& paths, const std::string& targetDir);
    void beginTransfer(const UUID& batchID, std::int64_t itemCount, TransferPanelDirection direction,
                       const std::string& targetDir);
    FileTransferDeliveryOptions deliveryOptions() const;

    // View notifications.
    void changed();
    void reloadData(FileTransferPane pane);
    void reloadItem(FileTransferPane pane, const FileTransferNodePtr& node, bool reloadChildren);
    FileTransferWindowViews::Outline& outline(FileTransferPane pane);
    std::string home() const;

    Dependencies deps_;
    Environment env_;
    ViewCallbacks view_;
    FileTransferWindowViews views_;

    TransferPanelDirection direction_ = TransferPanelDirection::sendToHost;
    std::vector<FileTransferNodePtr> localRoots_;
    std::vector<FileTreeSortDescriptor> fileTreeSortDescriptors_{{std::string("name"), true}};
    std::vector<FileTransferNodePtr> remoteRoots_;
    std::map<UUID, FileTransferNodePtr> pendingRemoteRequests_;
    std::optional<std::string> targetDirectoryPath_;
    std::optional<std::string> selectedPeerID_;
    std::optional<std::string> selectedPeerName_;
    bool backupEnabled_ = false;
    FileTransferNodePtr previousTargetNode_;

    std::optional<UUID> activeTransferBatchID_;
    DispatchWorkItemPtr progressRowHideWorkItem_;  // the finished batch's 2 s hide of the row
    std::int64_t activeTransferItemCount_ = 0;
    std::string activeTransferPeerName_ = "Host";
    std::optional<TransferPanelDirection> activeTransferDirection_;
    std::optional<std::string> activeTransferTargetPath_;
    FileTransferNodePtr activeTransferTargetNode_;
    std::set<UUID> cancelledTransferBatchIDs_;

    std::map<std::string, std::filesystem::path> activeSecurityScopedURLs_;
    std::optional<FolderAuthorizationRequest> folderAuthorizationPanel_;
    std::optional<std::filesystem::path> lastAuthorizedFolderURL_;
    bool hasShownInitialAuthorizationPrompt_ = false;
};

}  // namespace qm
