#include "HostApp/Delivery/DeliveredItems.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <functional>
#include <span>
#include <vector>

#include "Platform/Core/UUID.h"
#include "QuillmereProfiles/ConfinedFiles.h"
#include "QuillmereProfiles/RemoveTree.h"

namespace qm {

namespace fs = std::filesystem;

namespace {

// Levels below the item a copy goes; a Viewer's items are never deeper.
constexpr int maxCopyDepth = 64;

std::error_code lastError() { return {errno, std::generic_category()}; }

std::error_code renameAt(int fromFolder, const std::string& fromName, int toFolder, const std::string& toName) {
    // renameat2 with RENAME_NOREPLACE never replaces what holds the new name, and like every
    // rename it acts on the entries themselves: a link is moved, never followed.
    if (::renameat2(fromFolder, fromName.c_str(), toFolder, toName.c_str(), RENAME_NOREPLACE) == 0) return {};
    return lastError();
}

FileDescriptor openFolderAt(int folder, const std::string& name) {
    return FileDescriptor(::openat(folder, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

bool sameItem(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// The bytes of the open `in` into the open `out`.
std::error_code copyBytes(int in, int out) {
    std::vector<std::uint8_t> buffer(1 << 16);
    for (;;) {
        const auto n = ::read(in, buffer.data(), buffer.size());
        if (n == 0) return {};
        if (n < 0) {
            if (errno == EINTR) continue;
            return lastError();
        }
        if (!writeAll(out, std::span(buffer.data(), static_cast<std::size_t>(n)))) return lastError();
    }
}

// Removes folder/name only while it is still the item `made` (an item someone put under that
// name meanwhile is theirs and stays).
void removeIfMade(int folder, const std::string& name, int made) {
    struct stat there {}, ours {};
    if (::fstatat(folder, name.c_str(), &there, AT_SYMLINK_NOFOLLOW) != 0 || ::fstat(made, &ours) != 0 ||
        !sameItem(there, ours))
        return;
    removeItemIn(folder, name);
}

std::error_code copyTree(int fromFolder, const std::string& fromName, int toFolder, const std::string& toName,
                         int depth);

std::error_code copyFolderContents(int from, int to, int depth) {
    DIR* listing = ::fdopendir(::dup(from));
    if (!listing) return lastError();
    std::error_code error;
    for (;;) {
        errno = 0;
        const dirent* entry = ::readdir(listing);
        if (!entry) {
            if (errno != 0) error = lastError();
            break;
        }
        const std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        // Inside a folder of its own making, the children's names are free.
        if ((error = copyTree(from, name, to, name, depth + 1))) break;
    }
    ::closedir(listing);
    return error;
}

// Copies fromFolder/fromName to toFolder/toName, taking the name only if nothing holds it: a file
// is created with O_EXCL, a folder with mkdirat, a link with symlinkat, each of which fails on a
// name that exists. When the copy fails, only what it made itself is removed.
std::error_code copyTree(int fromFolder, const std::string& fromName, int toFolder, const std::string& toName,
                         int depth) {
    if (depth > maxCopyDepth) return std::make_error_code(std::errc::filename_too_long);
    struct stat info {};
    if (::fstatat(fromFolder, fromName.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) return lastError();
    if (S_ISREG(info.st_mode)) {
        FileDescriptor in(::openat(fromFolder, fromName.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        struct stat opened {};
        if (!in.valid()) return lastError();
        // What was looked at is what is read: a FIFO put in its place meanwhile is not.
        if (::fstat(in.get(), &opened) != 0 || !S_ISREG(opened.st_mode))
            return std::make_error_code(std::errc::not_supported);
        FileDescriptor out(
            ::openat(toFolder, toName.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!out.valid()) return lastError();
        auto error = copyBytes(in.get(), out.get());
        if (!error && ::fchmod(out.get(), opened.st_mode & 07777) != 0) error = lastError();
        if (error) removeIfMade(toFolder, toName, out.get());
        return error;
    }
    if (S_ISDIR(info.st_mode)) {
        auto from = openFolderAt(fromFolder, fromName);
        if (!from.valid()) return lastError();
        if (::mkdirat(toFolder, toName.c_str(), 0700) != 0) return lastError();
        auto made = openFolderAt(toFolder, toName);
        if (!made.valid()) return lastError();
        auto error = copyFolderContents(from.get(), made.get(), depth);
        if (!error && ::fchmod(made.get(), info.st_mode & 07777) != 0) error = lastError();
        if (error) removeIfMade(toFolder, toName, made.get());
        return error;
    }
    if (S_ISLNK(info.st_mode)) {
        std::string target(PATH_MAX, '\0');
        const auto n = ::readlinkat(fromFolder, fromName.c_str(), target.data(), target.size());
        if (n < 0) return lastError();
        if (static_cast<std::size_t>(n) >= target.size()) return std::make_error_code(std::errc::filename_too_long);
        target.resize(static_cast<std::size_t>(n));
        if (::symlinkat(target.c_str(), toFolder, toName.c_str()) != 0) return lastError();
        return {};
    }
    return std::make_error_code(std::errc::not_supported);
}

// A hidden name beside `name` in the folder that nothing uses.
std::string temporaryName(int folder, const std::string& name, const char* purpose) {
    for (;;) {
        auto candidate = "." + name + "." + purpose + "-" + UUID::random().uuidString().substr(0, 8);
        if (!entryExists(folder, candidate)) return candidate;
    }
}

// The stem and extension as the file manager sees them: "archive.tar.gz" is "archive.tar" and "gz",
// ".profile" has no extension.
std::pair<std::string, std::string> splitName(const fs::path& name) {
    return {name.stem().string(), name.has_extension() ? name.extension().string().substr(1) : std::string()};
}

std::string freeNumberedName(const std::string& name, const std::function<bool(const std::string&)>& taken) {
    auto candidate = name;
    const auto [stem, extension] = splitName(name);
    for (int n = 1; taken(candidate); ++n) {
        candidate = stem + " " + std::to_string(n) + (extension.empty() ? "" : "." + extension);
    }
    return candidate;
}

std::string freeCopyName(const std::string& name, const std::function<bool(const std::string&)>& taken) {
    auto candidate = name;
    const auto [stem, extension] = splitName(name);
    for (int counter = 1; taken(candidate); ++counter) {
        const std::string suffix = counter == 1 ? " copy" : " copy " + std::to_string(counter);
        candidate = stem + suffix + (extension.empty() ? "" : "." + extension);
    }
    return candidate;
}

// The folder a path names its last component in, opened (links on the way followed, as the
// path's owner chose them), or the error.
FileDescriptor openParent(const fs::path& path, std::error_code& error) {
    const auto parent = path.has_parent_path() ? path.parent_path() : fs::path(".");
    FileDescriptor folder(::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!folder.valid()) error = lastError();
    return folder;
}

}  // namespace

bool itemExists(const fs::path& path) {
    std::error_code error;
    return fs::symlink_status(path, error).type() != fs::file_type::not_found && !error;
}

std::error_code copyItemBetween(int fromFolder, const std::string& fromName, int toFolder, const std::string& toName) {
    return copyTree(fromFolder, fromName, toFolder, toName, 0);
}

std::error_code removeItemIn(int top, const std::string& name) {
    errno = 0;
    if (removeTreeAt(top, name)) return {};
    // Something below it could not be removed (or lies on another file system).
    return errno != 0 ? lastError() : std::make_error_code(std::errc::directory_not_empty);
}

std::error_code moveItemInto(const fs::path& from, int folder, const std::string& name) {
    auto error = renameAt(AT_FDCWD, from.string(), folder, name);
    if (!error) return {};
    if (error.value() == EEXIST) return error;
    if (auto copied = copyTree(AT_FDCWD, from.string(), folder, name, 0)) return copied;
    std::error_code ignored;
    fs::remove_all(from, ignored);
    return {};
}

std::error_code moveItem(const fs::path& from, const fs::path& to) {
    std::error_code error;
    const auto folder = openParent(to, error);
    if (error) return error;
    return moveItemInto(from, folder.get(), to.filename().string());
}

std::error_code replaceItemIn(const fs::path& from, int folder, const std::string& name) {
    // 1. The new item beside the old one. A rename keeps `from` recoverable by renaming back; a
    //    copy leaves `from` untouched until the end.
    const auto incoming = temporaryName(folder, name, "incoming");
    bool renamed = true;
    if (auto error = renameAt(AT_FDCWD, from.string(), folder, incoming)) {
        if (error.value() != EXDEV) return error;
        if (auto copied = copyTree(AT_FDCWD, from.string(), folder, incoming, 0)) return copied;
        renamed = false;
    }
    auto undoIncoming = [&] {
        if (renamed) {
            renameAt(folder, incoming, AT_FDCWD, from.string());
        } else {
            removeItemIn(folder, incoming);
        }
    };
    // 2. The old item aside, 3. the new one into its place.
    const auto aside = temporaryName(folder, name, "replaced");
    if (auto error = renameAt(folder, name, folder, aside)) {
        undoIncoming();
        return error;
    }
    if (auto error = renameAt(folder, incoming, folder, name)) {
        renameAt(folder, aside, folder, name);
        undoIncoming();
        return error;
    }
    // 4. Only now is the old item gone.
    removeItemIn(folder, aside);
    std::error_code ignored;
    if (!renamed) fs::remove_all(from, ignored);
    return {};
}

std::error_code replaceItem(const fs::path& from, const fs::path& target) {
    std::error_code error;
    const auto folder = openParent(target, error);
    if (error) return error;
    return replaceItemIn(from, folder.get(), target.filename().string());
}

fs::path numberedDestination(const fs::path& folder, const fs::path& name) {
    return folder / freeNumberedName(name.string(),
                                     [&](const std::string& candidate) { return itemExists(folder / candidate); });
}

fs::path uniqueDestination(const fs::path& url) {
    const auto folder = url.parent_path();
    return folder / freeCopyName(url.filename().string(),
                                 [&](const std::string& candidate) { return itemExists(folder / candidate); });
}

std::string uniqueName(int folder, const std::string& name) {
    return freeCopyName(name, [&](const std::string& candidate) { return entryExists(folder, candidate); });
}

}  // namespace qm
