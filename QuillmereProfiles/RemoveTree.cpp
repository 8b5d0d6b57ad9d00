#include "QuillmereProfiles/RemoveTree.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <utility>
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
                  const std::function<bool()>& keepGoing, int openEntry) {
    // What kept something in place first: a removal that fails says why (a process out of
    // descriptors is told from a tree that cannot go).
    int cause = 0;
    auto note = [&](int error) {
        if (cause == 0) cause = error;
    };
    auto failed = [&] {
        errno = cause != 0 ? cause : ENOTEMPTY;
        return false;
    };
    auto closeEntry = [&] {
        if (openEntry >= 0) ::close(std::exchange(openEntry, -1));
    };
    struct stat top {};
    if (::fstatat(folderFd, name.c_str(), &top, AT_SYMLINK_NOFOLLOW) != 0) {
        const int error = errno;
        closeEntry();
        errno = error;
        return error == ENOENT;
    }
    if (!S_ISDIR(top.st_mode)) {
        closeEntry();
        return ::unlinkat(folderFd, name.c_str(), 0) == 0 || errno == ENOENT;
    }
    // Every folder is judged against the file system of the folder holding the entry, the entry
    // too: a file system mounted at the entry's own name, or anywhere below, is never entered.
    struct stat holder {};
    if (::fstat(folderFd, &holder) != 0) {
        note(errno);
        closeEntry();
        return failed();
    }
    // With a single folder open nothing could be moved up out of the way.
    maxOpenFolders = std::max<std::size_t>(maxOpenFolders, 2);

    std::vector<FolderBeingEmptied> open;  // the entry first, then each folder below the last
    auto list = [&](int fd, const std::string& child) {
        struct stat info {};
        if (::fstat(fd, &info) != 0) {
            note(errno);
        } else if (info.st_dev == holder.st_dev) {
            if (DIR* listing = ::fdopendir(fd)) {
                open.push_back({listing, child, false});
                return;
            }
            note(errno);
        }
        ::close(fd);
    };
    auto enter = [&](int parent, const std::string& child) {
        const int fd = ::openat(parent, child.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) return note(errno);
        list(fd, child);
    };
    // The entry's own descriptor serves while it is still the folder found at its name.
    struct stat held {};
    if (openEntry >= 0 && ::fstat(openEntry, &held) == 0 && held.st_dev == top.st_dev && held.st_ino == top.st_ino) {
        ::lseek(openEntry, 0, SEEK_SET);  // its listing starts at the top whatever read it before
        list(std::exchange(openEntry, -1), name);
    } else {
        closeEntry();
        enter(folderFd, name);
    }
    if (open.empty()) return failed();

    std::uint64_t movedUp = 0;
    std::uint64_t steps = 0;
    while (!open.empty()) {
        if (keepGoing && ++steps % 256 == 0 && !keepGoing()) {
            for (auto& folder : open) ::closedir(folder.listing);
            note(ECANCELED);
            return failed();
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
            if (!removed) note(errno);
            if (open.empty()) return removed || failed();
            if (removed) open.back().changed = true;
            continue;
        }
        const std::string child = entry->d_name;
        if (child == "." || child == "..") continue;
        struct stat info {};
        if (::fstatat(fd, child.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno != ENOENT) note(errno);
            continue;
        }
        if (!S_ISDIR(info.st_mode)) {
            if (::unlinkat(fd, child.c_str(), 0) == 0) {
                current.changed = true;
            } else if (errno != ENOENT) {
                note(errno);
            }
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
            if (errno != EEXIST) {
                note(errno);
                break;
            }
        }
    }
    return failed();
}

}  // namespace qm
