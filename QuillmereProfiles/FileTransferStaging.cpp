// The staging root at the start: what an earlier run left there goes. And the batch folders of
// this run, held from when they are made until they are removed.
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

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
        auto named = [&](const std::shared_ptr<StagedFolder>& folder) { return folder && folder->name == name; };
        return std::any_of(inbound_.begin(), inbound_.end(), [&](const auto& batch) { return named(batch.second.staged); }) ||
               std::any_of(completedFolders_.begin(), completedFolders_.end(),
                           [&](const auto& batch) { return named(batch.second); });
    };
    while (const dirent* entry = ::readdir(listing)) {
        if (!running()) break;
        const std::string name = entry->d_name;
        if (!isBatchFolderName(name) || ours(name)) continue;
        // Another running Host (one started beside this one) holds the folders of its batches
        // locked: those are in use. The lock taken here keeps that Host from taking the folder
        // while it goes: it is emptied through the descriptor that holds the lock.
        FileDescriptor folder(::openat(::dirfd(listing), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (folder.valid() && ::flock(folder.get(), LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) continue;
        removeTreeAt(::dirfd(listing), name, 16, running, folder.release());
    }
    ::closedir(listing);
}

void FileTransferService::keepLeft(const std::shared_ptr<StagedFolder>& staged) {
    // Nothing holds it any more, and nothing else would remove it before the next start.
    std::lock_guard lock(leftLock_);
    if (leftFolders_.size() < maxLeftFolders) leftFolders_.push_back({staged->root, staged->name});
}

FileTransferService::LeftStaged FileTransferService::removeLeftFolders() {
    std::lock_guard lock(leftLock_);
    LeftStaged left;
    std::erase_if(leftFolders_, [&](const LeftFolder& folder) {
        if (removeTreeAt(folder.root->get(), folder.name)) return true;
        if (left.count++ == 0) left.error = errno;
        return false;
    });
    return left;
}

bool FileTransferService::removeLeftStaging(double patience) {
    {
        std::lock_guard lock(outgoingLock_);
        if (!stopped_) return false;
    }
    const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(std::max(patience, 0.0));
    for (;;) {
        const auto left = removeLeftFolders();
        if (left.count == 0) return true;
        // Descriptors the process lets go of meanwhile (connections closing on the network's
        // thread) make room for another try.
        if (isResourceShortage(left.error) && std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            continue;
        }
        onStatus(std::to_string(left.count) + " batch folder(s) stay in " +
                     (folders_.caches / "QuillmereFileInbox" / peerLabel).string() + ": " + std::strerror(left.error),
                 StatusSource{});
        return false;
    }
}

std::shared_ptr<const FileDescriptor> FileTransferService::batchStagingRoot(std::string& error) {
    auto fresh = openStagingRoot(error);
    if (!fresh) return nullptr;
    // Every batch folder made in the same staging root shares one descriptor of it: a burst of
    // batches costs one descriptor a batch, not two. The folder at the path is opened and checked
    // each time, so a root put elsewhere since is used (and held) from then on.
    struct stat now {}, held {};
    auto shared = stagingRoot_.lock();
    if (shared && ::fstat(fresh->get(), &now) == 0 && ::fstat(shared->get(), &held) == 0 &&
        now.st_dev == held.st_dev && now.st_ino == held.st_ino)
        return shared;
    shared = std::make_shared<const FileDescriptor>(std::move(*fresh));
    stagingRoot_ = shared;
    return shared;
}

std::shared_ptr<FileTransferService::StagedFolder> FileTransferService::holdBatchFolder(
    std::shared_ptr<const FileDescriptor> root, const std::string& name) {
    auto staged = std::make_shared<StagedFolder>();
    staged->folder = FileDescriptor(::openat(root->get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!staged->folder.valid()) {
        // Made a moment ago and not held (the process may be out of descriptors): it goes again
        // while it is empty, or nothing would ever remove it before the next start.
        const int cause = errno;
        ::unlinkat(root->get(), name.c_str(), AT_REMOVEDIR);
        errno = cause;
        return nullptr;
    }
    // A Host starting meanwhile may have taken the folder first (to remove it as left over):
    // then it is not used. Once locked and still in its place, no start removes it. A file
    // system without such locks cannot say; the folder is used as it is.
    if (::flock(staged->folder.get(), LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) return nullptr;
    struct stat held {}, there {};
    if (::fstat(staged->folder.get(), &held) != 0) return nullptr;
    if (::fstatat(root->get(), name.c_str(), &there, AT_SYMLINK_NOFOLLOW) != 0) return nullptr;
    if (held.st_dev != there.st_dev || held.st_ino != there.st_ino) {
        errno = ENOENT;
        return nullptr;
    }
    staged->root = std::move(root);
    staged->name = name;
    return staged;
}

bool FileTransferService::removeStagedFolder(const std::shared_ptr<StagedFolder>& staged) {
    // Through the staging root held since the folder was made: whatever now lies at the staging
    // root's path (a link put in its place) is not where the folder is looked for. The folder is
    // emptied through the descriptor it was held by (locked) all along, so a batch of files goes
    // without opening anything, even when the process has no descriptor to spare.
    if (!staged || !staged->root || !staged->root->valid()) return true;
    return removeTreeAt(staged->root->get(), staged->name, 16, {}, staged->folder.release());
}

}  // namespace qm
