#pragma once

#include <deque>
#include <filesystem>
#include <optional>
#include <functional>
#include <string>
#include <vector>

#include "HostApp/App/HostShell.h"

namespace qm::test {

// The desktop as the application tests see it: it records what was shown and asked, and answers
// sheets from a script (or keeps them pending until the test answers).
class RecordingHostShell final : public HostShell {
public:
    void installMainMenu(const MainMenu& mainMenu) override {
        mainMenu_ = mainMenu;
        events.push_back("installMainMenu");
    }
    const MainMenu& mainMenu() const override { return mainMenu_; }
    void showStatusItem(const std::shared_ptr<StatusItemModel>& item) override {
        statusItem = item;
        events.push_back("showStatusItem");
    }
    bool hasStatusArea() const override { return statusArea; }
    void attachWindow(const std::shared_ptr<WindowModel>& window) override {
        windows.push_back(window);
        events.push_back("attachWindow");
    }
    void activateIgnoringOtherApps() override { events.push_back("activate"); }
    void performStandardAction(HostAction action) override { standardActions.push_back(action); }
    void beginSheet(const std::shared_ptr<WindowModel>& window, const AlertModel& alert,
                    std::function<void(int)> completion) override {
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
    // Answered from `scriptedFolders` (nothing there: cancelled), else kept in `pendingFolderPanels`.
    void beginFolderPanel(const std::shared_ptr<WindowModel>& window, const FolderPanelModel& panel,
                          std::function<void(std::optional<std::filesystem::path>)> completion) override {
        folderPanels.push_back({window, panel});
        if (!scriptedFolders.empty()) {
            auto answer = scriptedFolders.front();
            scriptedFolders.pop_front();
            completion(answer);
            return;
        }
        pendingFolderPanels.push_back(std::move(completion));
    }
    // Foreground sheets: answered from the same script, else kept pending until the test answers
    // (an answer to a sheet its owner already ended does nothing).
    void presentSheet(const std::shared_ptr<WindowModel>&, const std::shared_ptr<AlertSheetModel>& sheet) override {
        sheets.push_back(sheet);
        if (!scriptedResponses.empty()) {
            const int response = scriptedResponses.front();
            scriptedResponses.pop_front();
            sheet->respond(response);
            return;
        }
        pendingSheets.push_back([sheet](int response) { sheet->respond(response); });
    }
    bool applicationIsActive() const override { return active; }
    void openURL(const std::string& url) override { openedURLs.push_back(url); }
    void registerServicesProvider() override { events.push_back("registerServicesProvider"); }
    void terminate() override { events.push_back("terminate"); }
    void attachTransferCenter(const std::shared_ptr<FileTransferCenter>& center) override { transferCenter = center; }
    void presentSendDestinationPicker(const std::shared_ptr<SendDestinationPicker::PickerController>& picker) override {
        pickers.push_back(picker);
    }

    std::vector<std::string> events;
    std::vector<HostAction> standardActions;
    std::vector<std::string> openedURLs;
    std::vector<std::shared_ptr<WindowModel>> windows;
    std::shared_ptr<StatusItemModel> statusItem;
    bool statusArea = true;
    std::deque<int> scriptedResponses;
    std::vector<std::function<void(int)>> pendingSheets;
    std::vector<std::shared_ptr<WindowModel>> sheetWindows;  // the window of each alert sheet, in order
    std::shared_ptr<FileTransferCenter> transferCenter;
    std::vector<std::shared_ptr<SendDestinationPicker::PickerController>> pickers;
    struct FolderPanel {
        std::shared_ptr<WindowModel> window;
        FolderPanelModel panel;
    };
    std::vector<FolderPanel> folderPanels;
    std::deque<std::optional<std::filesystem::path>> scriptedFolders;
    std::vector<std::function<void(std::optional<std::filesystem::path>)>> pendingFolderPanels;

    void releaseRecorded() {
        pendingSheets.clear();
        sheetWindows.clear();
        folderPanels.clear();
        pendingFolderPanels.clear();
        pickers.clear();
        transferCenter.reset();
    }
    std::vector<std::shared_ptr<AlertSheetModel>> sheets;  // every foreground sheet, in order
    bool active = true;  // whether the application counts as active

private:
    MainMenu mainMenu_;
};

}  // namespace qm::test
