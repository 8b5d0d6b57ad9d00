#include "support/RecordingHostShell.h"

#include <algorithm>

namespace qm::test {

RecordingHostShell::~RecordingHostShell() = default;

void RecordingHostShell::installMainMenu(const MainMenu& mainMenu) {
    mainMenu_ = mainMenu;
    events.push_back("installMainMenu");
}

const HostShell::MainMenu& RecordingHostShell::mainMenu() const { return mainMenu_; }

void RecordingHostShell::showStatusItem(const std::shared_ptr<StatusItemModel>& item) {
    statusItem = item;
    events.push_back("showStatusItem");
}

bool RecordingHostShell::hasStatusArea() const { return statusArea; }

void RecordingHostShell::attachWindow(const std::shared_ptr<WindowModel>& window) {
    windows.push_back(window);
    events.push_back("attachWindow");
}

void RecordingHostShell::activateIgnoringOtherApps() { events.push_back("activate"); }

void RecordingHostShell::performStandardAction(HostAction action) { standardActions.push_back(action); }

void RecordingHostShell::beginSheet(const std::shared_ptr<WindowModel>& window, const AlertModel& alert,
                                    std::function<void(int)> completion) {
    sheetWindows.push_back(window);
    window->setAttachedSheet(alert);
    if (!scriptedResponses.empty()) {
        const int response = scriptedResponses.front();
        scriptedResponses.pop_front();
        window->setAttachedSheet(std::nullopt);
        completion(response);
        return;
    }
    pendingSheets.push_back([window, completion](int response) {
        window->setAttachedSheet(std::nullopt);
        completion(response);
    });
}

std::function<void()> RecordingHostShell::beginFolderPanel(
    const std::shared_ptr<WindowModel>& window, const FolderPanelModel& panel,
    std::function<void(std::optional<std::filesystem::path>)> completion) {
    folderPanels.push_back({window, panel});
    const auto index = folderPanels.size() - 1;
    auto open = folderPanels.back().open;
    auto answer = [open, completion = std::move(completion)](std::optional<std::filesystem::path> folder) {
        if (!*open) return;
        *open = false;
        completion(std::move(folder));
    };
    auto close = [this, open, index] {
        if (!*open) return;
        *open = false;
        if (index < folderPanels.size()) folderPanels[index].closed = true;
    };
    if (!scriptedFolders.empty()) {
        auto scripted = scriptedFolders.front();
        scriptedFolders.pop_front();
        answer(scripted);
        return close;
    }
    pendingFolderPanels.push_back(std::move(answer));
    return close;
}

std::size_t RecordingHostShell::openFolderPanelCount() const {
    return static_cast<std::size_t>(
        std::count_if(folderPanels.begin(), folderPanels.end(), [](const FolderPanel& p) { return *p.open; }));
}

void RecordingHostShell::presentSheet(const std::shared_ptr<WindowModel>&,
                                      const std::shared_ptr<AlertSheetModel>& sheet) {
    sheets.push_back(sheet);
    if (!scriptedResponses.empty()) {
        const int response = scriptedResponses.front();
        scriptedResponses.pop_front();
        sheet->respond(response);
        return;
    }
    pendingSheets.push_back([sheet](int response) { sheet->respond(response); });
}

bool RecordingHostShell::applicationIsActive() const { return active; }

void RecordingHostShell::openURL(const std::string& url) { openedURLs.push_back(url); }

void RecordingHostShell::registerServicesProvider() { events.push_back("registerServicesProvider"); }

void RecordingHostShell::terminate() { events.push_back("terminate"); }

void RecordingHostShell::attachTransferCenter(const std::shared_ptr<FileTransferCenter>& center) {
    transferCenter = center;
}

void RecordingHostShell::presentSendDestinationPicker(
    const std::shared_ptr<SendDestinationPicker::PickerController>& picker) {
    pickers.push_back(picker);
}

void RecordingHostShell::releaseRecorded() {
    pendingSheets.clear();
    sheetWindows.clear();
    folderPanels.clear();
    pendingFolderPanels.clear();
    pickers.clear();
    transferCenter.reset();
}

}  // namespace qm::test
