#include "QuillmereProfiles/UI/FileTransferWindowController.h"

#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <fstream>

#include "QuillmereProfiles/QuillmereL10n.h"
#include "QuillmereProfiles/UI/FileTransferWindowText.h"

namespace qm {
namespace {

using file_transfer_window::format;
using file_transfer_window::text;

std::string trimmedBlank(const std::string& s) {
    const auto isBlank = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; };
    std::size_t b = 0, e = s.size();
    while (b < e && isBlank(s[b])) ++b;
    while (e > b && isBlank(s[e - 1])) --e;
    return s.substr(b, e - b);
}


}  // namespace

// ---- construction and layout -------------------------------------------------------------

std::shared_ptr<FileTransferWindowController> FileTransferWindowController::make(Dependencies deps, Environment env) {
    std::shared_ptr<FileTransferWindowController> controller(
        new FileTransferWindowController(std::move(deps), std::move(env)));
    controller->construct();
    return controller;
}

FileTransferWindowController::FileTransferWindowController(Dependencies deps, Environment env)
    : deps_(std::move(deps)), env_(std::move(env)) {
    if (!deps_.cancelBatch) deps_.cancelBatch = [](const UUID&) {};
}

FileTransferWindowController::~FileTransferWindowController() {
    if (env_.folders) {
        for (const auto& [path, url] : activeSecurityScopedURLs_) env_.folders->stopAccessingSecurityScopedResource(url);
    }
}

void FileTransferWindowController::construct() {
    views_.windowTitle = text("fileTransfer.windowTitle", "File Transfer");
    buildUI();
    refreshHostSelector();
    selectDirection(TransferPanelDirection::sendToHost);
    loadLocalRoots();
    const auto authorised = resolvedAuthorizedLocalRoots();
    if (!authorised.empty()) lastAuthorizedFolderURL_ = std::filesystem::path(authorised.front().second);
    if (deps_.setDirectoryListingHandler) {
        std::weak_ptr<FileTransferWindowController> weak = weak_from_this();
        deps_.setDirectoryListingHandler(
            [weak](const UUID& requestID, const std::string& resolvedPath, const std::vector<RemoteDirectoryEntry>& entries) {
                if (auto self = weak.lock()) self->handleRemoteListing(requestID, resolvedPath, entries);
            });
    }
}

void FileTransferWindowController::setViewCallbacks(ViewCallbacks callbacks) { view_ = std::move(callbacks); }

void FileTransferWindowController::buildUI() {
    views_.hostLabel = text("fileTransfer.hostLabel", "Host:");
    views_.refreshTitle = text("fileTransfer.refresh", "Refresh");
    views_.directionLabels = {text("fileTransfer.sendToHost", "→ Send to Host"),
                              text("fileTransfer.receiveFromHost", "← Receive from Host")};
    views_.directionSelectedSegment = 0;
    views_.leftTitleLabel.text = text("fileTransfer.viewerSource", "Viewer (Source)");
    views_.rightTitleLabel.text = text("fileTransfer.hostDestination", "Host (Destination)");
    views_.leftTopCheckbox.title = text("fileTransfer.selectAll", "Select All");
    views_.rightTopCheckbox.title = views_.leftTopCheckbox.title;
    views_.grantFolderAccessTitle = text("fileTransfer.grantFolderAccess", "Grant Folder Access…");
    views_.grantFolderAccessTooltip = text("fileTransfer.grantFolderAccessTooltip",
                                           "Allow File Transfer to browse and transfer files in a folder you choose.");
    views_.columnTitles = {"", text("fileTransfer.colDate", "Date Modified"), text("fileTransfer.colSize", "Size"),
                           text("fileTransfer.colKind", "Kind")};
    views_.backupCheckbox.title = text("fileTransfer.backupBeforeOverwrite", "Back up items before replacing them");
    views_.transferStatusLabel.text = text("fileTransfer.ready", "Select files and a destination to prepare a copy.");
    views_.transferProgressRowHidden = true;
    views_.transferProgressIndicator = {};
    views_.cancelTransferButton = {text("common.cancel", "Cancel"), true, false};
    views_.executeButton = {text("fileTransfer.copySelected", "Copy Selected Items"), false, false};
    updateArrowLabel();
}

void FileTransferWindowController::refreshHostSelector() {
    auto& selector = views_.hostSelector;
    selector.items.clear();
    selector.selectedIndex.reset();
    const auto peers = deps_.connectedPeers ? deps_.connectedPeers() : std::vector<Peer>{};
    if (peers.empty()) {
        selectedPeerID_.reset();
        selectedPeerName_.reset();
        remoteRoots_.clear();
        reloadData(FileTransferPane::right);
        selector.items.push_back({text("fileTransfer.noHostConnected", "No Host connected"), ""});
        selector.selectedIndex = 0;
        selector.enabled = false;
        changed();
        return;
    }
    selector.enabled = true;
    std::optional<std::size_t> remembered;
    for (std::size_t i = 0; i < peers.size(); ++i) {
        selector.items.push_back({peers[i].name, peers[i].id});
        if (selectedPeerID_ && *selectedPeerID_ == peers[i].id) remembered = i;
    }
    if (remembered) {
        // The remembered Host stays browsed; show its item rather than whatever comes first.
        selector.selectedIndex = remembered;
        changed();
        return;
    }
    selector.selectedIndex = 0;
    hostSelectionChanged();
}

void FileTransferWindowController::selectDirection(TransferPanelDirection d) {
    direction_ = d;
    views_.directionSelectedSegment = static_cast<int>(d);
    const bool send = d == TransferPanelDirection::sendToHost;
    views_.leftTopCheckbox.hidden = !send;
    views_.rightTopCheckbox.hidden = send;
    views_.leftOutlineView.allowsMultipleSelection = send;
    views_.rightOutlineView.allowsMultipleSelection = !send;
    updatePaneTitles();
    updateArrowLabel();
    setAllChecked(send ? localRoots_ : remoteRoots_, false);
    targetDirectoryPath_.reset();
    previousTargetNode_.reset();
    views_.leftStatusLabel.text.clear();
    views_.rightStatusLabel.text.clear();
    reloadData(FileTransferPane::left);
    reloadData(FileTransferPane::right);
    updateLeftCheckboxState();
    updateExecuteButton();
}

void FileTransferWindowController::updateArrowLabel() {
    views_.arrowLabel.text = direction_ == TransferPanelDirection::sendToHost ? "→" : "←";
    changed();
}

void FileTransferWindowController::show() {
    refreshHostSelector();
    views_.visible = true;
    if (view_.bringWindowToFront) view_.bringWindowToFront();
    changed();
    if (hasShownInitialAuthorizationPrompt_) return;
    if (activeSecurityScopedURLs_.count(normalisedPath(home(), home()))) return;
    hasShownInitialAuthorizationPrompt_ = true;
    std::weak_ptr<FileTransferWindowController> weak = weak_from_this();
    env_.mainQueue->async([weak] {
        if (auto self = weak.lock()) self->presentFolderAuthorizationPanel(true, std::nullopt);
    });
}

void FileTransferWindowController::windowClosed() {
    views_.visible = false;
    changed();
}

std::string FileTransferWindowController::defaultLocalDeviceName(const std::optional<std::string>& localizedName,
                                                                 const std::optional<std::string>& hostName) {
    if (localizedName) {
        if (auto name = trimmedBlank(*localizedName); !name.empty()) return name;
    }
    if (hostName) {
        if (auto name = trimmedBlank(*hostName); !name.empty()) return name;
    }
    return "This Mac";
}

std::string FileTransferWindowController::defaultLocalDeviceName() {
    // The pretty name the user gave this machine, else its host name.
    std::optional<std::string> pretty;
    std::ifstream info("/etc/machine-info");
    for (std::string line; std::getline(info, line);) {
        if (line.starts_with("PRETTY_HOSTNAME=")) {
            auto value = line.substr(16);
            if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front())
                value = value.substr(1, value.size() - 2);
            pretty = value;
        }
    }
    char buffer[256] = {};
    std::optional<std::string> host;
    if (::gethostname(buffer, sizeof buffer - 1) == 0) host = std::string(buffer);
    return defaultLocalDeviceName(pretty, host);
}

// ---- view notifications ------------------------------------------------------------------

void FileTransferWindowController::changed() {
    if (view_.stateChanged) view_.stateChanged();
}

void FileTransferWindowController::reloadData(FileTransferPane pane) {
    if (view_.reloadData) view_.reloadData(pane);
}

void FileTransferWindowController::reloadItem(FileTransferPane pane, const FileTransferNodePtr& node, bool children) {
    if (view_.reloadItem) view_.reloadItem(pane, node, children);
}

FileTransferWindowViews::Outline& FileTransferWindowController::outline(FileTransferPane pane) {
    return pane == FileTransferPane::left ? views_.leftOutlineView : views_.rightOutlineView;
}

std::string FileTransferWindowController::home() const {
    return env_.folders ? env_.folders->homeDirectory().string() : std::string("/");
}

// ---- tree model, order and check boxes ---------------------------------------------------

FileTransferNodePtr FileTransferWindowController::makeLocalNode(const std::string& name, const std::string& path,
                                                                FileTransferNode::Kind kind) {
    return std::make_shared<FileTransferNode>(name, path, kind, nullptr);
}

bool FileTransferWindowController::compareNodes(const FileTransferNode& a, const FileTransferNode& b) const {
    if (a.isContainer() != b.isContainer()) return a.isContainer();
    for (const auto& descriptor : fileTreeSortDescriptors_) {
        const std::string key = descriptor.key.value_or("");
        int order = 0;
        if (key == "modificationDate") {
            const double da = a.modificationDate.value_or(-1e300), db = b.modificationDate.value_or(-1e300);
            order = da < db ? -1 : (da > db ? 1 : 0);
        } else if (key == "size") {
            order = a.size < b.size ? -1 : (a.size > b.size ? 1 : 0);
        } else if (key == "kind") {
            const auto ka = a.kindSortKey(), kb = b.kindSortKey();
            order = ka < kb ? -1 : (ka > kb ? 1 : 0);
        } else {
            order = compareNamesCaseInsensitive(a.name, b.name);
        }
        if (order != 0) return descriptor.ascending ? order < 0 : order > 0;
    }
    return compareNamesCaseInsensitive(a.name, b.name) < 0;
}

void FileTransferWindowController::sortSiblings(std::vector<FileTransferNodePtr>& nodes) const {
    std::stable_sort(nodes.begin(), nodes.end(), [this](const auto& a, const auto& b) { return compareNodes(*a, *b); });
}

void FileTransferWindowController::sortLoadedTree(const FileTransferNodePtr& node) {
    if (!node->children) return;
    for (const auto& c : *node->children) sortLoadedTree(c);
    sortSiblings(*node->children);
}

void FileTransferWindowController::resortBothTrees() {
    sortSiblings(localRoots_);
    sortSiblings(remoteRoots_);
    for (const auto& n : localRoots_) sortLoadedTree(n);
    for (const auto& n : remoteRoots_) sortLoadedTree(n);
}

std::vector<FileTransferNodePtr>& FileTransferWindowController::sourceTree() {
    return direction_ == TransferPanelDirection::sendToHost ? localRoots_ : remoteRoots_;
}

FileTransferPane FileTransferWindowController::sourcePane() const {
    return direction_ == TransferPanelDirection::sendToHost ? FileTransferPane::left : FileTransferPane::right;
}

FileTransferPane FileTransferWindowController::destinationPane() const {
    return direction_ == TransferPanelDirection::sendToHost ? FileTransferPane::right : FileTransferPane::left;
}

void FileTransferWindowController::sourceCheckboxToggled(const FileTransferSelectionCheckbox& sender) {
    if (!sender.outlineView || !sender.node) return;
    const auto& node = sender.node;
    const bool checked = sender.state != CheckState::off;
    node->isChecked = checked;
    node->isMixedState = false;
    propagateCheckDown(node, checked);
    for (auto parent = node->parent.lock(); parent; parent = parent->parent.lock()) {
        if (!parent->children || parent->children->empty()) break;
        bool all = true, some = false;
        for (const auto& c : *parent->children) {
            all = all && c->isChecked;
            some = some || c->isChecked || c->isMixedState;
        }
        parent->isChecked = all;
        parent->isMixedState = some && !all;
    }
    reloadData(*sender.outlineView);
    updateLeftCheckboxState();
    updateExecuteButton();
}

void FileTransferWindowController::propagateCheckDown(const FileTransferNodePtr& node, bool checked) {
    if (!node->children) return;
    for (const auto& c : *node->children) {
        c->isChecked = checked;
        c->isMixedState = false;
        propagateCheckDown(c, checked);
    }
}

void FileTransferWindowController::leftSelectAllClicked() {
    setAllSourceItemsSelected(views_.leftTopCheckbox.state == CheckState::on);
}

void FileTransferWindowController::rightSelectAllClicked() {
    setAllSourceItemsSelected(views_.rightTopCheckbox.state == CheckState::on);
}

void FileTransferWindowController::setTopCheckboxState(FileTransferPane pane, CheckState state) {
    if (pane == FileTransferPane::left) {
        views_.leftTopCheckbox.state = state;
        leftSelectAllClicked();
    } else {
        views_.rightTopCheckbox.state = state;
        rightSelectAllClicked();
    }
}

void FileTransferWindowController::setAllSourceItemsSelected(bool checked) {
    setAllChecked(sourceTree(), checked);
    outline(sourcePane()).selection.clear();
    if (view_.deselectAll) view_.deselectAll(sourcePane());
    reloadData(sourcePane());
    updateLeftCheckboxState();
    updateExecuteButton();
}

void FileTransferWindowController::setAllChecked(const std::vector<FileTransferNodePtr>& nodes, bool checked) {
    for (const auto& n : nodes) {
        n->isChecked = checked;
        n->isMixedState = false;
        propagateCheckDown(n, checked);
    }
}

bool FileTransferWindowController::allNodesChecked(const std::vector<FileTransferNodePtr>& nodes) {
    for (const auto& n : nodes) {
        if (!n->isChecked) return false;
        if (n->children && !allNodesChecked(*n->children)) return false;
    }
    return true;
}

bool FileTransferWindowController::anyNodeChecked(const std::vector<FileTransferNodePtr>& nodes) {
    for (const auto& n : nodes) {
        if (n->isChecked || (n->children && anyNodeChecked(*n->children))) return true;
    }
    return false;
}

bool FileTransferWindowController::anyNodeMixed(const std::vector<FileTransferNodePtr>& nodes) {
    for (const auto& n : nodes) {
        if (n->isMixedState || (n->children && anyNodeMixed(*n->children))) return true;
    }
    return false;
}

void FileTransferWindowController::updateLeftCheckboxState() {
    auto& box = direction_ == TransferPanelDirection::sendToHost ? views_.leftTopCheckbox : views_.rightTopCheckbox;
    const auto& tree = sourceTree();
    if (allNodesChecked(tree)) {
        box.state = CheckState::on;
    } else if (anyNodeChecked(tree) || anyNodeMixed(tree)) {
        box.state = CheckState::mixed;
    } else {
        box.state = CheckState::off;
    }
    updateSourceStatusLabel();
}

void FileTransferWindowController::updateSourceStatusLabel() {
    const auto items = uniqueTopLevelNodes(collectCheckedFileNodes(sourceTree()));
    std::int64_t files = 0, folders = 0;
    std::uint64_t bytes = 0;
    for (const auto& n : items) {
        if (n->kind == FileTransferNode::Kind::file) ++files;
        if (n->isContainer()) ++folders;
        bytes += n->size;
    }
    auto& label = direction_ == TransferPanelDirection::sendToHost ? views_.leftStatusLabel : views_.rightStatusLabel;
    if (files == 0 && folders == 0) {
        label.text = text("fileTransfer.selectedNone", "Selected: 0 items");
    } else {
        std::vector<std::string> parts;
        if (files > 0) parts.push_back(format("fileTransfer.fileCount", "%d file(s)", {files}));
        if (folders > 0) parts.push_back(format("fileTransfer.dirCount", "%d folder(s)", {folders}));
        parts.push_back(formatBytes(bytes));
        std::string joined;
        for (std::size_t i = 0; i < parts.size(); ++i) joined += (i ? " + " : "") + parts[i];
        label.text = format("fileTransfer.selectedSummary", "Selected: %@", {joined});
    }
    updateExecuteButton();
}

std::vector<FileTransferNodePtr> FileTransferWindowController::collectCheckedFileNodes(
    const std::vector<FileTransferNodePtr>& nodes) {
    std::vector<FileTransferNodePtr> result;
    for (const auto& n : nodes) {
        if (n->kind == FileTransferNode::Kind::placeholder) continue;
        if (n->isChecked) {
            result.push_back(n);
        } else if (n->children) {
            auto below = collectCheckedFileNodes(*n->children);
            result.insert(result.end(), below.begin(), below.end());
        }
    }
    return result;
}

std::vector<FileTransferNodePtr> FileTransferWindowController::uniqueTopLevelNodes(
    const std::vector<FileTransferNodePtr>& nodes) const {
    // Deduplicate by expanded path, a later node replacing an earlier one in its place.
    std::vector<std::pair<std::string, FileTransferNodePtr>> unique;
    for (const auto& n : nodes) {
        auto key = expandTilde(n->path, home());
        auto it = std::find_if(unique.begin(), unique.end(), [&](const auto& e) { return e.first == key; });
        if (it != unique.end()) {
            it->second = n;
        } else {
            unique.emplace_back(std::move(key), n);
        }
    }
    std::vector<FileTransferNodePtr> result;
    for (const auto& [path, node] : unique) {
        bool inside = false;
        for (const auto& [otherPath, other] : unique) {
            if (other == node || !other->isContainer()) continue;
            // "/" contains every other absolute path; "//" would match nothing.
            const auto prefix = otherPath == "/" ? otherPath : otherPath + "/";
            if (path != otherPath && path.starts_with(prefix)) {
                inside = true;
                break;
            }
        }
        if (!inside) result.push_back(node);
    }
    std::stable_sort(result.begin(), result.end(),
                     [](const auto& a, const auto& b) { return compareNamesCaseInsensitive(a->path, b->path) < 0; });
    return result;
}

std::string FileTransferWindowController::formatBytes(std::uint64_t n) {
    // Decimal units with "." whatever the process locale is.
    const auto oneDecimal = [](double v, const char* unit) {
        char buffer[48];
        const auto r = std::to_chars(buffer, buffer + sizeof buffer, v, std::chars_format::fixed, 1);
        return std::string(buffer, r.ptr) + " " + unit;
    };
    if (n < 1000) return std::to_string(n) + " B";
    if (n < 1000000) return oneDecimal(static_cast<double>(n) / 1e3, "KB");
    if (n < 1000000000) return oneDecimal(static_cast<double>(n) / 1e6, "MB");
    return oneDecimal(static_cast<double>(n) / 1e9, "GB");
}

void FileTransferWindowController::backupToggled() { backupEnabled_ = views_.backupCheckbox.state == CheckState::on; }

void FileTransferWindowController::setBackupCheckboxState(CheckState state) {
    views_.backupCheckbox.state = state;
    backupToggled();
}

}  // namespace qm
