#include "QuillmereProfiles/ConfinedFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

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
