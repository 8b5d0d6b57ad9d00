#pragma once

#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace qm {

// What file delivery asks of the desktop's file manager: the folder its front window shows (where
// dropped items land), the user's Desktop folder, and showing delivered items to the user.
class FileManagerDesktop {
public:
    virtual ~FileManagerDesktop() = default;
    // Nothing when no file manager window answers; `error` then says why when something failed.
    virtual std::optional<std::filesystem::path> frontWindowFolder(std::string& error) = 0;
    // The user's Desktop folder; nothing when the desktop names none.
    virtual std::optional<std::filesystem::path> desktopFolder() = 0;
    // Opens the folder of the items so the user sees them; returns at once.
    virtual void revealItems(const std::vector<std::filesystem::path>& items) = 0;
};

// Tests: answers from what the test set and records what was revealed.
class SimulatedFileManagerDesktop final : public FileManagerDesktop {
public:
    std::optional<std::filesystem::path> frontWindowFolder(std::string& error) override {
        std::lock_guard lock(mutex_);
        error = frontWindowError;
        return frontWindow;
    }
    std::optional<std::filesystem::path> desktopFolder() override {
        std::lock_guard lock(mutex_);
        return desktop;
    }
    void revealItems(const std::vector<std::filesystem::path>& items) override {
        std::lock_guard lock(mutex_);
        revealed.push_back(items);
    }

    std::optional<std::filesystem::path> frontWindow;
    std::string frontWindowError;
    std::optional<std::filesystem::path> desktop;
    std::vector<std::vector<std::filesystem::path>> revealed;

private:
    std::mutex mutex_;
};

}  // namespace qm
