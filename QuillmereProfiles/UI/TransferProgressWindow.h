#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Platform/Core/DispatchQueue.h"
#include "Platform/Core/UUID.h"
#include "QuillmereProfiles/FileTransferPacket.h"

namespace qm {

// The one "File Transfers" window: a stack of rows, one per batch in either direction, each with
// an arrow, a title, a progress bar, a status line and a Cancel button that becomes Dismiss once
// the batch ended. A view model: the owner's view renders the window state and the rows and
// forwards the buttons; rows, window and timers belong to the main queue. The application makes
// one and keeps it for its life.
class FileTransferCenter : public std::enable_shared_from_this<FileTransferCenter> {
public:
    static constexpr double rowWidth = 480;
    static constexpr double rowHeight = 64;
    static constexpr double outerPad = 14;
    static constexpr double rowSpacing = 8;
    static constexpr double failedRowDelay = 2.5;
    static constexpr double cancelledRowDelay = 1.0;
    // Move to the active space and full-screen auxiliary.
    static constexpr std::uint32_t collectionBehavior = 0x102;

    struct StartInfo {
        UUID batchID;
        FileTransferDirection direction = FileTransferDirection::incoming;
        std::string peerLabel;
        std::int64_t fileCount = 0;
        std::uint64_t totalBytes = 0;  // 0: unknown, the bar starts indeterminate
        std::vector<std::string> itemNames;
    };

    // A row's line split around the one part of it that is a name (the items', the folder's):
    // `before + name + after` is the line, and a line without a name is all `before`. A view
    // short of room shortens only the name, so what the row is doing stays readable.
    struct LineParts {
        std::string before;
        std::string name;
        std::string after;
        friend bool operator==(const LineParts&, const LineParts&) = default;
    };
    // A status line's parts, when one of the window's formats that name a folder made it
    // ("Saving to %@…", "Saved %d item(s) to %@", in the language shown or in English).
    static LineParts statusLineParts(const std::string& line);

    // One row. Its texts and bar are what the view shows; the view calls didCancel() for the
    // button.
    class TaskRow {
    public:
        explicit TaskRow(const StartInfo& info);

        const UUID batchID;
        const FileTransferDirection direction;
        const std::uint64_t totalBytes;

        const std::string& iconText() const { return iconText_; }
        const std::string& title() const { return title_; }
        const std::string& toolTip() const { return toolTip_; }
        const std::string& status() const { return status_; }
        const LineParts& titleParts() const { return titleParts_; }
        const LineParts& statusParts() const { return statusParts_; }
        bool statusIsError() const { return statusIsError_; }
        bool barIndeterminate() const { return barIndeterminate_; }
        bool barAnimating() const { return barAnimating_; }
        double barMaximum() const { return barMaximum_; }
        double barValue() const { return barValue_; }
        const std::string& buttonTitle() const { return buttonTitle_; }
        bool finished() const { return finished_; }

        void updateProgress(std::uint64_t bytes, std::uint64_t total);
        void markFinished(const std::string& status, bool success);
        void setSubtitle(const std::string& text);
        // The button: Dismiss on a finished row, Cancel on a running one.
        void didCancel();

        std::function<void()> onCancel;
        // The row's view; called after any change on the main queue.
        std::function<void()> onChanged;

    private:
        friend class FileTransferCenter;
        void changed() const {
            if (onChanged) onChanged();
        }

        std::string iconText_;
        std::string title_;
        std::string toolTip_;
        std::string status_;
        LineParts titleParts_;
        LineParts statusParts_;
        bool statusIsError_ = false;
        bool barIndeterminate_ = true;
        bool barAnimating_ = false;
        double barMaximum_ = 1;
        double barValue_ = 0;
        std::string buttonTitle_;
        bool finished_ = false;
        std::weak_ptr<FileTransferCenter> center_;
    };
    using TaskRowPtr = std::shared_ptr<TaskRow>;

    // What the window server would hold of the window.
    struct Window {
        std::string title;
        double width = 0;
        double height = 0;  // frame height, title bar included; the top edge stays put
        bool visible = false;
        bool key = false;
        int orderFrontCount = 0;
        std::uint32_t collectionBehavior = 0;
    };

    // The folder chooser the window asks its view for, shown as a sheet on the window; exactly
    // one answer: the chosen folder, or none for any other way of ending it.
    struct FolderPanelRequest {
        std::string title;
        std::string prompt;
        std::optional<std::string> message;
        bool canChooseFiles = false;
        bool canChooseDirectories = true;
        bool canCreateDirectories = true;
        bool allowsMultipleSelection = false;
        // Where it opens: the folder last chosen in it while the application runs; empty: home.
        std::filesystem::path directory;
        std::function<void(std::optional<std::filesystem::path>)> answer;
    };

    static std::shared_ptr<FileTransferCenter> make(DispatchQueuePtr mainQueue);

    // Main queue only. Adds the row of `info.batchID` (replacing one with the same id) and shows
    // the window.
    TaskRowPtr addTask(const StartInfo& info, std::function<void()> onCancel);
    // Any thread: each hops to the main queue, so calls from one thread apply in call order.
    void updateProgress(const UUID& batchID, std::uint64_t bytes, std::uint64_t total);
    void completeTask(const UUID& batchID, const std::string& summary, double autoCloseDelay);
    void failTask(const UUID& batchID, const std::string& message);
    void removeTask(const UUID& batchID);
    void setSubtitle(const UUID& batchID, const std::string& text);
    void pickSaveLocation(const UUID& batchID, const std::optional<std::string>& suggestedName,
                          std::function<void(const std::filesystem::path&)> onPick, std::function<void()> onCancel);
    void orderFront();
    // Any thread (waits for the main queue elsewhere): makes the window if needed, brings it to
    // the front and returns it, as the parent for other sheets.
    const Window* foregroundPresentationWindow();

    // ---- For the view (main queue) --------------------------------------------------------
    const std::optional<Window>& window() const { return window_; }
    // The rows top to bottom, in the order they were added.
    const std::vector<TaskRowPtr>& stack() const { return stack_; }
    TaskRowPtr row(const UUID& batchID) const;
    // The close box hides the window; the rows stay.
    void windowClosedByUser();
    // Called after the window or the stack changed.
    std::function<void()> onChanged;
    // The same, for the owner that follows the window as the parent of its sheets.
    std::function<void()> onWindowFollowed;
    // Shows a folder chooser; empty: none can be shown, and the chooser reports cancel.
    std::function<void(FolderPanelRequest)> presentFolderPanel;
    // Activates the application ignoring other applications.
    std::function<void()> activateApplication;

    // Texts of the rows.
    static std::string itemDescription(const std::vector<std::string>& names, std::int64_t fallbackCount);
    static std::string fmt(std::uint64_t n);

private:
    explicit FileTransferCenter(DispatchQueuePtr mainQueue) : mainQueue_(std::move(mainQueue)) {}
    void onMain(std::function<void(FileTransferCenter&)> block);
    void ensureWindow();
    void resizeWindow();
    void bringToFront();
    void removeRow(const UUID& batchID);
    void finishTask(const UUID& batchID, const std::string& status, double autoCloseDelay, bool success);
    void changed() const {
        if (onChanged) onChanged();
        if (onWindowFollowed) onWindowFollowed();
    }

    DispatchQueuePtr mainQueue_;
    std::optional<Window> window_;
    std::vector<TaskRowPtr> stack_;
    std::map<UUID, TaskRowPtr> rows_;
    std::optional<std::filesystem::path> lastChosenFolder_;
};

}  // namespace qm
