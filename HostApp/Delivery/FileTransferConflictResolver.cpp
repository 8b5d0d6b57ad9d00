#include "HostApp/Delivery/FileTransferConflictResolver.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cmath>
#include <cstdio>
#include <ctime>
#include <deque>

#include "HostApp/Delivery/DeliveredItems.h"
#include "QuillmereProfiles/QuillmereL10n.h"

namespace qm {

namespace fs = std::filesystem;
using L10n = QuillmereL10n;

namespace {

std::string localTime(double seconds, const char* format) {
    const auto whole = static_cast<std::time_t>(std::floor(seconds));
    std::tm parts{};
    ::localtime_r(&whole, &parts);
    char text[64] = {};
    std::strftime(text, sizeof text, format, &parts);
    return text;
}

struct ResourceValues {
    std::uint64_t size = 0;
    std::optional<double> date;
};

// The item's own size (a file's; 0 for anything else) and modification date; a link is not followed.
ResourceValues resourceValues(int folder, const std::string& name) {
    ResourceValues values;
    struct stat info {};
    if (::fstatat(folder, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) return values;
    if (S_ISREG(info.st_mode)) values.size = static_cast<std::uint64_t>(info.st_size);
    values.date = static_cast<double>(info.st_mtim.tv_sec) + static_cast<double>(info.st_mtim.tv_nsec) / 1e9;
    return values;
}

}  // namespace

// ---- The alert ---------------------------------------------------------------------------------

std::string FileTransferConflictAlert::detailText(std::uint64_t size, std::optional<double> date) {
    char sizeText[64];
    if (size < 1000) {
        std::snprintf(sizeText, sizeof sizeText, "%llu B", static_cast<unsigned long long>(size));
    } else if (size < 1'000'000) {
        std::snprintf(sizeText, sizeof sizeText, "%.0f KB", static_cast<double>(size) / 1000.0);
    } else {
        std::snprintf(sizeText, sizeof sizeText, "%.1f MB", static_cast<double>(size) / 1'000'000.0);
    }
    std::string text = sizeText;
    if (date) {
        text += " \u00B7 " +
                L10n::format("fileTransfer.conflict.modified", "Modified: %@", localTime(*date, "%Y-%m-%d %H:%M"));
    }
    return text;
}

AlertModel FileTransferConflictAlert::makeAlert(const Info& info, bool backupEnabled) {
    using Look = AlertModel::Accessory::Look;
    AlertModel alert;
    alert.style = AlertModel::Style::warning;
    alert.messageText = L10n::text("fileTransfer.conflict.title", "Copy Conflict");
    alert.informativeText = L10n::format(
        "fileTransfer.conflict.message",
        "\"%@\" already exists at the destination. Do you want to replace it, keep both, or stop?", info.fileName);
    alert.accessories.push_back(
        {L10n::format("fileTransfer.conflict.existing", "Existing file: %@", info.fileName), Look::emphasized, nullptr});
    alert.accessories.push_back({detailText(info.existingSize, info.existingDate), Look::detail, nullptr});
    alert.accessories.push_back(
        {L10n::format("fileTransfer.conflict.new", "New file: %@", info.fileName), Look::emphasized, nullptr});
    alert.accessories.push_back({detailText(info.newSize, info.newDate), Look::detail, nullptr});
    if (info.remainingConflictCount > 0) {
        auto checkbox = std::make_shared<ButtonModel>(
            ButtonModel::Kind::checkbox,
            L10n::format("fileTransfer.conflict.applyToAll", "Apply to all (%d more conflicts)",
                         info.remainingConflictCount));
        alert.accessories.push_back({checkbox->title(), Look::detail, checkbox});
    }
    if (backupEnabled) {
        alert.accessories.push_back(
            {L10n::text("fileTransfer.conflict.backupNote",
                        "Backup is enabled. The existing file will be saved to the backup folder."),
             Look::detail, nullptr});
    } else {
        alert.accessories.push_back({L10n::text("fileTransfer.conflict.noBackupWarning",
                                                "Backup is not enabled. Replaced files cannot be recovered."),
                                     Look::warning, nullptr});
    }
    alert.buttons = {L10n::text("fileTransfer.conflict.keepBoth", "Keep Both"),
                     L10n::text("fileTransfer.conflict.stop", "Stop"),
                     L10n::text("fileTransfer.conflict.replace", "Replace")};
    return alert;
}

FileTransferConflictChoice FileTransferConflictAlert::choiceFor(int response) {
    switch (response) {
        case 1000: return FileTransferConflictChoice::keepBoth;
        case 1002: return FileTransferConflictChoice::replace;
        default: return FileTransferConflictChoice::stop;
    }
}

void FileTransferConflictAlert::present(HostShell& shell, const Info& info,
                                        const std::shared_ptr<WindowModel>& parentWindow, bool backupEnabled,
                                        std::function<void(FileTransferConflictChoice, bool)> completion) {
    auto alert = makeAlert(info, backupEnabled);
    std::shared_ptr<ButtonModel> applyToAll;
    for (const auto& row : alert.accessories)
        if (row.checkbox) applyToAll = row.checkbox;
    // Above other applications' windows while the question is open; as it was afterwards.
    shell.activateIgnoringOtherApps();
    const int level = parentWindow->level();
    const auto behavior = parentWindow->collectionBehavior();
    const bool hides = parentWindow->hidesOnDeactivate();
    parentWindow->setLevel(WindowModel::floatingLevel);
    parentWindow->addCollectionBehavior(WindowModel::moveToActiveSpace | WindowModel::fullScreenAuxiliary);
    parentWindow->setHidesOnDeactivate(false);
    parentWindow->makeKeyAndOrderFront();
    parentWindow->orderFront();
    shell.beginSheet(parentWindow, alert,
                     [parentWindow, level, behavior, hides, applyToAll, completion = std::move(completion)](int response) {
                         parentWindow->setLevel(level);
                         parentWindow->setCollectionBehavior(behavior);
                         parentWindow->setHidesOnDeactivate(hides);
                         const bool answered = response >= 1000 && response <= 1002;
                         const bool all = answered && applyToAll && applyToAll->checked();
                         const auto choice = choiceFor(response);
                         completion(choice, all);
                     });
}

// ---- The resolver ------------------------------------------------------------------------------

fs::path FileTransferConflictResolver::backupRoot(const fs::path& home, double now) {
    return home / "Corventis Backups" / "transfer" / localTime(now, "%Y-%m-%d-%H%M%S");
}

namespace {

// A name taken between the look and the move is passed by for the next free one, a few times.
constexpr int freeNameAttempts = 16;

// One delivery run. The queued start and the alert's completion hold it until it finishes.
class DeliveryOperation : public FileTransferConflictResolver::Run,
                          public std::enable_shared_from_this<DeliveryOperation> {
public:
    DeliveryOperation(FileTransferConflictResolver::Context context, std::vector<fs::path> staged,
                      ConfinedFolder destination, std::shared_ptr<WindowModel> parentWindow, bool prompt, bool backup,
                      std::function<void(FileTransferDeliveryResult)> completion)
        : context_(std::move(context)),
          folder_(std::move(destination)),
          parentWindow_(std::move(parentWindow)),
          shouldPromptForConflicts_(prompt),
          completion_(std::move(completion)),
          remainingURLs_(staged.begin(), staged.end()) {
        if (backup) backupRoot_ = FileTransferConflictResolver::backupRoot(context_.home, context_.now);
    }

    void cancel() override { didFinish_ = true; }

    void start() {
        if (didFinish_) return;
        if (!folder_.fd.valid()) {
            // A folder named by its path: made, then opened once for the whole run.
            std::error_code ignored;
            fs::create_directories(folder_.path, ignored);
            folder_.fd = FileDescriptor(::open(folder_.path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        }
        if (!folder_.fd.valid()) {
            failedItemCount_ += static_cast<std::int64_t>(remainingURLs_.size());
            removeRemainingStagedURLs();
            finish();
            return;
        }
        rememberWayFromHome();
        processNext();
    }

private:
    void finish() {
        if (didFinish_) return;
        didFinish_ = true;
        completion_(FileTransferDeliveryResult{deliveredURLs_, stoppedByUser_, failedItemCount_});
    }

    int folder() const { return folder_.fd.get(); }

    // Takes items until one needs an answer from the user; that answer continues the run. Every
    // other conflict is settled here, so a long run never nests calls.
    void processNext() {
        while (!didFinish_) {
            if (remainingURLs_.empty()) return finish();
            const auto source = remainingURLs_.front();
            remainingURLs_.pop_front();
            const auto name = source.filename().string();
            if (!entryExists(folder(), name)) {
                place(source, [&] { return name; }, 1);
            } else if (applyToAllChoice_) {
                apply(*applyToAllChoice_, source, name);
            } else if (auto window = shouldPromptForConflicts_ ? presentationWindow() : nullptr;
                       window && context_.shell) {
                return ask(window, source, name);
            } else {
                keepBoth(source, name);
            }
        }
    }

    static bool sameFolder(int one, int other) {
        struct stat first {}, second {};
        return ::fstat(one, &first) == 0 && ::fstat(other, &second) == 0 && first.st_dev == second.st_dev &&
               first.st_ino == second.st_ino;
    }

    // A folder inside home that its path reaches from home, one step at a time and without a
    // link out of home, is checked that way from then on: a folder moved out of home with a link
    // to it left at its path is no longer where it is said to be.
    void rememberWayFromHome() {
        std::error_code error;
        const auto root = fs::canonical(context_.home, error);
        if (error) return;
        const auto relative = folder_.path.lexically_relative(root);
        if (relative.empty() || *relative.begin() == "..") return;
        std::vector<std::string> components;
        for (const auto& part : relative) components.push_back(part.string());
        auto reached = resolveFolderBelow(root, components, false);
        if (!reached || !sameFolder(reached->fd.get(), folder())) return;
        wayFromHome_ = WayFromHome{root, std::move(components)};
    }

    // The folder still is what its path names. Everything goes through the descriptor, so
    // nothing could land elsewhere anyway; but an item put into a folder that was moved away, or
    // whose path now leads somewhere else, is not where the user and the Viewer are told it is.
    bool stillInPlace() const {
        if (wayFromHome_) {
            auto again = resolveFolderBelow(wayFromHome_->root, wayFromHome_->components, false);
            return again && sameFolder(again->fd.get(), folder());
        }
        // A folder outside home, or one the user chose through a link that leaves it.
        struct stat viaPath {}, held {};
        return ::stat(folder_.path.c_str(), &viaPath) == 0 && ::fstat(folder(), &held) == 0 &&
               viaPath.st_dev == held.st_dev && viaPath.st_ino == held.st_ino;
    }

    // Moves the source to the name `chooseName` gives, never over an existing item; a name taken
    // meanwhile is passed by for the next one it gives, up to `attempts` names.
    void place(const fs::path& source, const std::function<std::string()>& chooseName, int attempts) {
        std::error_code error = std::make_error_code(std::errc::no_such_file_or_directory);
        std::string name;
        if (stillInPlace()) {
            for (int attempt = 0; attempt < attempts; ++attempt) {
                name = chooseName();
                error = moveItemInto(source, folder(), name);
                if (error.value() != EEXIST) break;
            }
        }
        if (error) {
            failedItemCount_ += 1;
        } else {
            deliveredURLs_.push_back(folder_.path / name);
        }
    }

    void keepBoth(const fs::path& source, const std::string& name) {
        place(source, [&] { return uniqueName(folder(), name); }, freeNameAttempts);
    }

    void replace(const fs::path& source, const std::string& name) {
        // The old item stays unless the new one is in its place; on failure the staged one stays.
        if (!stillInPlace() || !backup(name) || replaceItemIn(source, folder(), name)) {
            failedItemCount_ += 1;
        } else {
            deliveredURLs_.push_back(folder_.path / name);
        }
    }

    void ask(const std::shared_ptr<WindowModel>& window, const fs::path& source, const std::string& name) {
        const auto existing = resourceValues(folder(), name);
        const auto incoming = resourceValues(AT_FDCWD, source.string());
        FileTransferConflictAlert::Info info{name,          existing.size, existing.date,
                                            incoming.size, incoming.date, remainingConflictCount()};
        FileTransferConflictAlert::present(
            *context_.shell, info, window, backupRoot_.has_value(),
            [self = shared_from_this(), source, name](FileTransferConflictChoice choice, bool applyToAll) {
                // Called off while the question was open: the staged item may be gone already.
                if (self->didFinish_) return;
                if (applyToAll) self->applyToAllChoice_ = choice;
                self->apply(choice, source, name);
                self->processNext();
            });
    }

    void apply(FileTransferConflictChoice choice, const fs::path& source, const std::string& name) {
        switch (choice) {
            case FileTransferConflictChoice::keepBoth:
                keepBoth(source, name);
                return;
            case FileTransferConflictChoice::stop: {
                stoppedByUser_ = true;
                std::error_code ignored;
                fs::remove_all(source, ignored);
                removeRemainingStagedURLs();
                return finish();
            }
            case FileTransferConflictChoice::replace:
                replace(source, name);
                return;
        }
    }

    std::shared_ptr<WindowModel> presentationWindow() const {
        if (parentWindow_ && parentWindow_->visible()) return parentWindow_;
        return context_.visibleWindow ? context_.visibleWindow() : nullptr;
    }

    std::int64_t remainingConflictCount() const {
        std::int64_t count = 0;
        for (const auto& url : remainingURLs_) count += entryExists(folder(), url.filename().string());
        return count;
    }

    // Copies the existing item (read through the folder's descriptor; a link is copied as a link)
    // into the run's backup folder, under its path below home, or its name alone when it is not
    // below home.
    bool backup(const std::string& name) const {
        if (!backupRoot_) return true;
        std::error_code error;
        const auto home = fs::canonical(context_.home, error);
        if (error) return false;
        const auto existing = (folder_.path / name).lexically_normal();
        fs::path relative = name;
        for (const auto& base : {context_.home.lexically_normal(), home}) {
            const auto prefix = base.string() + (base.string().ends_with('/') ? "" : "/");
            if (existing.string().size() > prefix.size() && existing.string().starts_with(prefix)) {
                relative = existing.string().substr(prefix.size());
                break;
            }
        }
        std::vector<std::string> components;
        for (const auto& part : backupRoot_->lexically_relative(context_.home)) components.push_back(part.string());
        for (const auto& part : relative.parent_path()) components.push_back(part.string());
        // Made from the opened home folder: a link planted on the way cannot take it out of home.
        const auto backupFolder = resolveFolderBelow(home, components, true);
        if (!backupFolder) return false;
        const auto backupName = relative.filename().string();
        const int into = backupFolder->fd.get();
        for (int attempt = 0; attempt < freeNameAttempts; ++attempt) {
            error = copyItemBetween(folder(), name, into, uniqueName(into, backupName));
            if (error.value() != EEXIST) break;
        }
        return !error;
    }

    void removeRemainingStagedURLs() {
        std::error_code ignored;
        for (const auto& url : remainingURLs_) fs::remove_all(url, ignored);
        remainingURLs_.clear();
    }

    const FileTransferConflictResolver::Context context_;
    ConfinedFolder folder_;
    const std::shared_ptr<WindowModel> parentWindow_;
    const bool shouldPromptForConflicts_;
    const std::function<void(FileTransferDeliveryResult)> completion_;
    std::optional<fs::path> backupRoot_;
    std::deque<fs::path> remainingURLs_;
    std::vector<fs::path> deliveredURLs_;
    std::int64_t failedItemCount_ = 0;
    bool stoppedByUser_ = false;
    std::optional<FileTransferConflictChoice> applyToAllChoice_;
    bool didFinish_ = false;
    struct WayFromHome {
        fs::path root;  // home, canonical
        std::vector<std::string> components;
    };
    std::optional<WayFromHome> wayFromHome_;
};

std::shared_ptr<FileTransferConflictResolver::Run> startRun(std::shared_ptr<DeliveryOperation> operation,
                                                            const DispatchQueuePtr& mainQueue) {
    if (mainQueue && !mainQueue->isCurrent()) {
        mainQueue->async([operation] { operation->start(); });
    } else {
        operation->start();
    }
    return operation;
}

}  // namespace

std::shared_ptr<FileTransferConflictResolver::Run> FileTransferConflictResolver::deliver(
    const Context& context, std::vector<fs::path> stagedURLs, fs::path destination,
    std::shared_ptr<WindowModel> parentWindow, bool shouldPromptForConflicts, bool backupBeforeOverwrite,
    std::function<void(FileTransferDeliveryResult)> completion) {
    return deliver(context, std::move(stagedURLs), ConfinedFolder{FileDescriptor(), std::move(destination)},
                   std::move(parentWindow), shouldPromptForConflicts, backupBeforeOverwrite, std::move(completion));
}

std::shared_ptr<FileTransferConflictResolver::Run> FileTransferConflictResolver::deliver(
    const Context& context, std::vector<fs::path> stagedURLs, ConfinedFolder destination,
    std::shared_ptr<WindowModel> parentWindow, bool shouldPromptForConflicts, bool backupBeforeOverwrite,
    std::function<void(FileTransferDeliveryResult)> completion) {
    return startRun(std::make_shared<DeliveryOperation>(context, std::move(stagedURLs), std::move(destination),
                                                        std::move(parentWindow), shouldPromptForConflicts,
                                                        backupBeforeOverwrite, std::move(completion)),
                    context.mainQueue);
}

}  // namespace qm
