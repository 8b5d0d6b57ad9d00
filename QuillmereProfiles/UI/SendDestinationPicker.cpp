#include "QuillmereProfiles/UI/SendDestinationPicker.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>

#include "Platform/Json.h"

#include "QuillmereProfiles/FileTransferService.h"

namespace qm {

namespace {

const std::string unavailableText = "Remote browsing unavailable; use a preset or type a folder path.";
const std::string unavailableTypedText = "Remote browsing unavailable; the typed path will still be used.";
const std::string browseHintText = "Select a folder, use a preset, or type a path and click Load.";

std::string trimmed(const std::string& text) { return FileTransferDocuments::trimmed(text); }

}  // namespace

// ---- Remembered choice -----------------------------------------------------------------------

void SendDestinationMemory::remember(UserDefaults& defaults, const SendDestinationResult& result) {
    nlohmann::json object{{"peerID", result.peer.id},
                          {"peerName", result.peer.displayName},
                          {"destination", result.destination},
                          {"remember", result.remember}};
    const auto text = jsonText(object);
    defaults.setData(defaultsKey, UserDefaults::Bytes(text.begin(), text.end()));
}

std::optional<SendDestinationResult> SendDestinationMemory::recall(const UserDefaults& defaults) {
    const auto stored = defaults.data(defaultsKey);
    if (!stored || stored->empty()) return std::nullopt;
    const auto object = parseJson(*stored);
    if (!object.is_object() || object.empty()) return std::nullopt;
    const auto text = [&](const char* key) -> std::optional<std::string> {
        auto found = object.find(key);
        if (found == object.end() || !found->is_string()) return std::nullopt;
        return found->get<std::string>();
    };
    auto peerID = text("peerID");
    auto peerName = text("peerName");
    auto destination = text("destination");
    if (!peerID || !peerName || !destination) return std::nullopt;
    auto remember = object.find("remember");
    SendDestinationResult result;
    result.peer = {*peerID, *peerName, std::nullopt};
    result.destination = *destination;
    result.remember = remember != object.end() && remember->is_boolean() && remember->get<bool>();
    return result;
}

void SendDestinationMemory::forget(UserDefaults& defaults) { defaults.remove(defaultsKey); }

// ---- Picker ----------------------------------------------------------------------------------

const std::vector<SendDestinationPicker::Preset>& SendDestinationPicker::defaultPresets() {
    static const std::vector<Preset> presets{
        {"Desktop", "~/Desktop"}, {"Downloads", "~/Downloads"}, {"Documents", "~/Documents"}};
    return presets;
}

std::shared_ptr<SendDestinationPicker::PickerController> SendDestinationPicker::present(
    const std::string& windowTitle, const std::string& headerText, const std::vector<SendDestinationOption>& peers,
    const std::vector<Preset>& presets, const std::optional<SendDestinationResult>& previousChoice,
    std::shared_ptr<FileTransferService> directoryService, Environment environment, Completion completion) {
    auto controller =
        std::make_shared<PickerController>(peers, presets, previousChoice, std::move(directoryService),
                                           std::move(completion), windowTitle, headerText, std::move(environment));
    controller->run();
    return controller;
}

SendDestinationPicker::PickerController::PickerController(std::vector<SendDestinationOption> peers,
                                                          std::vector<Preset> presets,
                                                          std::optional<SendDestinationResult> previousChoice,
                                                          std::shared_ptr<FileTransferService> directoryService,
                                                          Completion completion, std::string windowTitle,
                                                          std::string headerText, Environment environment)
    : peers_(std::move(peers)),
      presets_(std::move(presets)),
      previousChoice_(std::move(previousChoice)),
      directoryService_(std::move(directoryService)),
      completion_(std::move(completion)),
      windowTitle_(std::move(windowTitle)),
      headerText_(std::move(headerText)),
      env_(std::move(environment)) {
    if (env_.localHome.empty()) {
        if (const char* home = std::getenv("HOME")) env_.localHome = home;
    }
}

void SendDestinationPicker::PickerController::run() {
    installDirectoryListingHandler();
    // The window's starting state.
    if (previousChoice_) {
        pathText_ = previousChoice_->destination;
    } else if (!presets_.empty()) {
        pathText_ = presets_.front().path;
    } else {
        pathText_ = "~/Desktop";
    }
    statusText_ = directoryService_ ? std::string() : unavailableText;
    remember_ = previousChoice_ && previousChoice_->remember;
    if (previousChoice_) {
        for (std::size_t i = 0; i < peers_.size(); ++i) {
            if (peers_[i].id == previousChoice_->peer.id) {
                selectedPeerIndex_ = static_cast<std::int64_t>(i);
                break;
            }
        }
    }
    resetFolderRoots();
    visible_ = true;
    if (env_.activateApplication) env_.activateApplication();
    if (env_.present) env_.present(shared_from_this());
    changed();
}

void SendDestinationPicker::PickerController::installDirectoryListingHandler() {
    if (!directoryService_) return;
    previousListingHandler_ = directoryService_->onDirectoryListing.get();
    directoryService_->onDirectoryListing =
        [weak = weak_from_this()](const UUID& id, const std::string& path, const std::vector<RemoteDirectoryEntry>& entries) {
            if (auto self = weak.lock()) self->handleListing(id, path, entries);
        };
}

std::vector<SendDestinationPicker::PickerController::EntryRow> SendDestinationPicker::PickerController::entryRows() const {
    std::vector<EntryRow> rows;
    for (const auto& peer : peers_) {
        EntryRow row{peer.displayName, std::nullopt, false};
        if (peer.detailText && !peer.detailText->empty()) row.detail = peer.detailText;
        rows.push_back(std::move(row));
    }
    if (rows.empty()) rows.push_back({noDeviceText, std::nullopt, true});
    return rows;
}

std::optional<SendDestinationOption> SendDestinationPicker::PickerController::selectedPeer() const {
    if (peers_.empty()) return std::nullopt;
    const auto index = std::clamp<std::int64_t>(selectedPeerIndex_, 0, static_cast<std::int64_t>(peers_.size()) - 1);
    return peers_[static_cast<std::size_t>(index)];
}

std::string SendDestinationPicker::PickerController::folderDisplayName(const std::string& path,
                                                                      const std::string& localHome) {
    if (path == "~") return "Home";
    std::string expanded = path;
    if (path.rfind("~/", 0) == 0) expanded = localHome + path.substr(1);
    while (expanded.size() > 1 && expanded.back() == '/') expanded.pop_back();
    const auto name = std::filesystem::path(expanded).filename().string();
    return name.empty() ? path : name;
}

void SendDestinationPicker::PickerController::resetFolderRoots() {
    activeRequests_.clear();
    roots_.clear();
    selectedFolder_.reset();
    roots_.push_back(std::make_shared<FolderNode>("Home", "~", std::weak_ptr<FolderNode>(), false));
    std::set<std::string> seen{"~"};
    for (const auto& preset : presets_) {
        if (!seen.insert(preset.path).second) continue;
        roots_.push_back(std::make_shared<FolderNode>(preset.title, preset.path, std::weak_ptr<FolderNode>(), false));
    }
    if (previousChoice_) {
        const auto destination = trimmed(previousChoice_->destination);
        if (!destination.empty() && !seen.count(destination)) {
            roots_.insert(roots_.begin(), std::make_shared<FolderNode>(folderDisplayName(destination, env_.localHome),
                                                                      destination, std::weak_ptr<FolderNode>(), false));
        }
    }
    statusText_ = directoryService_ ? browseHintText : unavailableText;
    changed();
}

void SendDestinationPicker::PickerController::requestListing(const FolderNodePtr& node) {
    if (!node || node->placeholder) return;
    if (!directoryService_) {
        statusText_ = unavailableTypedText;
        changed();
        return;
    }
    if (node->children && node->children->size() == 1 && node->children->front()->placeholder) return;
    node->children = std::vector<FolderNodePtr>{std::make_shared<FolderNode>(loadingName, node->path, node, true)};
    node->expanded = true;
    // A Viewer's entry asks that Viewer alone, so the outline shows its folders and no other's;
    // an entry standing for several Viewers asks them all and takes the first answer.
    const auto peer = selectedPeer();
    std::optional<std::string> token;
    if (peer && UUID::parse(peer->id)) token = peer->id;
    const auto requestID = directoryService_->requestDirectoryListing(node->path, token);
    activeRequests_[requestID] = node;
    statusText_ = "Loading " + node->path + " from " + (peer ? peer->displayName : std::string("device")) + "...";
    changed();
    env_.mainQueue->asyncAfter(listingTimeout, [weak = weak_from_this(), weakNode = std::weak_ptr<FolderNode>(node),
                                                requestID] {
        auto self = weak.lock();
        auto waiting = weakNode.lock();
        if (!self || !waiting) return;
        auto found = self->activeRequests_.find(requestID);
        if (found == self->activeRequests_.end() || found->second != waiting) return;
        self->activeRequests_.erase(found);
        waiting->children = std::vector<FolderNodePtr>{};
        self->statusText_ = "No folder list response for " + waiting->path + "; type a path or use a preset.";
        self->changed();
    });
}

void SendDestinationPicker::PickerController::handleListing(const UUID& requestID, const std::string& resolvedPath,
                                                             const std::vector<RemoteDirectoryEntry>& entries) {
    auto found = activeRequests_.find(requestID);
    if (found == activeRequests_.end()) {
        if (previousListingHandler_ && *previousListingHandler_) (*previousListingHandler_)(requestID, resolvedPath, entries);
        return;
    }
    auto node = found->second;
    activeRequests_.erase(found);
    applyListing(entries, resolvedPath, node);
}

void SendDestinationPicker::PickerController::applyListing(const std::vector<RemoteDirectoryEntry>& entries,
                                                           const std::string& resolvedPath, const FolderNodePtr& node) {
    if (!resolvedPath.empty()) node->path = resolvedPath;
    std::vector<FolderNodePtr> children;
    for (const auto& entry : entries) {
        if (!entry.isDirectory) continue;
        std::string childPath;
        if (node->path == "/") {
            childPath = "/" + entry.name;
        } else if (node->path == "~") {
            childPath = "~/" + entry.name;
        } else {
            childPath = node->path + "/" + entry.name;
        }
        children.push_back(std::make_shared<FolderNode>(entry.name, childPath, node, false));
    }
    const bool none = children.empty();
    node->children = std::move(children);
    node->expanded = true;
    statusText_ = none ? "No subfolders in " + node->path + "; this folder is selected." : "Loaded " + node->path;
    if (selectedFolder_ == node) pathText_ = node->path;
    changed();
}

void SendDestinationPicker::PickerController::selectPeerRow(std::int64_t row) {
    if (row < 0 || row >= static_cast<std::int64_t>(peers_.size()) || row == selectedPeerIndex_) return;
    selectedPeerIndex_ = row;
    resetFolderRoots();
}

void SendDestinationPicker::PickerController::selectFolder(const FolderNodePtr& node) {
    if (!node || node->placeholder) return;
    selectedFolder_ = node;
    pathText_ = node->path;
    if (!node->children) {
        requestListing(node);
    } else {
        changed();
    }
}

void SendDestinationPicker::PickerController::doubleClickFolder(const FolderNodePtr& node) {
    if (!node || node->placeholder) return;
    if (node->expanded) {
        node->expanded = false;
    } else {
        if (!node->children) requestListing(node);
        node->expanded = true;
    }
    changed();
}

void SendDestinationPicker::PickerController::pressPreset(std::size_t index) {
    if (index >= presets_.size()) return;
    pathText_ = presets_[index].path;
    loadPath(pathText_);
}

void SendDestinationPicker::PickerController::setPathText(const std::string& text) { pathText_ = text; }

void SendDestinationPicker::PickerController::pressLoad() {
    const auto text = trimmed(pathText_);
    if (text.empty()) {
        makeBeep();
        return;
    }
    loadPath(text);
}

void SendDestinationPicker::PickerController::loadPath(const std::string& typed) {
    const auto text = trimmed(typed);
    if (text.empty()) {
        makeBeep();
        return;
    }
    if (!directoryService_) {
        statusText_ = unavailableTypedText;
        changed();
        return;
    }
    FolderNodePtr node;
    for (const auto& root : roots_) {
        if (root->path == text) {
            node = root;
            break;
        }
    }
    if (!node) {
        node = std::make_shared<FolderNode>(folderDisplayName(text, env_.localHome), text, std::weak_ptr<FolderNode>(),
                                            false);
        roots_.insert(roots_.begin(), node);
    }
    selectedFolder_ = node;
    pathText_ = node->path;
    requestListing(node);
    changed();
}

void SendDestinationPicker::PickerController::pressSend() {
    if (peers_.empty()) {
        endModal(false);
        return;
    }
    if (trimmed(pathText_).empty()) {
        makeBeep();
        return;
    }
    endModal(true);
}

void SendDestinationPicker::PickerController::pressCancel() { endModal(false); }

void SendDestinationPicker::PickerController::makeBeep() {
    if (beep) beep();
}

void SendDestinationPicker::PickerController::endModal(bool ok) {
    if (ended_) return;
    ended_ = true;
    // Keep the controller alive while its owner's completion runs.
    auto self = shared_from_this();
    visible_ = false;
    changed();
    if (directoryService_) {
        directoryService_->onDirectoryListing = previousListingHandler_.value_or(ListingHandler());
    }
    std::optional<SendDestinationResult> result;
    if (ok && !peers_.empty()) result = SendDestinationResult{*selectedPeer(), trimmed(pathText_), remember_};
    if (auto completion = std::move(completion_)) completion(result);
}

}  // namespace qm
