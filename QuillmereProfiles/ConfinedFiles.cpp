#include "QuillmereProfiles/ConfinedFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <deque>

#include "Platform/UserFiles.h"

namespace qm {

bool isResourceShortage(int error) {
    switch (error) {
    case EMFILE:
    case ENFILE:
    case ENOMEM:
    case ENOBUFS:
    case ENOSPC:
    case EDQUOT:
        return true;
    default:
        return false;
    }
}

void FileDescriptor::reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

bool isAcceptablePeerComponent(std::string_view component) {
    return !component.empty() && component != "." && component != ".." &&
           component.find('/') == std::string_view::npos && component.find('\0') == std::string_view::npos;
}

std::optional<std::vector<std::string>> peerPathComponents(std::string_view path) {
    if (path.empty() || path.front() == '/') return std::nullopt;
    std::vector<std::string> components;
    std::size_t start = 0;
    for (;;) {
        const auto slash = path.find('/', start);
        const auto component = path.substr(start, slash == std::string_view::npos ? std::string_view::npos : slash - start);
        if (!isAcceptablePeerComponent(component)) return std::nullopt;
        components.emplace_back(component);
        if (slash == std::string_view::npos) break;
        start = slash + 1;
    }
    return components;
}

namespace {

std::optional<FileDescriptor> openChildFolder(int parent, const std::string& name, bool create) {
    if (create && ::mkdirat(parent, name.c_str(), 0700) != 0 && errno != EEXIST) return std::nullopt;
    const int fd = ::openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    return FileDescriptor(fd);
}

}  // namespace

std::optional<FileDescriptor> openConfinedFolder(const std::filesystem::path& root,
                                                 std::span<const std::string> components, bool create) {
    FileDescriptor current(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!current.valid()) return std::nullopt;
    for (const auto& component : components) {
        if (!isAcceptablePeerComponent(component)) return std::nullopt;
        auto next = openChildFolder(current.get(), component, create);
        if (!next) return std::nullopt;
        current = std::move(*next);
    }
    return current;
}

std::optional<FileDescriptor> createConfinedFile(const std::filesystem::path& root,
                                                 std::span<const std::string> components) {
    if (components.empty() || !isAcceptablePeerComponent(components.back())) return std::nullopt;
    auto folder = openConfinedFolder(root, components.first(components.size() - 1), true);
    if (!folder) return std::nullopt;
    const int fd = ::openat(folder->get(), components.back().c_str(),
                            O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return std::nullopt;
    FileDescriptor file(fd);
    // O_NOFOLLOW stops links; a fifo or device below the root is refused as well.
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
    return file;
}

namespace {

// A path's components; empty ones (from "//" or a trailing "/") are left out.
std::vector<std::string> splitComponents(std::string_view path) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (start <= path.size()) {
        const auto slash = path.find('/', start);
        const auto end = slash == std::string_view::npos ? path.size() : slash;
        if (end > start) parts.emplace_back(path.substr(start, end - start));
        if (slash == std::string_view::npos) break;
        start = slash + 1;
    }
    return parts;
}

std::optional<std::string> linkTarget(int folderFd, const std::string& name) {
    std::string target(PATH_MAX, '\0');
    const auto n = ::readlinkat(folderFd, name.c_str(), target.data(), target.size());
    if (n <= 0 || static_cast<std::size_t>(n) >= target.size()) return std::nullopt;
    target.resize(static_cast<std::size_t>(n));
    return target;
}

// The folders passed on the way down from an opened root: the name of every level, so that the
// path and a ".." are known at any depth, and descriptors of the deepest few levels only. A ".."
// past those reopens the levels from the root, each without following a link, so however deep
// a path goes a handful of descriptors are held.
class FolderTrail {
public:
    static constexpr std::size_t keptLevels = 8;

    FolderTrail(int rootFd, std::size_t rootBytes) : rootFd_(rootFd), rootBytes_(rootBytes) {}

    int current() const { return kept_.empty() ? rootFd_ : kept_.back().get(); }
    std::size_t depth() const { return names_.size(); }
    const std::vector<std::string>& names() const { return names_; }
    // Bytes of the path root/names...
    std::size_t pathBytes() const { return rootBytes_ + nameBytes_; }

    bool descend(const std::string& name) {
        FileDescriptor next(openChild(current(), name));
        if (!next.valid()) return false;
        names_.push_back(name);
        nameBytes_ += 1 + name.size();
        kept_.push_back(std::move(next));
        if (kept_.size() > keptLevels) kept_.pop_front();
        return true;
    }
    // One level up (never above the root); false when a level that had to be reopened no
    // longer is a folder there.
    bool ascend() {
        if (names_.empty()) return false;
        nameBytes_ -= 1 + names_.back().size();
        names_.pop_back();
        kept_.pop_back();
        return !kept_.empty() || names_.empty() || reopen();
    }
    void backToRoot() {
        names_.clear();
        kept_.clear();
        nameBytes_ = 0;
    }
    // The level reached, opened; the trail stands on the root afterward.
    FileDescriptor take() {
        FileDescriptor fd = kept_.empty() ? FileDescriptor(::openat(rootFd_, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC))
                                          : std::move(kept_.back());
        backToRoot();
        return fd;
    }

    static int openChild(int parent, const std::string& name) {
        return ::openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    }

private:
    bool reopen() {
        FileDescriptor passed;  // the level above the kept ones, while they are reached
        for (std::size_t i = 0; i < names_.size(); ++i) {
            const int parent = i == 0 ? rootFd_ : kept_.empty() ? passed.get() : kept_.back().get();
            FileDescriptor next(openChild(parent, names_[i]));
            if (!next.valid()) {
                kept_.clear();
                return false;
            }
            if (names_.size() - i <= keptLevels) {
                kept_.push_back(std::move(next));
            } else {
                passed = std::move(next);
            }
        }
        return true;
    }

    int rootFd_;
    std::size_t rootBytes_;
    std::size_t nameBytes_ = 0;
    std::vector<std::string> names_;
    std::deque<FileDescriptor> kept_;
};

struct Bounds {
    std::size_t maxDepth = SIZE_MAX;      // levels below root, a missing tail included
    std::size_t maxPathBytes = SIZE_MAX;  // of the path root/levels...
};

// Where a resolution ended: the trail stands on the deepest existing folder, and below it lie
// either the missing folders (when they may be made) or one item that is not a folder (when the
// path may end on one).
struct Resolution {
    std::vector<std::string> missing;
    std::optional<std::string> leaf;
    struct stat leafInfo {};
};

// Follows `pending` from where the trail stands, one component at a time, as resolveFolderBelow
// describes. `why` says what stopped it, and `failure` the error of the step on the file system
// that failed (0 when the path itself was refused).
std::optional<Resolution> resolve(FolderTrail& trail, const std::vector<std::string>& rootParts,
                                  std::deque<std::string> pending, bool allowMissing, bool allowLeaf, Bounds bounds,
                                  ConfinedMiss& why, int& failure) {
    constexpr int maxLinks = 40;  // as the kernel's own resolution allows
    failure = 0;
    auto refuse = [&](ConfinedMiss reason) -> std::optional<Resolution> {
        why = reason;
        return std::nullopt;
    };
    // A step that failed on the file system: what it failed with is kept.
    auto failed = [&]() -> std::optional<Resolution> {
        failure = errno;
        return refuse(ConfinedMiss::unusable);
    };
    Resolution result;
    std::size_t missingBytes = 0;
    // Whether one more level of `name` below what was reached stays within the bounds.
    auto fitsBelow = [&](const std::string& name) {
        return trail.depth() + result.missing.size() + 1 <= bounds.maxDepth &&
               trail.pathBytes() + missingBytes + 1 + name.size() <= bounds.maxPathBytes;
    };
    int links = 0;
    while (!pending.empty()) {
        std::string name = std::move(pending.front());
        pending.pop_front();
        if (name.empty() || name == ".") continue;
        if (name.find('/') != std::string::npos || name.find('\0') != std::string::npos)
            return refuse(ConfinedMiss::unusable);
        if (!result.missing.empty()) {
            // Nothing exists below a missing folder, so nothing there can be resolved.
            if (name == ".." || !fitsBelow(name)) return refuse(ConfinedMiss::unusable);
            missingBytes += 1 + name.size();
            result.missing.push_back(std::move(name));
            continue;
        }
        if (name == "..") {
            if (trail.depth() == 0) return refuse(ConfinedMiss::outside);
            if (!trail.ascend()) return failed();
            continue;
        }
        struct stat info {};
        if (::fstatat(trail.current(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno != ENOENT) return failed();
            if (!allowMissing) return refuse(ConfinedMiss::missing);
            if (!fitsBelow(name)) return refuse(ConfinedMiss::unusable);
            missingBytes += 1 + name.size();
            result.missing.push_back(std::move(name));
            continue;
        }
        if (S_ISLNK(info.st_mode)) {
            if (++links > maxLinks) return refuse(ConfinedMiss::unusable);
            errno = 0;  // a target too long to read is no failure of the file system
            auto target = linkTarget(trail.current(), name);
            if (!target) return failed();
            auto parts = splitComponents(*target);
            if (target->front() == '/') {
                // An absolute target is followed only when it names a place below root, from root.
                if (parts.size() < rootParts.size() || !std::equal(rootParts.begin(), rootParts.end(), parts.begin()))
                    return refuse(ConfinedMiss::outside);
                parts.erase(parts.begin(), parts.begin() + static_cast<std::ptrdiff_t>(rootParts.size()));
                trail.backToRoot();
            }
            pending.insert(pending.begin(), parts.begin(), parts.end());
            continue;
        }
        if (!fitsBelow(name)) return refuse(ConfinedMiss::unusable);
        if (!S_ISDIR(info.st_mode)) {
            if (!allowLeaf || !pending.empty()) return refuse(ConfinedMiss::unusable);
            result.leaf = std::move(name);
            result.leafInfo = info;
            break;
        }
        if (!trail.descend(name)) return failed();
    }
    return result;
}

// Removes, deepest first, the folders a destination had made (`made`: indexes into `missing`,
// which lies below the levels `above`) when the rest of it could not be made. A folder that is
// no longer empty stays.
void removeMadeFolders(int rootFd, const std::vector<std::string>& above, const std::vector<std::string>& missing,
                       const std::vector<std::size_t>& made) {
    for (auto index = made.rbegin(); index != made.rend(); ++index) {
        FolderTrail parent(rootFd, 0);
        bool reached = true;
        for (std::size_t i = 0; reached && i < above.size() + *index; ++i)
            reached = parent.descend(i < above.size() ? above[i] : missing[i - above.size()]);
        if (reached) ::unlinkat(parent.current(), missing[*index].c_str(), AT_REMOVEDIR);
    }
}

}  // namespace

std::optional<ConfinedFolder> resolveFolderBelow(const std::filesystem::path& root,
                                                 const std::vector<std::string>& components, bool create,
                                                 int* failure) {
    int failedWith = 0;
    auto fail = [&](int error) -> std::optional<ConfinedFolder> {
        if (failure) *failure = error;
        return std::nullopt;
    };
    FileDescriptor rootFd(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!rootFd.valid()) return fail(errno);
    FolderTrail trail(rootFd.get(), root.native().size());
    ConfinedMiss why{};
    // The whole destination is checked before anything is made.
    auto resolved = resolve(trail, splitComponents(root.string()),
                            std::deque<std::string>(components.begin(), components.end()), create, false,
                            Bounds{maxResolvedFolderDepth, SIZE_MAX}, why, failedWith);
    if (!resolved) return fail(failedWith);
    if (!resolved->missing.empty()) {
        const auto above = trail.names();
        std::vector<std::size_t> made;
        for (std::size_t i = 0; i < resolved->missing.size(); ++i) {
            const auto& name = resolved->missing[i];
            // Made as the user's own folders are (the umask decides); a link put in its place
            // meanwhile is not followed.
            const bool madeHere = ::mkdirat(trail.current(), name.c_str(), 0777) == 0;
            const bool there = madeHere || errno == EEXIST;
            if (madeHere) made.push_back(i);
            if (!there || !trail.descend(name)) {
                failedWith = errno;
                // A destination that cannot be made whole leaves none of the folders made for it.
                removeMadeFolders(rootFd.get(), above, resolved->missing, made);
                return fail(failedWith);
            }
        }
    }
    ConfinedFolder folder;
    folder.path = root;
    for (const auto& name : trail.names()) folder.path /= name;
    folder.fd = trail.depth() == 0 ? std::move(rootFd) : trail.take();
    if (failure) *failure = 0;
    return folder;
}

std::optional<ConfinedItem> openItemBelow(int rootFd, const std::filesystem::path& root,
                                          std::span<const std::string> components, std::optional<int> fileFlags,
                                          ConfinedMiss* why) {
    FolderTrail trail(rootFd, root.native().size());
    ConfinedMiss miss = ConfinedMiss::unusable;
    int failedWith = 0;
    auto fail = [&](ConfinedMiss reason) -> std::optional<ConfinedItem> {
        if (why) *why = reason;
        return std::nullopt;
    };
    // Nothing lies deeper than a path the system would open by its name.
    auto resolved = resolve(trail, splitComponents(root.string()),
                            std::deque<std::string>(components.begin(), components.end()), false, true,
                            Bounds{SIZE_MAX, PATH_MAX - 1}, miss, failedWith);
    if (!resolved) return fail(miss);
    ConfinedItem item;
    item.components = trail.names();
    if (resolved->leaf) {
        const auto& info = resolved->leafInfo;
        item.size = S_ISREG(info.st_mode) ? static_cast<std::uint64_t>(info.st_size) : 0;
        if (fileFlags) {
            // Put in its place since it was looked at, a link is not followed.
            item.fd = FileDescriptor(::openat(trail.current(), resolved->leaf->c_str(), *fileFlags | O_NOFOLLOW | O_CLOEXEC));
            if (!item.fd.valid()) return fail(ConfinedMiss::unusable);
        }
        item.components.push_back(std::move(*resolved->leaf));
    } else {
        item.isFolder = true;
        item.fd = trail.take();
        if (!item.fd.valid()) return fail(ConfinedMiss::unusable);
    }
    return item;
}

bool entryExists(int folderFd, const std::string& name) {
    struct stat info {};
    return ::fstatat(folderFd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0;
}

bool writeAll(int fd, std::span<const std::uint8_t> bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const auto n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool writeFileAtomically(int folderFd, const std::string& name, std::span<const std::uint8_t> data,
                         std::string& error) {
    if (!isAcceptablePeerComponent(name)) {
        error = "invalid file name";
        return false;
    }
    return replaceFileInFolder(folderFd, name, data, 0600, false, error);
}

}  // namespace qm
