#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

namespace qm {

// One item of a local folder listing.
struct LocalDirectoryItem {
    std::filesystem::path path;
    std::optional<bool> isDirectory;  // none when the item's attributes could not be read
    std::optional<std::uint64_t> size;
    std::optional<double> modificationDate;  // seconds since 1970-01-01 00:00:00 UTC
};

// The local file system as the file browser sees it: listings, readability, and folder grants
// that survive a restart. A grant ("bookmark") is opaque bytes; resolving it gives the folder
// back, stale when the folder at that path is no longer the one that was granted.
class LocalFolders {
public:
    struct ResolvedBookmark {
        std::filesystem::path path;
        bool isStale = false;
    };

    virtual ~LocalFolders() = default;

    virtual std::filesystem::path homeDirectory() const = 0;
    virtual bool directoryExists(const std::filesystem::path& path) const = 0;
    virtual bool isReadableFile(const std::filesystem::path& path) const = 0;
    // Nothing when the folder cannot be listed.
    virtual std::optional<std::vector<LocalDirectoryItem>> contentsOfDirectory(const std::filesystem::path& path,
                                                                               bool skipHiddenFiles) const = 0;

    virtual std::optional<std::vector<std::uint8_t>> bookmarkData(const std::filesystem::path& folder) const = 0;
    virtual std::optional<ResolvedBookmark> resolveBookmark(std::span<const std::uint8_t> data) const = 0;
    virtual bool startAccessingSecurityScopedResource(const std::filesystem::path& folder) = 0;
    virtual void stopAccessingSecurityScopedResource(const std::filesystem::path& folder) = 0;
};

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

// Tests: the real file system below a scripted home, with folders that behave as unreadable
// (even to root), bookmark creation that can be made to fail, and a record of access calls.
class SimulatedLocalFolders : public PosixLocalFolders {
public:
    using PosixLocalFolders::PosixLocalFolders;

    std::set<std::filesystem::path> unreadable;
    bool failBookmarkCreation = false;
    std::vector<std::filesystem::path> started;
    std::vector<std::filesystem::path> stopped;

    bool isReadableFile(const std::filesystem::path& path) const override;
    std::optional<std::vector<LocalDirectoryItem>> contentsOfDirectory(const std::filesystem::path& path,
                                                                       bool skipHiddenFiles) const override;
    std::optional<std::vector<std::uint8_t>> bookmarkData(const std::filesystem::path& folder) const override;
    bool startAccessingSecurityScopedResource(const std::filesystem::path& folder) override;
    void stopAccessingSecurityScopedResource(const std::filesystem::path& folder) override;
};

}  // namespace qm
