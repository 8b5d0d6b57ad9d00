#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace qm {

// Files named by a peer are only ever created below a root folder of ours. Every path is walked
// one component at a time from a descriptor of the root with O_NOFOLLOW, so neither "..", an
// absolute path nor a symbolic link already lying below the root can lead outside it.

// An owned POSIX descriptor.
class FileDescriptor {
public:
    FileDescriptor() = default;
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() { reset(); }
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.release()) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept {
        if (this != &other) {
            reset();
            fd_ = other.release();
        }
        return *this;
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset();

private:
    int fd_ = -1;
};

// Whether a failure's error (errno) says the process or the system ran short of its own
// resources (descriptors, memory, room on the disk) rather than anything about the path asked
// for: the same request may well succeed later.
bool isResourceShortage(int error);

// One name from a peer: not empty, not "." or "..", no "/" and no NUL.
bool isAcceptablePeerComponent(std::string_view component);

// A "/"-joined relative path from a peer, split into its components; nothing when the path is
// empty or absolute or any component is not acceptable.
std::optional<std::vector<std::string>> peerPathComponents(std::string_view path);

// Opens the folder root/components..., creating missing folders when `create` is set. Nothing
// when a component is a symbolic link, is not a folder, or cannot be made.
std::optional<FileDescriptor> openConfinedFolder(const std::filesystem::path& root,
                                                 std::span<const std::string> components, bool create);

// Creates (or empties) the regular file root/components..., creating its parent folders, and
// opens it for writing. Nothing when any step would pass through or end on a symbolic link.
std::optional<FileDescriptor> createConfinedFile(const std::filesystem::path& root,
                                                 std::span<const std::string> components);

// How deep below its root a folder resolveFolderBelow gives may lie: the levels of its real
// path below root (after ".", ".." and links), the folders still to be made included.
inline constexpr std::size_t maxResolvedFolderDepth = 64;

// A folder below `root` (a canonical folder path) named by `components` relative to it, opened,
// with its canonical path. Unlike openConfinedFolder, "..", "." and symbolic links are allowed as
// long as every step stays below root: the path is resolved one component at a time from the
// opened root, a ".." climbs back through the folders passed so far, and a link is replaced by
// its target's components (an absolute target must lie below root). Nothing when a step would
// leave root or go deeper than maxResolvedFolderDepth levels, a component is not a folder, links
// nest deeper than 40, or (without `create`) the folder is missing. With `create` the missing tail
// is made one folder at a time, and only once the rest of the path was checked: below a folder
// that does not exist yet only plain names may follow, so nothing is made for a path that is
// refused, and when a folder of the tail cannot be made those made before it are removed again.
// A few descriptors are held at a time, however deep the path. With `failure`, nothing given sets
// it to the error of the step on the file system that failed (an open, a look, a folder made),
// and to 0 when the path itself was refused.
struct ConfinedFolder {
    FileDescriptor fd;
    std::filesystem::path path;
};
std::optional<ConfinedFolder> resolveFolderBelow(const std::filesystem::path& root,
                                                 const std::vector<std::string>& components, bool create,
                                                 int* failure = nullptr);

// Why openItemBelow reached nothing: nothing is there, a step (a link, a "..") would leave the
// root, or anything else (not a folder on the way, links nested deeper than 40, a path longer
// than the system opens, an open that failed).
enum class ConfinedMiss { missing, outside, unusable };

struct ConfinedItem {
    // A folder opened as one; anything else opened with the flags asked for, or not at all.
    FileDescriptor fd;
    std::vector<std::string> components;  // where it really lies below root
    bool isFolder = false;
    std::uint64_t size = 0;  // a regular file's size when it was looked at
};

// The item below `root` (canonical; `rootFd` its opened folder) named by `components`, resolved
// the way resolveFolderBelow resolves a folder, from `rootFd` and with a few descriptors at a
// time, except that the last step may be an item that is not a folder, which is opened with
// `fileFlags` (O_NOFOLLOW added) when they are given, and that the item may lie as deep as a
// path the system opens by name reaches (its real path shorter than PATH_MAX), not only
// maxResolvedFolderDepth levels. Nothing is made.
std::optional<ConfinedItem> openItemBelow(int rootFd, const std::filesystem::path& root,
                                          std::span<const std::string> components, std::optional<int> fileFlags,
                                          ConfinedMiss* why = nullptr);

// True when something (a link included, not followed) exists under that name in the folder.
bool entryExists(int folderFd, const std::string& name);

// Writes the whole buffer; false (errno set) on the first failure.
bool writeAll(int fd, std::span<const std::uint8_t> bytes);

// Writes `data` to folder/name through a fresh temporary file that is renamed into place, so a
// reader never sees half a file. The error text describes a failure.
bool writeFileAtomically(int folderFd, const std::string& name, std::span<const std::uint8_t> data,
                         std::string& error);

}  // namespace qm
