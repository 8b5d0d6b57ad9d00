#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>

#include "Platform/Core/LogText.h"
#include "QuillmereProfiles/FileTransferService.h"

namespace qm {

struct FileTransferService::Entry {
    std::filesystem::path absolute;
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

template <class EntryT>
void walk(const std::filesystem::path& url, const std::string& basePath, std::vector<EntryT>& entries,
          std::uint64_t& totalBytes, std::uint64_t& totalFiles, Visited& visited) {
    struct stat info {};
    if (::stat(url.c_str(), &info) != 0) return;  // nothing there (or a dangling link)
    if (S_ISDIR(info.st_mode)) {
        if (!visited.insert({info.st_dev, info.st_ino}).second) return;
        entries.push_back(EntryT{url, basePath, true, 0, {}});
        for (const auto& name : childNames(url))
            walk(url / name, basePath + "/" + name, entries, totalBytes, totalFiles, visited);
        return;
    }
    // A link to a file is sent as its target, in full.
    const std::uint64_t size = S_ISREG(info.st_mode) ? static_cast<std::uint64_t>(info.st_size) : 0;
    entries.push_back(EntryT{url, basePath, false, size, {}});
    totalBytes += size;
    totalFiles += 1;
}

// What a walk for a peer's request may reach: only what resolves inside the root, reached from
// the root's opened folder one component at a time (see openItemBelow); links that lead
// elsewhere are left out and counted. Every item is reached afresh from the root, so no
// descriptor is held from one level to the next however deep the walk goes.
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
};

template <class EntryT>
void walkConfined(const std::vector<std::string>& components, const std::string& basePath, std::vector<EntryT>& entries,
                  std::uint64_t& totalBytes, std::uint64_t& totalFiles, Visited& visited, Confinement& confinement) {
    auto item = confinement.reach(components, std::nullopt);
    if (!item) return;  // gone, leading out of the root, or unreadable
    auto absolute = confinement.root;
    for (const auto& part : item->components) absolute /= part;
    if (!item->isFolder) {
        entries.push_back(EntryT{absolute, basePath, false, item->size, item->components});
        totalBytes += item->size;
        totalFiles += 1;
        return;
    }
    struct stat info {};
    if (::fstat(item->fd.get(), &info) != 0 || !visited.insert({info.st_dev, info.st_ino}).second) return;
    entries.push_back(EntryT{absolute, basePath, true, 0, item->components});
    // Read through the descriptor the folder was checked with, which is let go before the
    // entries are walked.
    const auto names = childNames(std::move(item->fd));
    auto child = item->components;
    for (const auto& name : names) {
        child.push_back(name);
        walkConfined(child, basePath + "/" + name, entries, totalBytes, totalFiles, visited, confinement);
        child.pop_back();
    }
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
    if (confinedTo) {
        std::error_code error;
        auto root = std::filesystem::canonical(*confinedTo, error);
        confinement = Confinement{root, FileDescriptor(), 0};
        if (!error) confinement->rootFd = FileDescriptor(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    }
    for (const auto& url : urls) {
        if (!confinement) {
            walk(url, lastComponent(url), entries, totalBytes, totalFiles, visited);
            continue;
        }
        // Without its root nothing can be judged inside it, so nothing is sent.
        const auto components = confinement->rootFd.valid() ? confinement->below(url) : std::nullopt;
        if (components)
            walkConfined(*components, lastComponent(url), entries, totalBytes, totalFiles, visited, *confinement);
    }
    auto finished = [&] {
        std::lock_guard lock(outgoingLock_);
        outgoingCancelled_.erase(batchID);
        outgoingActive_.erase(batchID);
    };
    if (entries.empty()) return finished();

    const auto itemNames = FileTransferDocuments::transferItemNames(urls);
    const auto fileCount = static_cast<std::int64_t>(totalFiles);
    onMain([batchID, fileCount, totalBytes, intent, itemNames](FileTransferService& self) {
        self.onOutgoingBatchStarted(batchID, fileCount, totalBytes, intent, itemNames);
    });
    std::string leftOut;
    if (confinement && confinement->linksLeftOut > 0)
        leftOut = "; left out " + std::to_string(confinement->linksLeftOut) + " link(s) leading outside " +
                  escapedForLog(confinement->root.string());
    onStatus("sending " + std::to_string(totalFiles) + " item(s), " + byteString(totalBytes) + " to " + peerLabel +
                 leftOut,
             about);

    if (destination && !destination->empty())
        send({FileTransferOp::directSave, batchID, deliveryOptions.rawValue, 0, *destination, {}}, routingToken);
    send({FileTransferOp::batchStart, batchID, totalBytes, FileTransferPacket::batchStartValue2(intent, totalFiles), {},
          FileTransferDocuments::encodeItemNames(itemNames)},
         routingToken);
    if (intent != FileTransferIntent::copy)
        send({FileTransferOp::batchIntent, batchID, static_cast<std::uint64_t>(intent), 0, {}, {}}, routingToken);

    std::uint64_t sentBytes = 0;
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
        } else if (auto item = confinement->reach(entry.belowRoot, O_RDONLY | O_NONBLOCK); item && !item->isFolder) {
            // Reached from the root again, as the walk reached it: whatever was put on its way
            // since (a folder swapped for a link out of the root) is judged now, not trusted.
            file = std::move(item->fd);
        }
        if (!file.valid()) {
            onStatus("open failed: " + escapedForLog(lastComponent(entry.absolute)), about);
        } else if (entry.size > 0) {
            sendFileChunks(file.get(), entry.relativePath, batchID, entry.size, sentBytes, totalBytes, routingToken);
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

void FileTransferService::sendFileChunks(int fd, const std::string& relativePath, const UUID& batchID,
                                         std::uint64_t fileSize, std::uint64_t& sentBytes, std::uint64_t totalBytes,
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
        sentBytes += static_cast<std::uint64_t>(n);
        onMain([batchID, sent = sentBytes, totalBytes](FileTransferService& self) {
            self.onOutgoingBatchProgress(batchID, sent, totalBytes);
        });
    }
}

}  // namespace qm
