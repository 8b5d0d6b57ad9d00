#include "QuillmereProfiles/UI/TransferProgressWindow.h"

#include <algorithm>
#include <charconv>

#include "QuillmereProfiles/FileTransferDocuments.h"
#include "QuillmereProfiles/QuillmereL10n.h"

namespace qm {

using L10n = QuillmereL10n;

namespace {

// A fixed-point figure that does not follow the process locale (Qt sets it from the environment,
// and a decimal comma would make "1,0 MB" in one language and "1.0 MB" in another).
std::string fixed(double value, int precision) {
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, precision);
    return std::string(buffer, result.ptr);
}

// Stand-ins for a format's arguments while its parts are found: control characters no
// translation holds.
constexpr char nameMark = '\x1f';
constexpr char numberMark = '\x1e';

// `line` split around the name that `marked` (a format filled with the marks) puts in it: what the
// format holds before the name matches the line's start and what it holds after matches the
// line's end, a number mark matching a run of digits. Nothing when the line is not of this format.
std::optional<FileTransferCenter::LineParts> partsOfFormat(const std::string& line, const std::string& marked) {
    const auto mark = marked.find(nameMark);
    if (mark == std::string::npos || marked.find(nameMark, mark + 1) != std::string::npos) return std::nullopt;
    auto isDigit = [](char c) { return c >= '0' && c <= '9'; };
    std::size_t start = 0;
    for (std::size_t i = 0; i < mark; ++i) {
        if (marked[i] == numberMark) {
            const auto first = start;
            while (start < line.size() && isDigit(line[start])) ++start;
            if (start == first) return std::nullopt;
        } else if (start < line.size() && line[start] == marked[i]) {
            ++start;
        } else {
            return std::nullopt;
        }
    }
    std::size_t end = line.size();
    for (std::size_t i = marked.size(); i > mark + 1; --i) {
        const char expected = marked[i - 1];
        if (expected == numberMark) {
            const auto last = end;
            while (end > start && isDigit(line[end - 1])) --end;
            if (end == last) return std::nullopt;
        } else if (end > start && line[end - 1] == expected) {
            --end;
        } else {
            return std::nullopt;
        }
    }
    return FileTransferCenter::LineParts{line.substr(0, start), line.substr(start, end - start), line.substr(end)};
}

}  // namespace

FileTransferCenter::LineParts FileTransferCenter::statusLineParts(const std::string& line) {
    struct Format {
        const char* key;
        const char* english;
        std::vector<L10n::Argument> marks;
    };
    const Format formats[] = {
        {"fileTransfer.center.savingTo", "Saving to %@…", {std::string(1, nameMark)}},
        {"fileTransfer.center.savedTo", "Saved %d item(s) to %@", {std::string(1, numberMark), std::string(1, nameMark)}},
    };
    for (const auto& format : formats) {
        for (const auto& text : {L10n::text(format.key, format.english), std::string(format.english)}) {
            if (auto parts = partsOfFormat(line, L10n::fill(text, format.marks))) return *parts;
        }
    }
    return {line, {}, {}};
}

// ---- Row --------------------------------------------------------------------------------------

FileTransferCenter::TaskRow::TaskRow(const StartInfo& info)
    : batchID(info.batchID), direction(info.direction), totalBytes(info.totalBytes) {
    const bool outgoing = direction == FileTransferDirection::outgoing;
    iconText_ = outgoing ? "\u2191" : "\u2193";
    const auto description = itemDescription(info.itemNames, info.fileCount);
    auto title = [&](const std::string& items) {
        return outgoing ? L10n::format("fileTransfer.center.sendingTo", "Sending %@ to %@", {items, info.peerLabel})
                        : L10n::format("fileTransfer.center.receivingFrom", "Receiving %@ from %@", {items, info.peerLabel});
    };
    title_ = title(description);
    // The items' name is the title's name part; a count ("3 items") is part of the sentence.
    titleParts_ = {title_, {}, {}};
    const bool named = std::any_of(info.itemNames.begin(), info.itemNames.end(),
                                   [](const std::string& name) { return !FileTransferDocuments::trimmed(name).empty(); });
    const auto marked = title(std::string(1, nameMark));
    if (const auto mark = marked.find(nameMark); named && mark != std::string::npos) {
        LineParts parts{marked.substr(0, mark), description, marked.substr(mark + 1)};
        if (parts.before + parts.name + parts.after == title_) titleParts_ = std::move(parts);
    }
    for (const auto& name : info.itemNames) {
        if (!toolTip_.empty()) toolTip_ += "\n";
        toolTip_ += name;
    }
    if (totalBytes > 0) {
        barIndeterminate_ = false;
        barMaximum_ = static_cast<double>(totalBytes);
        barValue_ = 0;
        status_ = "0 / " + fmt(totalBytes);
    } else {
        barIndeterminate_ = true;
        barAnimating_ = true;
        status_ = L10n::text("fileTransfer.center.waiting", "Waiting…");
    }
    statusParts_ = {status_, {}, {}};
    buttonTitle_ = L10n::text("common.cancel", "Cancel");
}

void FileTransferCenter::TaskRow::updateProgress(std::uint64_t bytes, std::uint64_t total) {
    if (total == 0 || finished_) return;
    if (barIndeterminate_) {
        barAnimating_ = false;
        barIndeterminate_ = false;
    }
    barMaximum_ = static_cast<double>(total);
    barValue_ = static_cast<double>(std::min(bytes, total));
    status_ = fmt(bytes) + " / " + fmt(total);
    statusParts_ = {status_, {}, {}};
    changed();
}

void FileTransferCenter::TaskRow::markFinished(const std::string& status, bool success) {
    finished_ = true;
    if (barIndeterminate_) {
        barAnimating_ = false;
        barIndeterminate_ = false;
        barMaximum_ = 1;
        barValue_ = 1;
    } else {
        barValue_ = barMaximum_;
    }
    status_ = status;
    statusParts_ = statusLineParts(status);
    statusIsError_ = !success;
    buttonTitle_ = L10n::text("common.dismiss", "Dismiss");
    changed();
}

void FileTransferCenter::TaskRow::setSubtitle(const std::string& text) {
    status_ = text;
    statusParts_ = statusLineParts(text);
    changed();
}

void FileTransferCenter::TaskRow::didCancel() {
    if (finished_) {
        onCancel = nullptr;
        if (auto center = center_.lock()) center->removeTask(batchID);
        return;
    }
    // The caller's action may drop the last other reference to this row.
    if (auto action = onCancel) action();
}

// ---- Center -----------------------------------------------------------------------------------

std::shared_ptr<FileTransferCenter> FileTransferCenter::make(DispatchQueuePtr mainQueue) {
    return std::shared_ptr<FileTransferCenter>(new FileTransferCenter(std::move(mainQueue)));
}

void FileTransferCenter::onMain(std::function<void(FileTransferCenter&)> block) {
    mainQueue_->async([weak = weak_from_this(), block = std::move(block)] {
        if (auto self = weak.lock()) block(*self);
    });
}

FileTransferCenter::TaskRowPtr FileTransferCenter::addTask(const StartInfo& info, std::function<void()> onCancel) {
    ensureWindow();
    auto row = std::make_shared<TaskRow>(info);
    row->center_ = weak_from_this();
    row->onCancel = [weak = weak_from_this(), id = info.batchID, onCancel = std::move(onCancel)] {
        if (onCancel) onCancel();
        if (auto self = weak.lock()) {
            self->onMain([id](FileTransferCenter& center) {
                center.finishTask(id, L10n::text("fileTransfer.cancelled", "Cancelled"), cancelledRowDelay, true);
            });
        }
    };
    // A row for the same batch goes, unfinished, and with it whatever it had pending.
    if (auto existing = rows_.find(info.batchID); existing != rows_.end()) takeOut(existing->second);
    rows_[info.batchID] = row;
    stack_.push_back(row);
    if (onChange) onChange({Change::Kind::rowAdded, row, stack_.size() - 1});
    const auto height = window_->height;
    resizeWindow();
    if (window_->height != height) windowChanged();
    // One request to come forward stands for every row added before it runs.
    if (!frontPending_) {
        frontPending_ = true;
        onMain([](FileTransferCenter& center) {
            center.frontPending_ = false;
            center.bringToFront();
        });
    }
    return row;
}

void FileTransferCenter::updateProgress(const UUID& batchID, std::uint64_t bytes, std::uint64_t total) {
    {
        std::lock_guard lock(progressMutex_);
        // A hop is on its way for this batch: it takes the latest figures when it runs.
        if (!pendingProgress_.insert_or_assign(batchID, std::make_pair(bytes, total)).second) return;
    }
    onMain([batchID](FileTransferCenter& center) { center.applyPendingProgress(batchID); });
}

void FileTransferCenter::applyPendingProgress(const UUID& batchID) {
    std::pair<std::uint64_t, std::uint64_t> progress;
    {
        std::lock_guard lock(progressMutex_);
        auto found = pendingProgress_.find(batchID);
        if (found == pendingProgress_.end()) return;
        progress = found->second;
        pendingProgress_.erase(found);
    }
    if (auto row = this->row(batchID)) row->updateProgress(progress.first, progress.second);
}

void FileTransferCenter::completeTask(const UUID& batchID, const std::string& summary, double autoCloseDelay) {
    onMain([batchID, summary, autoCloseDelay](FileTransferCenter& center) {
        center.finishTask(batchID, summary, autoCloseDelay, true);
    });
}

void FileTransferCenter::failTask(const UUID& batchID, const std::string& message) {
    onMain([batchID, message](FileTransferCenter& center) {
        center.finishTask(batchID, message, failedRowDelay, false);
    });
}

void FileTransferCenter::removeTask(const UUID& batchID) {
    onMain([batchID](FileTransferCenter& center) { center.removeRow(batchID); });
}

void FileTransferCenter::setSubtitle(const UUID& batchID, const std::string& text) {
    onMain([batchID, text](FileTransferCenter& center) {
        if (auto row = center.row(batchID)) row->setSubtitle(text);
    });
}

void FileTransferCenter::pickSaveLocation(const UUID&, const std::optional<std::string>& suggestedName,
                                          std::function<void(const std::filesystem::path&)> onPick,
                                          std::function<void()> onCancel) {
    onMain([suggestedName, onPick = std::move(onPick), onCancel = std::move(onCancel)](FileTransferCenter& center) {
        center.ensureWindow();
        if (!center.window_ || !center.presentFolderPanel) {
            if (onCancel) onCancel();
            return;
        }
        center.bringToFront();
        FolderPanelRequest request;
        request.title = L10n::text("fileTransfer.chooseSaveLocation", "Choose Save Location");
        request.prompt = L10n::text("fileTransfer.chooseFolderPrompt", "Save Here");
        if (suggestedName && !suggestedName->empty()) {
            request.message = L10n::format("fileTransfer.chooseSaveMessage", "Choose where to save \"%@\"", {*suggestedName});
        }
        std::error_code error;
        if (center.lastChosenFolder_ && std::filesystem::is_directory(*center.lastChosenFolder_, error)) {
            request.directory = *center.lastChosenFolder_;
        }
        // A view may end a panel more than once (a button, then the close); only the first counts.
        auto answered = std::make_shared<bool>(false);
        request.answer = [weak = center.weak_from_this(), answered, onPick,
                          onCancel](std::optional<std::filesystem::path> folder) {
            if (*answered) return;
            *answered = true;
            if (folder && !folder->empty()) {
                if (auto self = weak.lock()) self->lastChosenFolder_ = *folder;
                if (onPick) onPick(*folder);
            } else if (onCancel) {
                onCancel();
            }
        };
        center.presentFolderPanel(std::move(request));
    });
}

void FileTransferCenter::orderFront() {
    onMain([](FileTransferCenter& center) {
        center.ensureWindow();
        center.bringToFront();
    });
}

const FileTransferCenter::Window* FileTransferCenter::foregroundPresentationWindow() {
    return mainQueue_->syncInline([this]() -> const Window* {
        ensureWindow();
        bringToFront();
        return window_ ? &*window_ : nullptr;
    });
}

FileTransferCenter::TaskRowPtr FileTransferCenter::row(const UUID& batchID) const {
    auto found = rows_.find(batchID);
    return found == rows_.end() ? nullptr : found->second;
}

void FileTransferCenter::windowClosedByUser() {
    if (!window_ || !window_->visible) return;
    window_->visible = false;
    window_->key = false;
    windowChanged();
}

void FileTransferCenter::ensureWindow() {
    if (window_) return;
    Window window;
    window.title = L10n::text("fileTransfer.center.windowTitle", "File Transfers");
    window.width = rowWidth + 2 * outerPad;
    window.height = rowHeight + 2 * outerPad;
    window.collectionBehavior = collectionBehavior;
    window_ = window;
    windowChanged();
}

void FileTransferCenter::resizeWindow() {
    if (!window_) return;
    // Past maxVisibleRows the rows scroll: the window stays on the screen however many there are.
    const auto n = static_cast<double>(std::min(stack_.size(), maxVisibleRows));
    window_->height = rowHeight * std::max(n, 1.0) + rowSpacing * std::max(n - 1, 0.0) + 2 * outerPad;
}

void FileTransferCenter::bringToFront() {
    if (!window_) return;
    if (activateApplication) activateApplication();
    window_->visible = true;
    window_->key = true;
    ++window_->orderFrontCount;
    windowChanged();
}

void FileTransferCenter::takeOut(const TaskRowPtr& row) {
    const auto at = std::find(stack_.begin(), stack_.end(), row);
    const auto index = static_cast<std::size_t>(at - stack_.begin());
    stack_.erase(at);
    if (row->finished()) std::erase(finishedRows_, row);
    row->removeAtNs_.reset();
    if (onChange) onChange({Change::Kind::rowRemoved, row, index});
}

void FileTransferCenter::removeRow(const UUID& batchID) {
    auto found = rows_.find(batchID);
    if (found == rows_.end()) return;
    const auto row = found->second;
    rows_.erase(found);
    takeOut(row);
    const auto height = window_ ? window_->height : 0;
    resizeWindow();
    if (stack_.empty() && window_) {
        window_->visible = false;
        window_->key = false;
        windowChanged();
    } else if (window_ && window_->height != height) {
        windowChanged();
    }
}

void FileTransferCenter::finishTask(const UUID& batchID, const std::string& status, double autoCloseDelay,
                                    bool success) {
    auto finished = row(batchID);
    if (!finished) return;
    // The first outcome stands: a batch the user stopped still ends (its sender sends batchEnd),
    // and that completion must not report it as done.
    if (finished->finished()) return;
    finished->markFinished(status, success);
    finishedRows_.push_back(finished);
    if (autoCloseDelay > 0) {
        const auto now = mainQueue_->clock().uptimeNs();
        finished->removeAtNs_ = now + static_cast<std::uint64_t>(std::min(autoCloseDelay, 1e6) * 1e9);
        armRemovalTimer();
    } else {
        // The next turn. Only this row goes: a newer row that took over the batch id keeps its
        // own life.
        mainQueue_->async([weak = weak_from_this(), batchID, weakRow = std::weak_ptr<TaskRow>(finished)] {
            auto self = weak.lock();
            auto row = weakRow.lock();
            if (self && row && self->row(batchID) == row) self->removeRow(batchID);
        });
    }
    // Beyond the bound the row that finished first goes now rather than at its time.
    while (finishedRows_.size() > maxFinishedRows) removeRow(finishedRows_.front()->batchID);
}

void FileTransferCenter::armRemovalTimer() {
    // Finished rows are few (at most maxFinishedRows): the earliest is found by looking at each.
    std::optional<std::uint64_t> earliest;
    for (const auto& row : finishedRows_) {
        if (row->removeAtNs_ && (!earliest || *row->removeAtNs_ < *earliest)) earliest = row->removeAtNs_;
    }
    if (removalTimer_ && earliest && removalTimerDeadlineNs_ <= *earliest) return;  // due in time
    if (removalTimer_) removalTimer_->cancel();
    removalTimer_.reset();
    if (!earliest) return;
    const auto now = mainQueue_->clock().uptimeNs();
    removalTimerDeadlineNs_ = *earliest;
    const double delay = *earliest > now ? static_cast<double>(*earliest - now) / 1e9 : 0.0;
    removalTimer_ = mainQueue_->asyncAfter(delay, [weak = weak_from_this()] {
        if (auto self = weak.lock()) self->removeDueRows();
    });
}

void FileTransferCenter::removeDueRows() {
    removalTimer_.reset();
    // A timer may fire a hair before the figure it was armed for.
    const auto now = mainQueue_->clock().uptimeNs() + 1'000'000;
    std::vector<UUID> due;
    for (const auto& row : finishedRows_) {
        if (row->removeAtNs_ && *row->removeAtNs_ <= now) due.push_back(row->batchID);
    }
    for (const auto& id : due) removeRow(id);
    armRemovalTimer();
}

std::string FileTransferCenter::itemDescription(const std::vector<std::string>& names, std::int64_t fallbackCount) {
    std::vector<std::string> usable;
    for (const auto& name : names) {
        auto text = FileTransferDocuments::trimmed(name);
        if (!text.empty()) usable.push_back(std::move(text));
    }
    if (usable.empty()) return fileTransferItemDescription(fallbackCount);
    if (usable.size() == 1) return usable.front();
    return usable.front() + " ...";
}

std::string FileTransferCenter::fmt(std::uint64_t n) {
    if (n < 1024) return std::to_string(n) + " B";
    if (n < 1'000'000) return fixed(static_cast<double>(n) / 1024.0, 0) + " KB";
    return fixed(static_cast<double>(n) / 1'000'000.0, 1) + " MB";
}

}  // namespace qm
