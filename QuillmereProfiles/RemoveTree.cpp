#include "QuillmereProfiles/RemoveTree.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace qm {

namespace {

// A folder being emptied: its listing (which holds its descriptor) and its name in the folder
// above it.
struct FolderBeingEmptied {
    DIR* listing = nullptr;
    std::string name;
    // Something in it went, or was moved into it, since its listing began: it is listed again
    // before it counts as empty, as a listing may miss what changed under it.
    bool changed = false;
};

}  // namespace

bool removeTreeAt(int folderFd, const std::string& name, std::size_t maxOpenFolders,
                  const std::function<bool()>& keepGoing) {
    struct stat top {};
    if (::fstatat(folderFd, name.c_str(), &top, AT_SYMLINK_NOFOLLOW) != 0) return errno == ENOENT;
    if (!S_ISDIR(top.st_mode)) return ::unlinkat(folderFd, name.c_str(), 0) == 0 || errno == ENOENT;
    // Every folder is judged against the file system of the folder holding the entry, the entry
    // too: a file system mounted at the entry's own name, or anywhere below, is never entered.
    struct stat holder {};
    if (::fstat(folderFd, &holder) != 0) return false;
    // With a single folder open nothing could be moved up out of the way.
    maxOpenFolders = std::max<std::size_t>(maxOpenFolders, 2);

    std::vector<FolderBeingEmptied> open;  // the entry first, then each folder below the last
    auto enter = [&](int parent, const std::string& child) {
        const int fd = ::openat(parent, child.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) return;
        struct stat info {};
        DIR* listing = ::fstat(fd, &info) == 0 && info.st_dev == holder.st_dev ? ::fdopendir(fd) : nullptr;
        if (!listing) {
            ::close(fd);
            return;
        }
        open.push_back({listing, child, false});
    };
    enter(folderFd, name);
    if (open.empty()) return false;

    std::uint64_t movedUp = 0;
    std::uint64_t steps = 0;
    while (!open.empty()) {
        if (keepGoing && ++steps % 256 == 0 && !keepGoing()) {
            for (auto& folder : open) ::closedir(folder.listing);
            return false;
        }
        auto& current = open.back();
        const int fd = ::dirfd(current.listing);
        const dirent* entry = ::readdir(current.listing);
        if (!entry) {
            if (current.changed) {
                current.changed = false;
                ::rewinddir(current.listing);
                continue;
            }
            // As empty as it gets: it goes from the folder above (it stays when something in it
            // could not be removed).
            const std::string emptied = current.name;
            ::closedir(current.listing);
            open.pop_back();
            const int parent = open.empty() ? folderFd : ::dirfd(open.back().listing);
            const bool removed = ::unlinkat(parent, emptied.c_str(), AT_REMOVEDIR) == 0;
            if (open.empty()) return removed;
            if (removed) open.back().changed = true;
            continue;
        }
        const std::string child = entry->d_name;
        if (child == "." || child == "..") continue;
        struct stat info {};
        if (::fstatat(fd, child.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) continue;
        if (!S_ISDIR(info.st_mode)) {
            if (::unlinkat(fd, child.c_str(), 0) == 0) current.changed = true;
            continue;
        }
        if (info.st_dev != holder.st_dev) continue;
        if (open.size() < maxOpenFolders) {
            enter(fd, child);
            continue;
        }
        // Too deep to hold open: moved up below the entry, which lists it later. Every move
        // brings a folder closer to the entry, so the walk ends however deep the tree was.
        const int entryFd = ::dirfd(open.front().listing);
        for (;;) {
            const std::string moved = ".moved-up-" + std::to_string(++movedUp);
            if (::renameat2(fd, child.c_str(), entryFd, moved.c_str(), RENAME_NOREPLACE) == 0) {
                current.changed = true;
                open.front().changed = true;
                break;
            }
            if (errno != EEXIST) break;
        }
    }
    return false;
}

}  // namespace qm
