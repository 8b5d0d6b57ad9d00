#include "Platform/Linux/PosixLocalFolders.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <string_view>

namespace qm {
namespace {

constexpr std::string_view kBookmarkMagic = "QMBK1";

}  // namespace

PosixLocalFolders::PosixLocalFolders(std::filesystem::path home) : home_(std::move(home)) {}

std::filesystem::path PosixLocalFolders::currentHome() {
    if (const char* home = std::getenv("HOME"); home && *home) return home;
    if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir) return pw->pw_dir;
    return "/";
}

bool PosixLocalFolders::directoryExists(const std::filesystem::path& path) const {
    std::error_code ec;
    return std::filesystem::is_directory(path, ec);
}

bool PosixLocalFolders::isReadableFile(const std::filesystem::path& path) const {
    return ::access(path.c_str(), R_OK) == 0;
}

std::optional<std::vector<LocalDirectoryItem>> PosixLocalFolders::contentsOfDirectory(
    const std::filesystem::path& path, bool skipHiddenFiles) const {
    std::error_code ec;
    std::filesystem::directory_iterator it(path, ec);
    if (ec) return std::nullopt;
    std::vector<LocalDirectoryItem> items;
    for (; it != std::filesystem::directory_iterator(); it.increment(ec)) {
        if (ec) return std::nullopt;
        const auto name = it->path().filename().string();
        if (skipHiddenFiles && name.starts_with(".")) continue;
        LocalDirectoryItem item;
        item.path = it->path();
        struct stat st {};
        if (::stat(item.path.c_str(), &st) == 0) {
            item.isDirectory = S_ISDIR(st.st_mode);
            if (S_ISREG(st.st_mode)) item.size = static_cast<std::uint64_t>(st.st_size);
            item.modificationDate = static_cast<double>(st.st_mtim.tv_sec) + st.st_mtim.tv_nsec / 1e9;
        }
        items.push_back(std::move(item));
    }
    if (ec) return std::nullopt;
    return items;
}

std::optional<std::vector<std::uint8_t>> PosixLocalFolders::bookmarkData(const std::filesystem::path& folder) const {
    struct stat st {};
    if (::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return std::nullopt;
    const std::string text = std::string(kBookmarkMagic) + "\n" + std::to_string(st.st_dev) + "\n" +
                             std::to_string(st.st_ino) + "\n" + folder.string();
    return std::vector<std::uint8_t>(text.begin(), text.end());
}

std::optional<LocalFolders::ResolvedBookmark> PosixLocalFolders::resolveBookmark(
    std::span<const std::uint8_t> data) const {
    const std::string text(data.begin(), data.end());
    if (text.find('\0') != std::string::npos) return std::nullopt;
    std::size_t pos = 0;
    auto line = [&]() -> std::optional<std::string> {
        const auto end = text.find('\n', pos);
        if (end == std::string::npos) return std::nullopt;
        auto l = text.substr(pos, end - pos);
        pos = end + 1;
        return l;
    };
    const auto magic = line();
    const auto dev = line();
    const auto ino = line();
    if (!magic || *magic != kBookmarkMagic || !dev || !ino) return std::nullopt;
    const std::filesystem::path path = text.substr(pos);
    if (path.empty() || !path.is_absolute()) return std::nullopt;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return std::nullopt;
    ResolvedBookmark resolved{path, false};
    try {
        resolved.isStale = std::stoull(*dev) != static_cast<unsigned long long>(st.st_dev) ||
                           std::stoull(*ino) != static_cast<unsigned long long>(st.st_ino);
    } catch (...) {
        return std::nullopt;
    }
    return resolved;
}

bool PosixLocalFolders::startAccessingSecurityScopedResource(const std::filesystem::path& folder) {
    return ::access(folder.c_str(), R_OK | X_OK) == 0;
}

}  // namespace qm
