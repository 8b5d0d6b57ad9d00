#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdlib>

#include "QuillmereProfiles/ConfinedFiles.h"
#include "QuillmereProfiles/FileTransferService.h"

namespace qm {

namespace {

std::string homeOfUser(const std::string& user) {
    passwd entry {};
    passwd* result = nullptr;
    std::vector<char> buffer(16384);
    if (::getpwnam_r(user.c_str(), &entry, buffer.data(), buffer.size(), &result) != 0 || !result || !result->pw_dir)
        return {};
    return result->pw_dir;
}

// The folder a listDir names: "" and "~" are home, a leading "~" or "~user" is expanded, a
// relative path is taken from the home folder (the Host's working folder means nothing to a
// Viewer); ".", ".." and doubled separators are folded.
std::string resolvedListingPath(const std::string& requested, const std::filesystem::path& home) {
    const auto text = FileTransferDocuments::trimmed(requested);
    std::string expanded = text;
    if (text.empty() || text == "~") {
        expanded = home.string();
    } else if (text.front() == '~') {
        const auto slash = text.find('/');
        const auto user = text.substr(1, slash == std::string::npos ? std::string::npos : slash - 1);
        const auto rest = slash == std::string::npos ? std::string() : text.substr(slash);
        const auto base = user.empty() ? home.string() : homeOfUser(user);
        if (!base.empty()) expanded = base + rest;
    }
    std::filesystem::path path(expanded);
    if (path.is_relative()) path = home / path;
    auto normal = path.lexically_normal().string();
    while (normal.size() > 1 && normal.back() == '/') normal.pop_back();
    return normal;
}

std::optional<std::string> canonical(const std::string& path) {
    char buffer[PATH_MAX];
    if (!::realpath(path.c_str(), buffer)) return std::nullopt;
    return std::string(buffer);
}

bool lessCaseInsensitive(const std::string& a, const std::string& b) {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) < std::tolower(static_cast<unsigned char>(y));
    });
}

// The folder at `path`, a real path inside the real folder `root`, reached from the opened root
// one component at a time: a folder swapped for a link that leads out of the root since the path
// was judged is not opened.
std::optional<FileDescriptor> openFolderInside(const std::string& root, const std::string& path) {
    std::vector<std::string> components;
    if (path != root) {
        const auto prefix = root == "/" ? root : root + "/";
        if (!path.starts_with(prefix)) return std::nullopt;
        for (const auto& part : std::filesystem::path(path.substr(prefix.size())))
            if (!part.empty()) components.push_back(part.string());
    }
    FileDescriptor rootFd(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!rootFd.valid()) return std::nullopt;
    auto item = openItemBelow(rootFd.get(), root, components, std::nullopt);
    if (!item || !item->isFolder) return std::nullopt;
    return std::move(item->fd);
}

// Takes the folder's descriptor.
std::vector<RemoteDirectoryEntry> listFolder(FileDescriptor folder, bool& truncated) {
    std::vector<RemoteDirectoryEntry> entries;
    DIR* dir = ::fdopendir(folder.get());
    if (!dir) return entries;
    folder.release();
    while (const dirent* item = ::readdir(dir)) {
        std::string name = item->d_name;
        if (name.empty() || name.front() == '.') continue;  // ".", ".." and hidden items
        // A huge folder is answered with part of it: the reply must fit one frame, and the
        // receive queue must not spend long on it.
        if (entries.size() == FileTransferService::maxListingEntries) {
            truncated = true;
            break;
        }
        RemoteDirectoryEntry entry{name, false, 0, std::nullopt};
        struct stat info {};
        if (::fstatat(::dirfd(dir), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0) {
            entry.isDirectory = S_ISDIR(info.st_mode);
            entry.size = S_ISREG(info.st_mode) ? static_cast<std::uint64_t>(info.st_size) : 0;
            entry.modificationDate =
                static_cast<double>(info.st_mtim.tv_sec) + static_cast<double>(info.st_mtim.tv_nsec) / 1e9;
        }
        entries.push_back(std::move(entry));
    }
    ::closedir(dir);
    std::stable_sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) {
        if (a.isDirectory != b.isDirectory) return a.isDirectory;
        return lessCaseInsensitive(a.name, b.name);
    });
    return entries;
}

}  // namespace

UUID FileTransferService::requestDirectoryListing(const std::string& path) {
    return requestDirectoryListing(path, std::nullopt);
}

UUID FileTransferService::requestDirectoryListing(const std::string& path,
                                                  const std::optional<std::string>& routingToken) {
    const auto requestID = UUID::random();
    if (routingToken) {
        std::lock_guard lock(listingLock_);
        if (pendingListings_.size() >= maxPendingListingRequests) pendingListings_.erase(pendingListings_.begin());
        pendingListings_.emplace_back(requestID, routingToken);
    }
    send({FileTransferOp::listDir, requestID, 0, 0, path, {}}, routingToken);
    return requestID;
}

void FileTransferService::handleListDirRequest(const FileTransferPacketView& packet,
                                               const std::optional<std::string>& peerToken) {
    // Runs only once the asker has room for the answer: its lane waits until then (serveInboundTurn).
    const auto resolved = resolvedListingPath(packet.path, folders_.home);
    std::vector<RemoteDirectoryEntry> entries;
    bool truncated = false;
    // Confinement is judged on real paths, so a link inside home cannot lead a listing out of it,
    // and the folder is then opened from home through folders that stay inside it.
    const auto real = canonical(resolved);
    const auto realHome = canonical(folders_.home.string());
    if (real && realHome) {
        if (auto folder = openFolderInside(*realHome, *real)) entries = listFolder(std::move(*folder), truncated);
    }
    auto document = FileTransferDocuments::encodeListing(entries);
    while (document.size() > maxListingBytes && !entries.empty()) {
        entries.resize(entries.size() * 3 / 4);
        truncated = true;
        document = FileTransferDocuments::encodeListing(entries);
    }
    // Only the asker gets the answer; value1 = 1 says that entries were left out.
    send({FileTransferOp::listDirReply, packet.batchID, truncated ? 1u : 0u, 0, resolved, std::move(document)},
         peerToken);
}

void FileTransferService::handleListDirReply(const FileTransferPacketView& packet,
                                             const std::optional<std::string>& peerToken) {
    {
        // A request sent to one peer is answered by that peer only: another peer's folders must
        // not appear as the asked one's.
        std::lock_guard lock(listingLock_);
        auto asked = std::find_if(pendingListings_.begin(), pendingListings_.end(),
                                  [&](const auto& entry) { return entry.first == packet.batchID; });
        if (asked != pendingListings_.end()) {
            if (asked->second != peerToken) return;
            pendingListings_.erase(asked);
        }
    }
    auto entries = FileTransferDocuments::decodeListing(packet.data);
    onMain([id = packet.batchID, path = packet.path, entries = std::move(entries)](FileTransferService& self) {
        self.onDirectoryListing(id, path, entries);
    });
}

}  // namespace qm
