#include "Platform/LocalFolders.h"

namespace qm {
namespace {

bool isUnder(const std::filesystem::path& path, const std::filesystem::path& folder) {
    const auto p = path.lexically_normal().string();
    auto f = folder.lexically_normal().string();
    while (f.size() > 1 && f.back() == '/') f.pop_back();
    return p == f || (p.size() > f.size() && p.compare(0, f.size(), f) == 0 && (f == "/" || p[f.size()] == '/'));
}

}  // namespace

bool SimulatedLocalFolders::isReadableFile(const std::filesystem::path& path) const {
    return !isDenied(path) && inner_->isReadableFile(path);
}

std::optional<std::vector<LocalDirectoryItem>> SimulatedLocalFolders::contentsOfDirectory(
    const std::filesystem::path& path, bool skipHiddenFiles) const {
    if (isDenied(path)) return std::nullopt;
    return inner_->contentsOfDirectory(path, skipHiddenFiles);
}

std::optional<std::vector<std::uint8_t>> SimulatedLocalFolders::bookmarkData(const std::filesystem::path& folder) const {
    if (failBookmarkCreation) return std::nullopt;
    return inner_->bookmarkData(folder);
}

bool SimulatedLocalFolders::startAccessingSecurityScopedResource(const std::filesystem::path& folder) {
    if (isDenied(folder) || !inner_->startAccessingSecurityScopedResource(folder)) return false;
    started.push_back(folder);
    return true;
}

void SimulatedLocalFolders::stopAccessingSecurityScopedResource(const std::filesystem::path& folder) {
    stopped.push_back(folder);
    inner_->stopAccessingSecurityScopedResource(folder);
}

bool SimulatedLocalFolders::isDenied(const std::filesystem::path& path) const {
    for (const auto& denied : unreadable) {
        if (isUnder(path, denied)) return true;
    }
    return false;
}

}  // namespace qm
