// The staging root at the start: what an earlier run left there goes.
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "QuillmereProfiles/FileTransferService.h"
#include "QuillmereProfiles/RemoveTree.h"

namespace qm {

bool FileTransferService::isBatchFolderName(std::string_view name) {
    auto digits = [](std::string_view text) {
        return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
    };
    auto upperHex = [](char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); };
    const auto dash = name.find('-');
    if (dash == std::string_view::npos || !digits(name.substr(0, dash))) return false;
    auto rest = name.substr(dash + 1);
    if (rest.size() < 8 || !std::all_of(rest.begin(), rest.begin() + 8, upperHex)) return false;
    rest.remove_prefix(8);
    return rest.empty() || (rest.front() == '-' && digits(rest.substr(1)));
}

void FileTransferService::start() {
    std::string error;
    auto root = openStagingRoot(error);
    if (!root) return;  // every batch is refused with the reason; nothing to tidy
    // One running Host owns the staging root, and the lock goes with its process: a Host started
    // beside a running one (one it could not hand over to) leaves that Host's batches alone. A
    // file system without such locks cannot say; the start goes on, as nothing else runs that
    // the hand-off at launch could reach.
    if (::flock(root->get(), LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) return;
    {
        std::lock_guard lock(outgoingLock_);
        if (started_ || stopped_) return;
        started_ = true;
        stagingClaim_ = std::move(*root);
    }
    std::weak_ptr<FileTransferService> weak = weak_from_this();
    inboundQueue_->async([weak] {
        if (auto self = weak.lock()) self->removeEarlierStaging();
    });
}

void FileTransferService::removeEarlierStaging() {
    // A listing of its own of the folder that was checked and claimed, never of a path.
    FileDescriptor listed(::openat(stagingClaim_.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    DIR* listing = listed.valid() ? ::fdopendir(listed.get()) : nullptr;
    if (!listing) return;
    listed.release();
    // A stop does not wait for a large tree to go.
    auto running = [this] {
        std::lock_guard lock(outgoingLock_);
        return !stopped_;
    };
    // Only the shape of a batch folder is the Host's: anything else there was put by someone else.
    // Folders of this run's own batches (none, when started before any packet) stay.
    auto ours = [this](const std::string& name) {
        auto named = [&](const std::filesystem::path& folder) { return folder.filename() == name; };
        return std::any_of(inbound_.begin(), inbound_.end(), [&](const auto& batch) { return named(batch.second.rootDir); }) ||
               std::any_of(completedFolders_.begin(), completedFolders_.end(),
                           [&](const auto& batch) { return named(batch.second); });
    };
    while (const dirent* entry = ::readdir(listing)) {
        if (!running()) break;
        const std::string name = entry->d_name;
        if (isBatchFolderName(name) && !ours(name)) removeTreeAt(::dirfd(listing), name, 16, running);
    }
    ::closedir(listing);
}

}  // namespace qm
