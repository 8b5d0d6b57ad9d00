#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
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

// Tests: another LocalFolders (usually the real one below a scratch home) with folders that
// behave as unreadable (even to root), bookmark creation that can be made to fail, and a record
// of the folders whose access was started and stopped.
class SimulatedLocalFolders : public LocalFolders {
public:
    explicit SimulatedLocalFolders(std::shared_ptr<LocalFolders> inner) : inner_(std::move(inner)) {}

    std::set<std::filesystem::path> unreadable;
    bool failBookmarkCreation = false;
    std::vector<std::filesystem::path> started;
    std::vector<std::filesystem::path> stopped;

    std::filesystem::path homeDirectory() const override { return inner_->homeDirectory(); }
    bool directoryExists(const std::filesystem::path& path) const override { return inner_->directoryExists(path); }
    bool isReadableFile(const std::filesystem::path& path) const override;
    std::optional<std::vector<LocalDirectoryItem>> contentsOfDirectory(const std::filesystem::path& path,
                                                                       bool skipHiddenFiles) const override;
    std::optional<std::vector<std::uint8_t>> bookmarkData(const std::filesystem::path& folder) const override;
    std::optional<ResolvedBookmark> resolveBookmark(std::span<const std::uint8_t> data) const override {
        return inner_->resolveBookmark(data);
    }
    bool startAccessingSecurityScopedResource(const std::filesystem::path& folder) override;
    void stopAccessingSecurityScopedResource(const std::filesystem::path& folder) override;

private:
    bool isDenied(const std::filesystem::path& path) const;
    std::shared_ptr<LocalFolders> inner_;
};

}  // namespace qm
