#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <functional>
#include <span>
#include <thread>

#include "Platform/Core/LogText.h"
#include "QuillmereProfiles/FileTransferService.h"

namespace qm {

struct FileTransferService::Entry {
    std::filesystem::path absolute;  // where a batch that is not confined reads the item
    std::string relativePath;
    bool isDir = false;
    std::uint64_t size = 0;
    // In a confined batch: where the item really lay below the root when the walk saw it.
    std::vector<std::string> belowRoot;
};

namespace {

// Folder identities already walked in this batch: a link back into a folder being sent is
// not followed a second time, so the walk always ends.
using Visited = std::set<std::pair<dev_t, ino_t>>;

// The visible names in a folder, in name order. Takes the folder's descriptor.
std::vector<std::string> childNames(FileDescriptor folder) {
    std::vector<std::string> names;
    DIR* dir = ::fdopendir(folder.get());
    if (!dir) return names;
    folder.release();
    while (const dirent* entry = ::readdir(dir)) {
        std::string name = entry->d_name;
        if (name.empty() || name.front() == '.') continue;  // ".", "..", and hidden items
        names.push_back(std::move(name));
    }
    ::closedir(dir);
    // The directory's own order is arbitrary; sorting makes a batch reproducible.
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> childNames(const std::filesystem::path& folder) {
    return childNames(FileDescriptor(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)));
}

// Asked before every entry a walk takes: false once the batch was cancelled or the service
// stopped, and the walk ends where it stands.
using GoesOn = std::function<bool()>;

template <class EntryT>
bool walk(const std::filesystem::path& url, const std::string& basePath, std::vector<EntryT>& entries,
          std::uint64_t& totalBytes, std::uint64_t& totalFiles, Visited& visited, const GoesOn& goesOn) {
    if (!goesOn()) return false;
    struct stat info {};
    if (::stat(url.c_str(), &info) != 0) return true;  // nothing there (or a dangling link)
    if (S_ISDIR(info.st_mode)) {
        if (!visited.insert({info.st_dev, info.st_ino}).second) return true;
        entries.push_back(EntryT{url, basePath, true, 0, {}});
        for (const auto& name : childNames(url))
            if (!walk(url / name, basePath + "/" + name, entries, totalBytes, totalFiles, visited, goesOn)) return false;
        return true;
    }
    // A link to a file is sent as its target, in full.
    const std::uint64_t size = S_ISREG(info.st_mode) ? static_cast<std::uint64_t>(info.st_size) : 0;
    entries.push_back(EntryT{url, basePath, false, size, {}});
    totalBytes += size;
    totalFiles += 1;
    return true;
}

// The folders from a root down to the one in use, each opened by its name in the one above,
// following no link. The first keptLevels stay open for the next call, so a walk in tree order
// opens each folder once; a folder deeper than that is reached from the deepest kept one, and
// the last such one is kept too. At most keptLevels + 1 descriptors are held however deep the
// tree goes.
class FolderChain {
public:
    static constexpr std::size_t keptLevels = 32;
    explicit FolderChain(int rootFd) : rootFd_(rootFd) {}

    // The folder root/components..., or -1. The descriptor stays valid until the next call.
    int open(std::span<const std::string> components) {
        if (deep_.valid() && std::ranges::equal(components, deepNames_)) return deep_.get();
        deep_.reset();
        deepNames_.clear();
        std::size_t same = 0;
        while (same < kept_.size() && same < components.size() && names_[same] == components[same]) ++same;
        kept_.erase(kept_.begin() + static_cast<std::ptrdiff_t>(same), kept_.end());
        names_.erase(names_.begin() + static_cast<std::ptrdiff_t>(same), names_.end());
        int at = kept_.empty() ? rootFd_ : kept_.back().get();
        for (std::size_t i = same; i < components.size(); ++i) {
            FileDescriptor next(::openat(at, components[i].c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (!next.valid()) {
                deep_.reset();
                return -1;
            }
            if (i < keptLevels) {
                kept_.push_back(std::move(next));
                names_.push_back(components[i]);
                at = kept_.back().get();
            } else {
                deep_ = std::move(next);
                at = deep_.get();
            }
        }
        if (deep_.valid()) deepNames_.assign(components.begin(), components.end());
        return at;
    }

private:
    int rootFd_;
    std::vector<FileDescriptor> kept_;
    std::vector<std::string> names_;
    FileDescriptor deep_;
    std::vector<std::string> deepNames_;
};

// What a walk for a peer's request may reach: only what resolves inside the root; links that
// lead elsewhere are left out and counted. The walk goes down through the folders it is in,
// each entry looked at in its folder without following it; a link is judged from the root's
// opened folder one component at a time (see openItemBelow), and followed only as far as it
// stays inside.
struct Confinement {
    std::filesystem::path root;  // canonical
    FileDescriptor rootFd;
    std::uint64_t linksLeftOut = 0;

    // The components of a path below the root; nothing when it is not the root or below it.
    std::optional<std::vector<std::string>> below(const std::filesystem::path& path) const {
        const auto& text = path.native();
        const auto& base = root.native();
        if (text == base) return std::vector<std::string>{};
        if (text.size() <= base.size() || text.compare(0, base.size(), base) != 0) return std::nullopt;
        if (base.back() != '/' && text[base.size()] != '/') return std::nullopt;
        std::vector<std::string> parts;
        for (const auto& part : std::filesystem::path(text.substr(base.size())).relative_path())
            if (!part.empty()) parts.push_back(part.string());
        return parts;
    }
    std::optional<ConfinedItem> reach(const std::vector<std::string>& components, std::optional<int> fileFlags) {
        ConfinedMiss why{};
        auto item = openItemBelow(rootFd.get(), root, components, fileFlags, &why);
        if (!item && why == ConfinedMiss::outside) ++linksLeftOut;
        return item;
    }
    // Bytes of the path root/components..., which (as for openItemBelow) stays below PATH_MAX.
    std::size_t pathBytes(const std::vector<std::string>& components) const {
        std::size_t bytes = root.native().size();
        for (const auto& part : components) bytes += 1 + part.size();
        return bytes;
    }
};

template <class EntryT>
struct ConfinedWalk {
    std::vector<EntryT>& entries;
    std::uint64_t& totalBytes;
    std::uint64_t& totalFiles;
    Visited& visited;
    Confinement& confinement;
    const GoesOn& goesOn;
    FolderChain chain;

    void addFile(const std::vector<std::string>& components, const std::string& basePath, std::uint64_t size) {
        entries.push_back(EntryT{{}, basePath, false, size, components});
        totalBytes += size;
        totalFiles += 1;
    }
    // A folder reached (`fd`, which `owned` holds when the chain does not) and not walked yet:
    // its entry, then what is in it. False once the walk was told to end.
    bool addFolder(int fd, FileDescriptor owned, std::vector<std::string>& components, const std::string& basePath) {
        struct stat info {};
        if (::fstat(fd, &info) != 0 || !visited.insert({info.st_dev, info.st_ino}).second) return true;
        entries.push_back(EntryT{{}, basePath, true, 0, components});
        const std::size_t bytes = confinement.pathBytes(components);
        const auto names = childNames(FileDescriptor(::openat(fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)));
        owned.reset();  // what is below is reached through the chain
        for (const auto& name : names) {
            if (!goesOn()) return false;
            // Nothing lies deeper than a path the system would open by its name.
            if (bytes + 1 + name.size() > PATH_MAX - 1) continue;
            components.push_back(name);
            const bool goOn = visit(components, basePath + "/" + name);
            components.pop_back();
            if (!goOn) return false;
        }
        return true;
    }
    // The entry root/components... of a folder being walked.
    bool visit(std::vector<std::string>& components, const std::string& basePath) {
        const int folder = chain.open(std::span(components).first(components.size() - 1));
        struct stat info {};
        if (folder < 0 || ::fstatat(folder, components.back().c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) return true;
        if (S_ISLNK(info.st_mode)) return top(components, basePath);
        if (!S_ISDIR(info.st_mode)) {
            addFile(components, basePath, S_ISREG(info.st_mode) ? static_cast<std::uint64_t>(info.st_size) : 0);
            return true;
        }
        const int fd = chain.open(components);
        return fd < 0 || addFolder(fd, {}, components, basePath);
    }
    // An item reached from the root, following links only as far as they stay inside: a batch's
    // own items, and a link met on the way.
    bool top(const std::vector<std::string>& components, const std::string& basePath) {
        auto item = confinement.reach(components, std::nullopt);
        if (!item) return true;  // gone, leading out of the root, or unreadable
        if (!item->isFolder) {
            addFile(item->components, basePath, item->size);
            return true;
        }
        const int fd = item->fd.get();
        return addFolder(fd, std::move(item->fd), item->components, basePath);
    }
};

// A file of a confined batch, opened again to be sent: through the folders that lead to it,
// following no link. Nothing when any of them, or the file, is not what the walk saw there.
FileDescriptor openFileBelow(FolderChain& chain, const std::vector<std::string>& components) {
    if (components.empty()) return {};
    const int folder = chain.open(std::span(components).first(components.size() - 1));
    if (folder < 0) return {};
    FileDescriptor file(
        ::openat(folder, components.back().c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
    struct stat info {};
    if (file.valid() && (::fstat(file.get(), &info) != 0 || S_ISDIR(info.st_mode))) return {};
    return file;
}

std::string lastComponent(std::filesystem::path path) {
    while (path.has_relative_path() && !path.has_filename()) path = path.parent_path();
    return path.filename().string();
}

}  // namespace

std::optional<UUID> FileTransferService::sendURLs(const std::vector<std::filesystem::path>& urls,
                                                  FileTransferIntent intent, const std::optional<std::string>& destination,
                                                  FileTransferDeliveryOptions deliveryOptions,
                                                  const std::optional<std::string>& routingToken,
                                                  std::optional<UUID> batchID,
                                                  const std::optional<std::filesystem::path>& confinedTo,
                                                  const std::optional<std::string>& requestedBy) {
    std::vector<std::filesystem::path> kept;
    for (const auto& url : urls)
        if (!url.empty()) kept.push_back(url);
    if (kept.empty()) return std::nullopt;
    const UUID id = batchID.value_or(UUID::random());
    {
        std::lock_guard lock(outgoingLock_);
        if (stopped_) return std::nullopt;
        // An id already on its way keeps its destination: whoever may cancel it and the
        // per-destination count stay those of the batch that holds it.
        if (!outgoingActive_.try_emplace(id, routingToken).second) return std::nullopt;
    }
    std::weak_ptr<FileTransferService> weak = weak_from_this();
    sendQueue_->async([weak, kept, id, intent, destination, deliveryOptions, routingToken, confinedTo, requestedBy] {
        if (auto self = weak.lock())
            self->performSend(kept, id, intent, destination, deliveryOptions, routingToken, confinedTo, requestedBy);
    });
    return id;
}

void FileTransferService::performSend(const std::vector<std::filesystem::path>& urls, const UUID& batchID,
                                      FileTransferIntent intent, const std::optional<std::string>& destination,
                                      FileTransferDeliveryOptions deliveryOptions,
                                      const std::optional<std::string>& routingToken,
                                      const std::optional<std::filesystem::path>& confinedTo,
                                      const std::optional<std::string>& requestedBy) {
    // Every line of a batch a peer asked for is about that peer.
    const StatusSource about{requestedBy, StatusSource::Kind::doneForPeer};
    std::vector<Entry> entries;
    std::uint64_t totalBytes = 0, totalFiles = 0;
    Visited visited;
    std::optional<Confinement> confinement;
    // A cancel or a stop ends the walk where it stands (a home folder takes a while), and a batch
    // that has one before it starts is not walked at all.
    std::uint64_t steps = 0;
    const GoesOn goesOn = [&] {
        if (steps++ % walkCheckEntries != 0) return true;
        onWalkCheck(batchID);
        return !isOutgoingCancelled(batchID);
    };
    bool walked = goesOn();
    if (confinedTo) {
        std::error_code error;
        auto root = std::filesystem::canonical(*confinedTo, error);
        confinement = Confinement{root, FileDescriptor(), 0};
        if (!error) confinement->rootFd = FileDescriptor(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    }
    std::optional<ConfinedWalk<Entry>> confinedWalk;
    if (confinement)
        confinedWalk.emplace(ConfinedWalk<Entry>{entries, totalBytes, totalFiles, visited, *confinement, goesOn,
                                                 FolderChain(confinement->rootFd.get())});
    for (const auto& url : urls) {
        if (!walked) break;
        if (!confinement) {
            walked = walk(url, lastComponent(url), entries, totalBytes, totalFiles, visited, goesOn);
            continue;
        }
        // Without its root nothing can be judged inside it, so nothing is sent.
        const auto components = confinement->rootFd.valid() ? confinement->below(url) : std::nullopt;
        if (components) walked = confinedWalk->top(*components, lastComponent(url));
    }
    confinedWalk.reset();
    auto finished = [&] {
        std::lock_guard lock(outgoingLock_);
        outgoingCancelled_.erase(batchID);
        outgoingActive_.erase(batchID);
    };
    // A batch cancelled (or stopped) before its items were all listed is sent empty, ended at
    // once; one with nothing to send sends nothing.
    const bool cutShort = !walked || isOutgoingCancelled(batchID);
    if (cutShort) {
        entries.clear();
        totalBytes = totalFiles = 0;
    } else if (entries.empty()) {
        return finished();
    }

    const auto itemNames = FileTransferDocuments::transferItemNames(urls);
    const auto fileCount = static_cast<std::int64_t>(totalFiles);
    onMain([batchID, fileCount, totalBytes, intent, itemNames](FileTransferService& self) {
        self.onOutgoingBatchStarted(batchID, fileCount, totalBytes, intent, itemNames);
    });
    std::string leftOut;
    if (confinement && confinement->linksLeftOut > 0)
        leftOut = "; left out " + std::to_string(confinement->linksLeftOut) + " link(s) leading outside " +
                  escapedForLog(confinement->root.string());
    if (!cutShort)
        onStatus("sending " + std::to_string(totalFiles) + " item(s), " + byteString(totalBytes) + " to " +
                     peerLabel + leftOut,
                 about);

    if (destination && !destination->empty())
        send({FileTransferOp::directSave, batchID, deliveryOptions.rawValue, 0, *destination, {}}, routingToken);
    send({FileTransferOp::batchStart, batchID, totalBytes, FileTransferPacket::batchStartValue2(intent, totalFiles), {},
          FileTransferDocuments::encodeItemNames(itemNames)},
         routingToken);
    if (intent != FileTransferIntent::copy)
        send({FileTransferOp::batchIntent, batchID, static_cast<std::uint64_t>(intent), 0, {}, {}}, routingToken);

    // Files are opened again through the folders that lead to them, kept open from one file to
    // the next as the walk kept them.
    std::optional<FolderChain> folders;
    if (confinement) folders.emplace(confinement->rootFd.get());
    OutgoingProgress progress{batchID, 0, totalBytes, 0, 0};
    bool gone = false;
    for (const auto& entry : entries) {
        if (isOutgoingCancelled(batchID) || gone) break;
        if (entry.isDir) {
            send({FileTransferOp::mkdir, batchID, 0, 0, entry.relativePath, {}}, routingToken);
            continue;
        }
        send({FileTransferOp::fileStart, batchID, entry.size, 0, entry.relativePath, {}}, routingToken);
        // Non-blocking, so that a fifo among the items cannot stall the queue.
        FileDescriptor file;
        if (!confinement) {
            file = FileDescriptor(::open(entry.absolute.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
        } else {
            file = openFileBelow(*folders, entry.belowRoot);
            // Not where the walk saw it: reached from the root again, whatever was put on its
            // way since (a folder swapped for a link out of the root) is judged now, not trusted.
            if (auto item = file.valid() ? std::nullopt : confinement->reach(entry.belowRoot, O_RDONLY | O_NONBLOCK);
                item && !item->isFolder)
                file = std::move(item->fd);
        }
        if (!file.valid()) {
            const auto name = confinement ? (entry.belowRoot.empty() ? lastComponent(confinement->root)
                                                                      : entry.belowRoot.back())
                                          : lastComponent(entry.absolute);
            onStatus("open failed: " + escapedForLog(name), about);
        } else if (entry.size > 0) {
            sendFileChunks(file.get(), entry.relativePath, batchID, entry.size, progress, routingToken);
        }
        file.reset();
        // The destination may have gone while the last chunks waited for room.
        if (outgoingBacklog && !outgoingBacklog.get()(routingToken)) gone = true;
        if (!isOutgoingCancelled(batchID) && !gone)
            send({FileTransferOp::fileEnd, batchID, entry.size, 0, entry.relativePath, {}}, routingToken);
    }
    if (outgoingBacklog && !outgoingBacklog.get()(routingToken)) gone = true;
    const bool cancelled = isOutgoingCancelled(batchID);
    // A send that did not reach its destination is never reported complete.
    if (gone) {
        onStatus("send failed for batch " + shortBatchID(batchID) + ": the " + peerLabel + " is gone", about);
    } else {
        send({FileTransferOp::batchEnd, batchID, 0, 0, {}, {}}, routingToken);
        onStatus(std::string("send ") + (cancelled ? "cancelled" : "completed") + " for batch " + shortBatchID(batchID),
                 about);
    }
    reportOutgoingProgress(progress, true);
    finished();
    onMain([batchID, gone, cancelled](FileTransferService& self) {
        if (gone || cancelled) self.onOutgoingBatchStopped(batchID, gone);
        self.onOutgoingBatchCompleted(batchID);
    });
}

bool FileTransferService::waitForOutgoingRoom(const UUID& batchID, const std::optional<std::string>& routingToken,
                                              bool& gone) {
    if (isOutgoingCancelled(batchID)) return false;
    auto backlog = outgoingBacklog.get();
    if (!backlog) return true;
    // The destination's queue drains at the network's pace; reading from disk waits for it so a
    // slow reader costs the Host a bounded amount of memory. This runs on the send queue, which
    // has nothing else to do meanwhile.
    for (;;) {
        if (isOutgoingCancelled(batchID)) return false;
        const auto queued = backlog(routingToken);
        if (!queued) {
            gone = true;
            return false;
        }
        if (*queued <= maxOutgoingBacklogBytes) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

void FileTransferService::reportOutgoingProgress(OutgoingProgress& progress, bool last) {
    // At most once per interval however small the chunks and files, and the last figure before
    // the batch's completion.
    const auto now = clock_->uptimeNs();
    if (progress.sent == progress.reported || (!last && now < progress.nextReportNs)) return;
    progress.reported = progress.sent;
    progress.nextReportNs = now + static_cast<std::uint64_t>(progressReportInterval * 1e9);
    onMain([batchID = progress.batchID, sent = progress.sent, total = progress.total](FileTransferService& self) {
        self.onOutgoingBatchProgress(batchID, sent, total);
    });
}

void FileTransferService::sendFileChunks(int fd, const std::string& relativePath, const UUID& batchID,
                                         std::uint64_t fileSize, OutgoingProgress& progress,
                                         const std::optional<std::string>& routingToken) {
    const auto readSize = static_cast<std::uint64_t>(std::max<std::int64_t>(chunkSize, 1));
    std::uint64_t offset = 0;
    bool gone = false;
    while (offset < fileSize) {
        if (!waitForOutgoingRoom(batchID, routingToken, gone)) return;
        Bytes buffer(static_cast<std::size_t>(std::min(fileSize - offset, readSize)));
        ssize_t n;
        do {
            n = ::read(fd, buffer.data(), buffer.size());
        } while (n < 0 && errno == EINTR);
        // End of file or a read error: the file ends early; the peer sees the shortfall.
        if (n <= 0) return;
        buffer.resize(static_cast<std::size_t>(n));
        send({FileTransferOp::fileChunk, batchID, offset, 0, relativePath, std::move(buffer)}, routingToken);
        offset += static_cast<std::uint64_t>(n);
        progress.sent += static_cast<std::uint64_t>(n);
        reportOutgoingProgress(progress, false);
    }
}

}  // namespace qm
