#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "HostApp/App/ViewModels.h"
#include "Platform/Core/UUID.h"
#include "QuillmereProfiles/FileTransferPacket.h"

namespace qm {

// What file delivery asks of the transfer progress window: one row per batch, its status line
// and outcome, and the window itself as the parent of the save panel and conflict alerts. Every
// operation on an unknown batch does nothing. Called on the main queue.
class FileTransferRows {
public:
    virtual ~FileTransferRows() = default;
    // Adds (or replaces) the batch's row and shows the window; `onCancel` runs when the user
    // cancels the running row.
    virtual void addTask(const UUID& batchID, FileTransferDirection direction, const std::string& peerLabel,
                         std::int64_t fileCount, std::uint64_t totalBytes, const std::vector<std::string>& itemNames,
                         std::function<void()> onCancel) = 0;
    virtual void updateProgress(const UUID& batchID, std::uint64_t bytes, std::uint64_t total) = 0;
    virtual void setSubtitle(const UUID& batchID, const std::string& text) = 0;
    // Finished as a success with `summary`, removed after `autoCloseDelay` seconds.
    virtual void completeTask(const UUID& batchID, const std::string& summary, double autoCloseDelay) = 0;
    // Finished as a failure with `message`, removed a little later.
    virtual void failTask(const UUID& batchID, const std::string& message) = 0;
    virtual void orderFront() = 0;
    // The window, made if needed and brought to the front.
    virtual std::shared_ptr<WindowModel> foregroundPresentationWindow() = 0;
};

}  // namespace qm
