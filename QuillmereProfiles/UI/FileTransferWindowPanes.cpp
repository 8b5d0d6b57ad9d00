// Outline panes, titles, Host selection, local roots and folder grants.
#include <ctime>

#include "QuillmereProfiles/QuillmereL10n.h"
#include "QuillmereProfiles/UI/FileTransferWindowText.h"
#include "QuillmereProfiles/UI/FileTransferBookmarks.h"
#include "QuillmereProfiles/UI/FileTransferWindowController.h"

namespace qm {
namespace {

using file_transfer_window::format;
using file_transfer_window::text;

std::string cleanedName(std::string s) {
    const std::string bullet = "\xE2\x97\x8F";
    for (auto pos = s.find(bullet); pos != std::string::npos; pos = s.find(bullet, pos)) s.erase(pos, bullet.size());
    const auto isBlank = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; };
    std::size_t b = 0, e = s.size();
    while (b < e && isBlank(s[b])) ++b;
    while (e > b && isBlank(s[e - 1])) --e;
    return s.substr(b, e - b);
}

// File-count style: whole kilobytes, one decimal above a megabyte, two above a gigabyte.
std::string byteCountFileStyle(std::uint64_t n) {
    char buffer[64];
    if (n == 0) return "Zero KB";
    if (n < 1000) return std::to_string(n) + (n == 1 ? " byte" : " bytes");
    if (n < 1000000) return std::to_string((n + 500) / 1000) + " KB";
    if (n < 1000000000) {
        std::snprintf(buffer, sizeof buffer, "%.1f MB", static_cast<double>(n) / 1e6);
    } else {
        std::snprintf(buffer, sizeof buffer, "%.2f GB", static_cast<double>(n) / 1e9);
    }
    std::string out = buffer;
    for (auto& c : out) {
        if (c == ',') c = '.';
    }
    return out;
}

}  // namespace

// ---- data source and delegate ------------------------------------------------------------

std::size_t FileTransferWindowController::numberOfChildren(FileTransferPane pane, const FileTransferNodePtr& item) const {
    if (item) return item->children ? item->children->size() : 0;
    return pane == FileTransferPane::left ? localRoots_.size() : remoteRoots_.size();
}

FileTransferNodePtr FileTransferWindowController::child(FileTransferPane pane, std::size_t index,
                                                        const FileTransferNodePtr& item) const {
    const auto& list = item ? (item->children ? *item->children : std::vector<FileTransferNodePtr>{})
                            : (pane == FileTransferPane::left ? localRoots_ : remoteRoots_);
    return index < list.size() ? list[index] : nullptr;
}

bool FileTransferWindowController::isItemExpandable(const FileTransferNodePtr& item) const {
    return item && item->isContainer();
}

bool FileTransferWindowController::shouldSelectItem(FileTransferPane pane, const FileTransferNodePtr& item) const {
    if (!item) return false;
    if (pane == sourcePane()) return true;
    return item->isContainer();
}

FileTransferRowCell FileTransferWindowController::rowCell(FileTransferPane pane, const FileTransferNodePtr& node) const {
    FileTransferRowCell cell;
    const bool source = pane == sourcePane();
    const bool placeholder = node->kind == FileTransferNode::Kind::placeholder;
    if (source && !placeholder) {
        cell.hasCheckbox = true;
        cell.checkState = node->isChecked ? CheckState::on : (node->isMixedState ? CheckState::mixed : CheckState::off);
    }
    static const char* symbols[] = {"\xF0\x9F\x96\xA5", "\xF0\x9F\x93\x81", "\xF0\x9F\x93\x84", "\xE2\x8F\xB3"};
    cell.label = std::string(symbols[static_cast<int>(node->kind)]) + "  " + node->name;
    cell.secondaryText = !source || placeholder;
    cell.leadingInset = source ? 24 : 4;
    if (node->kind == FileTransferNode::Kind::file && node->size > 0) cell.sizeText = formatBytes(node->size);
    if (!source && targetDirectoryPath_ && *targetDirectoryPath_ == node->path &&
        node->kind == FileTransferNode::Kind::directory) {
        cell.targetMarker = text("fileTransfer.target", "◀── Target");
    }
    return cell;
}

std::string FileTransferWindowController::metadataText(const std::string& column, const FileTransferNodePtr& node) {
    using K = FileTransferNode::Kind;
    if (column == "date") {
        if (!node->modificationDate) return "—";
        // Medium date, short time.
        const auto t = static_cast<std::time_t>(*node->modificationDate);
        std::tm tm{};
        localtime_r(&t, &tm);
        static const char* months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
        char buffer[64];
        const int hour12 = tm.tm_hour % 12 == 0 ? 12 : tm.tm_hour % 12;
        std::snprintf(buffer, sizeof buffer, "%s %d, %d at %d:%02d %s", months[tm.tm_mon], tm.tm_mday,
                      tm.tm_year + 1900, hour12, tm.tm_min, tm.tm_hour < 12 ? "AM" : "PM");
        return buffer;
    }
    if (column == "size") return node->kind == K::file ? byteCountFileStyle(node->size) : "—";
    if (column == "kind") {
        switch (node->kind) {
        case K::volume: return text("fileTransfer.kindVolume", "Drive");
        case K::directory: return text("fileTransfer.kindFolder", "Folder");
        case K::file: {
            const auto ext = pathExtension(node->name);
            return ext.empty() ? text("fileTransfer.kindFile", "File") : upperCased(ext);
        }
        case K::placeholder: return "";
        }
    }
    return node->name;
}

void FileTransferWindowController::outlineViewSelectionDidChange(FileTransferPane pane,
                                                                 std::vector<FileTransferNodePtr> selection) {
    outline(pane).selection = std::move(selection);
    if (pane == sourcePane()) {
        updateSourceStatusLabel();
        changed();
        return;
    }
    const auto& selected = outline(pane).selection;
    if (selected.empty() || !selected.front() || !selected.front()->isContainer()) return;
    const auto node = selected.front();
    targetDirectoryPath_ = node->path;
    auto& status = pane == FileTransferPane::right ? views_.rightStatusLabel : views_.leftStatusLabel;
    status.text = format("fileTransfer.targetSelected", "Target: %@", {node->path});
    updateExecuteButton();
    if (previousTargetNode_ && previousTargetNode_ != node) reloadItem(pane, previousTargetNode_, false);
    reloadItem(pane, node, false);
    previousTargetNode_ = node;
    changed();
}

bool FileTransferWindowController::shouldExpandItem(FileTransferPane pane, const FileTransferNodePtr& item) {
    if (!item) return false;
    if (pane == FileTransferPane::right) {
        if (!item->childrenLoaded || item->firstChildIsPlaceholder()) loadRemoteChildren(item);
    } else if (!item->children) {
        loadLocalChildren(item);
        reloadItem(pane, item, true);
    }
    return true;
}

void FileTransferWindowController::outlineViewDoubleClicked(FileTransferPane pane, const FileTransferNodePtr& clicked) {
    if (!clicked) return;
    using K = FileTransferNode::Kind;
    const auto folderURL = [this](const std::string& path) {
        return std::filesystem::path(normalisedPath(path, home()));
    };
    if (pane == FileTransferPane::left) {
        if (clicked->kind == K::placeholder) {
            auto folder = clicked->parent.lock();
            if (!folder) {
                for (const auto& root : localRoots_) {
                    if (root->path == clicked->path) folder = root;
                }
            }
            if (folder) presentFolderAuthorizationPanel(false, folderURL(folder->path));
        } else if (clicked->isContainer() && localDirectoryNeedsAuthorization(clicked)) {
            presentFolderAuthorizationPanel(false, folderURL(clicked->path));
        }
        return;
    }
    if (clicked->kind == K::placeholder) {
        if (auto parent = clicked->parent.lock()) reloadRemoteChildren(parent);
    } else if (clicked->isContainer() && (clicked->firstChildIsPlaceholder() || !clicked->childrenLoaded)) {
        reloadRemoteChildren(clicked);
    }
}

void FileTransferWindowController::sortDescriptorsDidChange(const std::vector<FileTreeSortDescriptor>& descriptors) {
    if (descriptors.empty()) return;
    fileTreeSortDescriptors_ = descriptors;
    resortBothTrees();
    reloadData(FileTransferPane::left);
    reloadData(FileTransferPane::right);
}

// ---- titles, Host selection, execute button ----------------------------------------------

std::string FileTransferWindowController::paneTitle(const std::string& deviceName, const std::string& roleKey,
                                                    const std::string& roleDefault) {
    return format("fileTransfer.paneTitleFormat", "%@ (%@)", {deviceName, text(roleKey, roleDefault)});
}

void FileTransferWindowController::updatePaneTitles() {
    auto local = cleanedName(deps_.localDeviceName ? deps_.localDeviceName() : std::string());
    if (local.empty()) local = text("fileTransfer.viewerFallback", "This Mac");
    auto host = cleanedName(selectedPeerName_.value_or(""));
    if (host.empty()) host = text("fileTransfer.hostFallback", "Host");
    const bool send = direction_ == TransferPanelDirection::sendToHost;
    const std::string sourceKey = "fileTransfer.sourceRole", destinationKey = "fileTransfer.destinationRole";
    views_.leftTitleLabel.text = send ? paneTitle(local, sourceKey, "Source") : paneTitle(local, destinationKey, "Destination");
    views_.rightTitleLabel.text = send ? paneTitle(host, destinationKey, "Destination") : paneTitle(host, sourceKey, "Source");
    changed();
}

void FileTransferWindowController::selectHostItem(std::size_t index) {
    if (index >= views_.hostSelector.items.size()) return;
    views_.hostSelector.selectedIndex = index;
    hostSelectionChanged();
}

void FileTransferWindowController::hostSelectionChanged() {
    // A Host that opens elsewhere sends the selection back to the first item, handled once
    // more at most: when the first item answers the same way, the window stops there.
    for (int round = 0; round < 2; ++round) {
        const auto& selector = views_.hostSelector;
        const auto index = selector.selectedIndex;
        if (!index || *index >= selector.items.size() || selector.items[*index].identifier.empty()) {
            selectedPeerID_.reset();
            selectedPeerName_.reset();
            changed();
            return;
        }
        const auto item = selector.items[*index];
        if (deps_.openFileTransferForPeer && deps_.openFileTransferForPeer(item.identifier)) {
            views_.rightStatusLabel.text =
                format("fileTransfer.openedOtherHost", "Opened File Transfer for %@ in its Host window.", {item.title});
            views_.hostSelector.selectedIndex = 0;
            changed();
            if (*index == 0) return;
            continue;
        }
        selectedPeerID_ = item.identifier;
        selectedPeerName_ = item.title;
        updatePaneTitles();
        remoteRoots_.clear();
        reloadData(FileTransferPane::right);
        loadRemoteRoots();
        updateExecuteButton();
        return;
    }
}

void FileTransferWindowController::refreshClicked() {
    refreshHostSelector();
    remoteRoots_.clear();
    reloadData(FileTransferPane::right);
    if (selectedPeerID_) loadRemoteRoots();
    localRoots_.clear();
    reloadData(FileTransferPane::left);
    loadLocalRoots();
}

void FileTransferWindowController::selectDirectionSegment(int segment) {
    views_.directionSelectedSegment = segment;
    directionChanged();
}

void FileTransferWindowController::directionChanged() {
    selectDirection(views_.directionSelectedSegment != 0 ? TransferPanelDirection::receiveFromHost
                                                         : TransferPanelDirection::sendToHost);
}

std::string FileTransferWindowController::transferSetupGuidance(bool hasSource, bool hasTarget, bool hasPeer) const {
    if (!hasPeer) return text("fileTransfer.connectHostGuidance", "Connect to a Host to transfer files.");
    if (!hasSource) return text("fileTransfer.selectItemsGuidance", "Select one or more files or folders to transfer.");
    if (!hasTarget) return text("fileTransfer.selectDestinationGuidance", "Select a destination folder to continue.");
    return "";
}

void FileTransferWindowController::updateExecuteButton() {
    const auto count = static_cast<std::int64_t>(
        uniqueTopLevelNodes(collectCheckedFileNodes(direction_ == TransferPanelDirection::sendToHost ? localRoots_
                                                                                                    : remoteRoots_))
            .size());
    const bool hasTarget = targetDirectoryPath_.has_value();
    const bool hasPeer = selectedPeerID_.has_value();
    auto& button = views_.executeButton;
    if (activeTransferBatchID_) {
        button.enabled = false;
        button.title = text("fileTransfer.copying", "Copying…");
        changed();
        return;
    }
    const bool send = direction_ == TransferPanelDirection::sendToHost;
    button.enabled = hasTarget && hasPeer && count >= 1;
    const std::string peerName = selectedPeerName_.value_or("Host");
    if (!button.enabled) {
        button.title = send ? text("fileTransfer.copySelected", "Copy Selected Items")
                            : text("fileTransfer.receiveSelected", "Receive Selected Items");
        views_.transferSummaryLabel.text = transferSetupGuidance(count > 0, hasTarget, hasPeer);
        views_.transferStatusLabel.text = views_.transferSummaryLabel.text;
    } else {
        button.title = send ? format("fileTransfer.copyToHost", "Copy %d Item(s) to %@", {count, peerName})
                            : format("fileTransfer.receiveFromHost", "Receive %d Item(s) from %@", {count, peerName});
        views_.transferSummaryLabel.text =
            send ? format("fileTransfer.readyToCopy", "Ready to copy to %@", {*targetDirectoryPath_})
                 : format("fileTransfer.readyToReceive", "Ready to receive into %@", {*targetDirectoryPath_});
        views_.transferStatusLabel.text = text("fileTransfer.readyToTransfer", "Start the transfer when ready.");
    }
    changed();
}

// ---- local roots and folder grants -------------------------------------------------------

bool FileTransferWindowController::isLocalPath(const std::string& path, const std::string& root) const {
    const auto p = normalisedPath(path, home());
    const auto r = normalisedPath(root, home());
    if (r == "/") return p.starts_with("/");
    if (p == r) return true;
    return p.starts_with(r + "/");
}

std::vector<std::pair<std::string, std::string>> FileTransferWindowController::resolvedAuthorizedLocalRoots() {
    std::vector<std::pair<std::string, std::string>> roots;
    if (!env_.folders || !env_.defaults) return roots;
    const auto homePath = normalisedPath(home(), home());
    for (const auto& entry : FileTransferBookmarks::load(*env_.defaults)) {
        const auto resolved = env_.folders->resolveBookmark(entry.data);
        if (!resolved || resolved->isStale) continue;
        const auto p = normalisedPath(resolved->path.string(), home());
        if (!activeSecurityScopedURLs_.count(p)) {
            if (env_.folders->startAccessingSecurityScopedResource(p)) {
                activeSecurityScopedURLs_[p] = p;
            } else if (!env_.folders->isReadableFile(p)) {
                continue;
            }
        }
        bool known = false;
        for (const auto& root : roots) known = known || root.second == p;
        if (known) continue;
        std::string name = entry.displayName.value_or(
            p == homePath ? std::string("Home") : std::filesystem::path(p).filename().string());
        roots.emplace_back(std::move(name), p);
    }
    std::vector<std::pair<std::string, std::string>> outermost;
    for (const auto& root : roots) {
        bool covered = false;
        for (const auto& other : roots) {
            if (other.second != root.second && isLocalPath(root.second, other.second)) covered = true;
        }
        if (!covered) outermost.push_back(root);
    }
    return outermost;
}

void FileTransferWindowController::loadLocalRoots() {
    localRoots_.clear();
    const auto authorised = resolvedAuthorizedLocalRoots();
    const struct {
        const char* key;
        const char* name;
        const char* path;
    } standard[] = {{"fileTransfer.desktop", "Desktop", "~/Desktop"},
                    {"fileTransfer.documents", "Documents", "~/Documents"},
                    {"fileTransfer.downloads", "Downloads", "~/Downloads"}};
    for (const auto& folder : standard) {
        if (!env_.folders || !env_.folders->directoryExists(expandTilde(folder.path, home()))) continue;
        bool covered = false;
        for (const auto& root : authorised) covered = covered || isLocalPath(folder.path, root.second);
        if (covered) continue;
        appendLocalRoot(text(folder.key, folder.name), folder.path, FileTransferNode::Kind::directory);
    }
    for (const auto& root : authorised) appendLocalRoot(root.first, root.second, FileTransferNode::Kind::directory);
    reloadData(FileTransferPane::left);
    updateLeftCheckboxState();
}

bool FileTransferWindowController::appendLocalRoot(const std::string& name, const std::string& path,
                                                   FileTransferNode::Kind kind) {
    const auto normal = normalisedPath(path, home());
    for (const auto& root : localRoots_) {
        if (normalisedPath(root->path, home()) == normal) return false;
    }
    localRoots_.push_back(makeLocalNode(name, path, kind));
    return true;
}

bool FileTransferWindowController::startSecurityScopedAccess(const std::filesystem::path& url) {
    const auto key = normalisedPath(url.string(), home());
    if (activeSecurityScopedURLs_.count(key)) return true;
    if (!env_.folders || !env_.folders->startAccessingSecurityScopedResource(key)) return false;
    activeSecurityScopedURLs_[key] = key;
    return true;
}

void FileTransferWindowController::presentFolderAuthorizationPanel(bool initial,
                                                                   const std::optional<std::filesystem::path>& suggestedURL) {
    if (folderAuthorizationPanel_) {
        if (view_.bringWindowToFront) view_.bringWindowToFront();
        if (view_.bringFolderPanelToFront) view_.bringFolderPanelToFront();
        return;
    }
    FolderAuthorizationRequest request;
    request.initial = initial;
    request.directory = suggestedURL ? std::filesystem::path(normalisedPath(suggestedURL->string(), home()))
                                     : std::filesystem::path(home());
    request.prompt = text("fileTransfer.addFolderPrompt", initial ? "Allow Home Folder" : "Allow Folder Access");
    std::string message;
    if (suggestedURL) {
        message = format("fileTransfer.addSpecificFolderMessage",
                         "Choose %@ to let File Transfer browse and transfer files there.", {request.directory.string()});
    } else if (initial) {
        message = "Choose your Home folder to let File Transfer browse and transfer files in Desktop, Documents, "
                  "Downloads, and other folders.";
    } else {
        message = "Choose a folder that File Transfer may browse and use. This does not move any files.";
    }
    request.message = text("fileTransfer.addFolderMessage", message);
    folderAuthorizationPanel_ = request;
    if (view_.bringWindowToFront) view_.bringWindowToFront();
    if (view_.presentFolderPanel) view_.presentFolderPanel(request);
}

void FileTransferWindowController::folderPanelFinished(std::optional<std::filesystem::path> chosen) {
    if (!folderAuthorizationPanel_) return;
    folderAuthorizationPanel_.reset();
    if (chosen && !chosen->empty()) addLocalBookmark(*chosen);
}

void FileTransferWindowController::addLocalFolder() { presentFolderAuthorizationPanel(false, lastAuthorizedFolderURL_); }

void FileTransferWindowController::addLocalBookmark(const std::filesystem::path& url) {
    const std::filesystem::path std = normalisedPath(url.string(), home());
    lastAuthorizedFolderURL_ = std;
    startSecurityScopedAccess(std);
    if (env_.folders && env_.defaults) {
        if (const auto bookmark = env_.folders->bookmarkData(std)) {
            const std::string displayName = std.string() == home() ? std::string("Home") : std.filename().string();
            FileTransferBookmarks::save(*env_.defaults, *bookmark, displayName);
        }
    }
    loadLocalRoots();
    views_.leftStatusLabel.text = format("fileTransfer.accessGranted", "Access granted: %@", {std.string()});
    changed();
}

bool FileTransferWindowController::localDirectoryNeedsAuthorization(const FileTransferNodePtr& node) {
    if (!node->isContainer()) return false;
    if (node->firstChildIsPlaceholder()) return true;
    if (!env_.folders) return true;
    return !env_.folders->contentsOfDirectory(normalisedPath(node->path, home()), true).has_value();
}

}  // namespace qm
