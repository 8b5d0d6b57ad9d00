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
    ~RecordingHostShell() override;
    void installMainMenu(const MainMenu& mainMenu) override;
    const MainMenu& mainMenu() const override;
    void showStatusItem(const std::shared_ptr<StatusItemModel>& item) override;
    bool hasStatusArea() const override;
    void attachWindow(const std::shared_ptr<WindowModel>& window) override;
    void activateIgnoringOtherApps() override;
    void performStandardAction(HostAction action) override;
    void beginSheet(const std::shared_ptr<WindowModel>& window, const AlertModel& alert,
                    std::function<void(int)> completion) override;
    // Answered from `scriptedFolders` (nothing there: cancelled), else kept in `pendingFolderPanels`
    // (an answer to a panel that was closed, or answered already, does nothing).
    std::function<void()> beginFolderPanel(const std::shared_ptr<WindowModel>& window, const FolderPanelModel& panel,
                                           std::function<void(std::optional<std::filesystem::path>)> completion) override;
    // Foreground sheets: answered from the same script, else kept pending until the test answers
    // (an answer to a sheet its owner already ended does nothing).
    void presentSheet(const std::shared_ptr<WindowModel>&, const std::shared_ptr<AlertSheetModel>& sheet) override;
    bool applicationIsActive() const override;
    void openURL(const std::string& url) override;
    void registerServicesProvider() override;
    void terminate() override;
    void attachTransferCenter(const std::shared_ptr<FileTransferCenter>& center) override;
    void presentSendDestinationPicker(const std::shared_ptr<SendDestinationPicker::PickerController>& picker) override;

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
        std::shared_ptr<bool> open = std::make_shared<bool>(true);  // neither answered nor closed
        bool closed = false;                                         // closed by its owner
    };
    std::size_t openFolderPanelCount() const;
    std::vector<FolderPanel> folderPanels;
    std::deque<std::optional<std::filesystem::path>> scriptedFolders;
    std::vector<std::function<void(std::optional<std::filesystem::path>)>> pendingFolderPanels;

    void releaseRecorded();
    std::vector<std::shared_ptr<AlertSheetModel>> sheets;  // every foreground sheet, in order
    bool active = true;  // whether the application counts as active

private:
    MainMenu mainMenu_;
};

}  // namespace qm::test
