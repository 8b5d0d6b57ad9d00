#pragma once

#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
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
//
// What it keeps is bounded whatever a Viewer sends: finished rows beyond maxFinishedRows go at
// once, oldest first (running rows stay; the per-Viewer limits on batches bound them), and the
// window grows to maxVisibleRows rows, the rest scrolling. It tells its view each change as it
// is (a row added or removed, the window), and a row tells its own view; progress reported
// faster than the main queue turns reaches the row once per turn.
class FileTransferCenter : public std::enable_shared_from_this<FileTransferCenter> {
public:
    static constexpr double rowWidth = 480;
    static constexpr double rowHeight = 64;
    static constexpr double outerPad = 14;
    static constexpr double rowSpacing = 8;
    static constexpr double failedRowDelay = 2.5;
    static constexpr double cancelledRowDelay = 1.0;
    // Finished rows kept while their removal is due; a row finishing beyond them takes the place
    // of the one that finished first.
    static constexpr std::size_t maxFinishedRows = 40;
    // The window's height stops growing at this many rows; the stack scrolls beyond it.
    static constexpr std::size_t maxVisibleRows = 8;
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
        // When its delayed removal is due (main queue uptime), once finished with a delay.
        std::optional<std::uint64_t> removeAtNs_;
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
    std::size_t rowCount() const { return stack_.size(); }
    TaskRowPtr row(const UUID& batchID) const;
    // The close box hides the window; the rows stay.
    void windowClosedByUser();

    // One change, as the view applies it: a row added at `index` (always the last place), a row
    // taken out of `index` (the rows below it move up one place), or the window's state. A row's
    // own changes go to its onChanged.
    struct Change {
        enum class Kind { rowAdded, rowRemoved, window };
        Kind kind = Kind::window;
        TaskRowPtr row;
        std::size_t index = 0;
    };
    std::function<void(const Change&)> onChange;
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
    // Takes the row out of the stack (it must be there) and tells the view.
    void takeOut(const TaskRowPtr& row);
    void finishTask(const UUID& batchID, const std::string& status, double autoCloseDelay, bool success);
    // The removal timer: armed for the earliest due removal of a finished row.
    void armRemovalTimer();
    void removeDueRows();
    void applyPendingProgress(const UUID& batchID);
    void windowChanged() const {
        if (onChange) onChange({Change::Kind::window, nullptr, 0});
        if (onWindowFollowed) onWindowFollowed();
    }

    DispatchQueuePtr mainQueue_;
    std::optional<Window> window_;
    std::vector<TaskRowPtr> stack_;
    std::map<UUID, TaskRowPtr> rows_;
    std::optional<std::filesystem::path> lastChosenFolder_;
    // Finished rows still in the stack, in the order they finished.
    std::deque<TaskRowPtr> finishedRows_;
    DispatchWorkItemPtr removalTimer_;
    std::uint64_t removalTimerDeadlineNs_ = 0;
    // A front request queued by addTask; rows added meanwhile ask for no other.
    bool frontPending_ = false;
    // Progress waiting for the main queue, latest per batch: one hop per batch at a time.
    std::mutex progressMutex_;
    std::map<UUID, std::pair<std::uint64_t, std::uint64_t>> pendingProgress_;
};

}  // namespace qm
