#pragma once

#include "Platform/LocalFolders.h"

namespace qm {

// Linux: a bookmark holds the folder's path with its device and inode, so a folder replaced at
// the same path resolves as stale; access counts as granted when the folder is readable.
class PosixLocalFolders : public LocalFolders {
public:
    explicit PosixLocalFolders(std::filesystem::path home);
    // The user's home folder from $HOME, else the password database.
    static std::filesystem::path currentHome();

    std::filesystem::path homeDirectory() const override { return home_; }
    bool directoryExists(const std::filesystem::path& path) const override;
    bool isReadableFile(const std::filesystem::path& path) const override;
    std::optional<std::vector<LocalDirectoryItem>> contentsOfDirectory(const std::filesystem::path& path,
                                                                       bool skipHiddenFiles) const override;
    std::optional<std::vector<std::uint8_t>> bookmarkData(const std::filesystem::path& folder) const override;
    std::optional<ResolvedBookmark> resolveBookmark(std::span<const std::uint8_t> data) const override;
    bool startAccessingSecurityScopedResource(const std::filesystem::path& folder) override;
    void stopAccessingSecurityScopedResource(const std::filesystem::path&) override {}

private:
    std::filesystem::path home_;
};

}  // namespace qm
