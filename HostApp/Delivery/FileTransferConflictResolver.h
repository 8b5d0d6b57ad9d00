#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "HostApp/App/HostShell.h"
#include "HostApp/App/ViewModels.h"
#include "Platform/Core/DispatchQueue.h"
#include "QuillmereProfiles/ConfinedFiles.h"

namespace qm {

enum class FileTransferConflictChoice { keepBoth, stop, replace };

// How one delivery run ended.
struct FileTransferDeliveryResult {
    std::vector<std::filesystem::path> deliveredURLs;  // final places, in delivery order
    bool stoppedByUser = false;                         // Stop was chosen in a conflict alert
    std::int64_t failedItemCount = 0;
    friend bool operator==(const FileTransferDeliveryResult&, const FileTransferDeliveryResult&) = default;
};

// The alert that asks what to do with an item whose name is taken in the destination folder.
class FileTransferConflictAlert {
public:
    struct Info {
        std::string fileName;
        std::uint64_t existingSize = 0;
        std::optional<double> existingDate;  // seconds since 1970, UTC
        std::uint64_t newSize = 0;
        std::optional<double> newDate;
        std::int64_t remainingConflictCount = 0;  // further conflicts among the items not yet taken
    };

    // The alert: its texts, the detail rows, the apply-to-all check box (only with further
    // conflicts) and the backup note; buttons Keep Both (1000), Stop (1001), Replace (1002).
    static AlertModel makeAlert(const Info& info, bool backupEnabled);
    // Raises `parentWindow` above other applications' windows for the time of the sheet, shows the
    // alert on it and answers once on the main queue with the choice and the apply-to-all box.
    static void present(HostShell& shell, const Info& info, const std::shared_ptr<WindowModel>& parentWindow,
                        bool backupEnabled, std::function<void(FileTransferConflictChoice, bool applyToAll)> completion);
    // Keep Both, Stop, Replace by response; any other response (the sheet ended otherwise) is Stop.
    static FileTransferConflictChoice choiceFor(int response);
    // "999 B", "1 KB", "1.0 MB" (decimal units), then " · Modified: yyyy-MM-dd HH:mm" with a date.
    static std::string detailText(std::uint64_t size, std::optional<double> date);
};

// Moves staged items into one folder, one after the other. A name that is taken is settled by
// the choice the user made for all remaining conflicts, else by asking (an alert on a visible
// window, when prompting is on), else by keeping both. Replace can first copy the existing item
// into the run's backup folder under the home folder. The completion runs exactly once, on the
// main queue.
//
// A run holds its folder open from its start to its end, however long a question stays open,
// and does everything in it through that descriptor without following a link: the look at a
// name, the free names, the move, the replace with its temporary and moved-aside items, the
// backup's read of the existing item and the alert's size and date of it. An item is placed only
// while the folder is still found at its path; once that path leads elsewhere (the folder moved
// away, a link in its place), the items not yet placed are not saved. A folder inside home is
// looked for from home, a step at a time, the way it was reached when the run began: a link at
// its path that leads out of home does not find it, even to the folder itself moved out there.
class FileTransferConflictResolver {
public:
    struct Context {
        DispatchQueuePtr mainQueue;
        std::shared_ptr<HostShell> shell;
        std::filesystem::path home;
        double now = 0;  // wall time of the run's start, seconds since 1970
        // The application's key, main or first visible window, when the parent is not visible.
        std::function<std::shared_ptr<WindowModel>()> visibleWindow;
    };

    // A run on its way. cancel() (main queue) ends it where it stands: nothing more is moved,
    // replaced or removed, an answer of an open alert is ignored, and its completion never runs,
    // so the staged items may be removed as soon as it returns.
    class Run {
    public:
        virtual ~Run() = default;
        virtual void cancel() = 0;
    };

    // Called on the main queue it starts at once (a run without alerts has completed when it
    // returns); elsewhere it starts on the main queue. The run makes the destination folder
    // (with the folders above it) when it starts, and opens it then.
    static std::shared_ptr<Run> deliver(const Context& context, std::vector<std::filesystem::path> stagedURLs,
                                        std::filesystem::path destination, std::shared_ptr<WindowModel> parentWindow,
                                        bool shouldPromptForConflicts, bool backupBeforeOverwrite,
                                        std::function<void(FileTransferDeliveryResult)> completion);
    // The same into a folder the caller opened (and checked) already, named by its path.
    static std::shared_ptr<Run> deliver(const Context& context, std::vector<std::filesystem::path> stagedURLs,
                                        ConfinedFolder destination, std::shared_ptr<WindowModel> parentWindow,
                                        bool shouldPromptForConflicts, bool backupBeforeOverwrite,
                                        std::function<void(FileTransferDeliveryResult)> completion);

    // <home>/Corventis Backups/transfer/<yyyy-MM-dd-HHmmss of `now`, local time>. Its folders are
    // made from the opened home folder one at a time, never through a link that leads out of it.
    static std::filesystem::path backupRoot(const std::filesystem::path& home, double now);
};

}  // namespace qm
