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

}  // namespace

std::optional<ConfinedFolder> resolveFolderBelow(const std::filesystem::path& root,
                                                 const std::vector<std::string>& components, bool create) {
    constexpr int maxLinks = 40;  // as the kernel's own resolution allows
    FileDescriptor rootFd(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!rootFd.valid()) return std::nullopt;
    const auto rootParts = splitComponents(root.string());
    // The folders opened below root, innermost last: ".." is a step back along them, never a
    // lookup that could land above root.
    std::vector<std::pair<FileDescriptor, std::string>> opened;
    auto current = [&] { return opened.empty() ? rootFd.get() : opened.back().first.get(); };
    std::deque<std::string> pending(components.begin(), components.end());
    std::vector<std::string> missing;
    int links = 0;
    while (!pending.empty()) {
        std::string name = std::move(pending.front());
        pending.pop_front();
        if (name.empty() || name == ".") continue;
        if (name.find('/') != std::string::npos || name.find('\0') != std::string::npos) return std::nullopt;
        if (!missing.empty()) {
            // Nothing exists below a missing folder, so nothing there can be resolved.
            if (name == "..") return std::nullopt;
            missing.push_back(std::move(name));
            continue;
        }
        if (name == "..") {
            if (opened.empty()) return std::nullopt;
            opened.pop_back();
            continue;
        }
        struct stat info {};
        if (::fstatat(current(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno != ENOENT) return std::nullopt;
            missing.push_back(std::move(name));
            continue;
        }
        if (S_ISLNK(info.st_mode)) {
            auto target = ++links <= maxLinks ? linkTarget(current(), name) : std::nullopt;
            if (!target) return std::nullopt;
            auto parts = splitComponents(*target);
            if (target->front() == '/') {
                // An absolute target is followed only when it names a place below root, from root.
                if (parts.size() < rootParts.size() || !std::equal(rootParts.begin(), rootParts.end(), parts.begin()))
                    return std::nullopt;
                parts.erase(parts.begin(), parts.begin() + static_cast<std::ptrdiff_t>(rootParts.size()));
                opened.clear();
            }
            pending.insert(pending.begin(), parts.begin(), parts.end());
            continue;
        }
        if (!S_ISDIR(info.st_mode)) return std::nullopt;
        auto next = openChildFolder(current(), name, false);
        if (!next) return std::nullopt;
        opened.emplace_back(std::move(*next), std::move(name));
    }
    if (!missing.empty() && !create) return std::nullopt;
    for (auto& name : missing) {
        // Made as the user's own folders are (the umask decides); a link put in its place
        // meanwhile is not followed.
        if (::mkdirat(current(), name.c_str(), 0777) != 0 && errno != EEXIST) return std::nullopt;
        auto next = openChildFolder(current(), name, false);
        if (!next) return std::nullopt;
        opened.emplace_back(std::move(*next), std::move(name));
    }
    ConfinedFolder folder;
    folder.path = root;
    for (const auto& [fd, name] : opened) folder.path /= name;
    if (opened.empty()) {
        folder.fd = std::move(rootFd);
    } else {
        folder.fd = std::move(opened.back().first);
    }
    return folder;
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
