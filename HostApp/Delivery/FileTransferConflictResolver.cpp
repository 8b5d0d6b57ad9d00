#include "HostApp/Delivery/FileTransferConflictResolver.h"

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

ResourceValues resourceValues(const fs::path& url) {
    ResourceValues values;
    std::error_code error;
    if (auto size = fs::file_size(url, error); !error) values.size = size;
    if (auto time = fs::last_write_time(url, error); !error) {
        const auto system = std::chrono::file_clock::to_sys(time);
        values.date = std::chrono::duration<double>(system.time_since_epoch()).count();
    }
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

// One delivery run. The queued start and the alert's completion hold it until it finishes.
class DeliveryOperation : public FileTransferConflictResolver::Run,
                          public std::enable_shared_from_this<DeliveryOperation> {
public:
    DeliveryOperation(FileTransferConflictResolver::Context context, std::vector<fs::path> staged, fs::path destination,
                      std::shared_ptr<WindowModel> parentWindow, bool prompt, bool backup,
                      std::function<void(FileTransferDeliveryResult)> completion)
        : context_(std::move(context)),
          destination_(std::move(destination)),
          parentWindow_(std::move(parentWindow)),
          shouldPromptForConflicts_(prompt),
          completion_(std::move(completion)),
          remainingURLs_(staged.begin(), staged.end()) {
        if (backup) backupRoot_ = FileTransferConflictResolver::backupRoot(context_.home, context_.now);
    }

    void cancel() override { didFinish_ = true; }

    void start() {
        if (didFinish_) return;
        std::error_code error;
        fs::create_directories(destination_, error);
        if (error || !fs::is_directory(destination_, error)) {
            failedItemCount_ += static_cast<std::int64_t>(remainingURLs_.size());
            removeRemainingStagedURLs();
            finish();
            return;
        }
        processNext();
    }

private:
    void finish() {
        if (didFinish_) return;
        didFinish_ = true;
        completion_(FileTransferDeliveryResult{deliveredURLs_, stoppedByUser_, failedItemCount_});
    }

    // Takes items until one needs an answer from the user; that answer continues the run. Every
    // other conflict is settled here, so a long run never nests calls.
    void processNext() {
        while (!didFinish_) {
            if (remainingURLs_.empty()) return finish();
            const auto source = remainingURLs_.front();
            remainingURLs_.pop_front();
            const auto target = destination_ / source.filename();
            if (!itemExists(target)) {
                move(source, target);
            } else if (applyToAllChoice_) {
                apply(*applyToAllChoice_, source, target);
            } else if (auto window = shouldPromptForConflicts_ ? presentationWindow() : nullptr;
                       window && context_.shell) {
                return ask(window, source, target);
            } else {
                move(source, uniqueDestination(target));
            }
        }
    }

    void move(const fs::path& source, const fs::path& target) {
        if (moveItem(source, target)) {
            failedItemCount_ += 1;
        } else {
            deliveredURLs_.push_back(target);
        }
    }

    void ask(const std::shared_ptr<WindowModel>& window, const fs::path& source, const fs::path& target) {
        const auto existing = resourceValues(target);
        const auto incoming = resourceValues(source);
        FileTransferConflictAlert::Info info{target.filename().string(), existing.size, existing.date,
                                            incoming.size,               incoming.date,  remainingConflictCount()};
        FileTransferConflictAlert::present(
            *context_.shell, info, window, backupRoot_.has_value(),
            [self = shared_from_this(), source, target](FileTransferConflictChoice choice, bool applyToAll) {
                // Called off while the question was open: the staged item may be gone already.
                if (self->didFinish_) return;
                if (applyToAll) self->applyToAllChoice_ = choice;
                self->apply(choice, source, target);
                self->processNext();
            });
    }

    void apply(FileTransferConflictChoice choice, const fs::path& source, const fs::path& target) {
        switch (choice) {
            case FileTransferConflictChoice::keepBoth:
                move(source, uniqueDestination(target));
                return;
            case FileTransferConflictChoice::stop: {
                stoppedByUser_ = true;
                std::error_code ignored;
                fs::remove_all(source, ignored);
                removeRemainingStagedURLs();
                return finish();
            }
            case FileTransferConflictChoice::replace:
                // The old item stays unless the new one is in its place; on failure the staged one stays.
                if (!backup(target) || replaceItem(source, target)) {
                    failedItemCount_ += 1;
                } else {
                    deliveredURLs_.push_back(target);
                }
                return;
        }
    }

    std::shared_ptr<WindowModel> presentationWindow() const {
        if (parentWindow_ && parentWindow_->visible()) return parentWindow_;
        return context_.visibleWindow ? context_.visibleWindow() : nullptr;
    }

    std::int64_t remainingConflictCount() const {
        std::int64_t count = 0;
        for (const auto& url : remainingURLs_) count += itemExists(destination_ / url.filename());
        return count;
    }

    bool backup(const fs::path& existing) const {
        if (!backupRoot_) return true;
        const auto home = context_.home.lexically_normal().string();
        const auto path = existing.lexically_normal().string();
        const fs::path relative = path.size() > home.size() + 1 && path.rfind(home + "/", 0) == 0
                                      ? fs::path(path.substr(home.size() + 1))
                                      : existing.filename();
        auto backupURL = *backupRoot_ / relative;
        if (itemExists(backupURL)) backupURL = uniqueDestination(backupURL);
        std::error_code error;
        fs::create_directories(backupURL.parent_path(), error);
        if (error) return false;
        fs::copy(existing, backupURL, fs::copy_options::recursive | fs::copy_options::copy_symlinks, error);
        return !error;
    }

    void removeRemainingStagedURLs() {
        std::error_code ignored;
        for (const auto& url : remainingURLs_) fs::remove_all(url, ignored);
        remainingURLs_.clear();
    }

    const FileTransferConflictResolver::Context context_;
    const fs::path destination_;
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
};

}  // namespace

std::shared_ptr<FileTransferConflictResolver::Run> FileTransferConflictResolver::deliver(
    const Context& context, std::vector<fs::path> stagedURLs, fs::path destination,
    std::shared_ptr<WindowModel> parentWindow, bool shouldPromptForConflicts, bool backupBeforeOverwrite,
    std::function<void(FileTransferDeliveryResult)> completion) {
    auto operation = std::make_shared<DeliveryOperation>(context, std::move(stagedURLs), std::move(destination),
                                                         std::move(parentWindow), shouldPromptForConflicts,
                                                         backupBeforeOverwrite, std::move(completion));
    if (context.mainQueue && !context.mainQueue->isCurrent()) {
        context.mainQueue->async([operation] { operation->start(); });
    } else {
        operation->start();
    }
    return operation;
}

}  // namespace qm
