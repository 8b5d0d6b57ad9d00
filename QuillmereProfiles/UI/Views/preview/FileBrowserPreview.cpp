// Shows the file browser over a scratch home folder and a stand-in Host that answers listings,
// with a row checked and a destination chosen, and saves the window as a PNG.
//   qm_file_browser_preview OUTPUT.png [scratch-folder]
#include <QApplication>
#include <QTimer>
#include <QTreeView>
#include <fstream>

#include "Platform/Linux/PosixLocalFolders.h"
#include "Platform/UserDefaults.h"
#include "QuillmereProfiles/UI/FileTransferWindowController.h"
#include "QuillmereProfiles/UI/Views/FileTransferWindow.h"
#include "QuillmereProfiles/UI/Views/FileTreeItemModel.h"
#include "QuillmereProfiles/UI/Views/QtTranslations.h"
#include "Platform/Views/QtMainQueue.h"

using namespace qm;
namespace fs = std::filesystem;

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    const fs::path output = argv[1];
    const fs::path scratch = argc > 2 ? fs::path(argv[2]) : fs::temp_directory_path() / "qm-browser-preview";
    const fs::path home = scratch / "home";
    for (const char* d : {"Desktop", "Documents/Invoices", "Downloads"}) fs::create_directories(home / d);
    for (const auto& [name, size] : std::vector<std::pair<std::string, int>>{
             {"Desktop/holiday.jpg", 2400000}, {"Desktop/notes.txt", 1800}, {"Desktop/plan.pdf", 340000}}) {
        std::ofstream(home / name) << std::string(static_cast<std::size_t>(size), 'x');
    }

    QApplication app(argc, argv);
    // Qt's own texts in the language the tables show, as in every process with a window.
    followApplicationLanguageInQtTexts();
    auto main = std::make_shared<QtMainQueue>();
    FileTransferWindowController::ListingHandler listing;
    FileTransferWindowController::Dependencies deps;
    deps.sendPacket = [](const FileTransferPacket&) {};
    deps.setDirectoryListingHandler = [&](FileTransferWindowController::ListingHandler h) { listing = std::move(h); };
    deps.requestDirectoryListing = [&](const std::string& path) {
        const auto id = UUID::random();
        main->async([&listing, id, path] {
            if (path == "~")
                listing(id, "/Users/studio",
                        {{"Projects", true, 0, std::nullopt},
                         {"Music", true, 0, std::nullopt},
                         {"todo.md", false, 912, 1.76e9},
                         {"render.mov", false, 734003200, 1.75e9}});
        });
        return id;
    };
    deps.sendFiles = [](auto&&...) { return std::optional<UUID>(); };
    deps.requestPeerSend = [](auto&&...) { return std::optional<UUID>(); };
    deps.localDeviceName = [] { return std::string("Laptop"); };
    deps.connectedPeers = [] {
        return std::vector<FileTransferWindowController::Peer>{{"studio", "Studio"}, {"den", "Den"}};
    };
    deps.openFileTransferForPeer = [](const std::string&) { return false; };

    auto folders = std::make_shared<PosixLocalFolders>(home);
    auto controller = FileTransferWindowController::make(deps, {main, folders, std::make_shared<InMemoryUserDefaults>()});
    FileTransferWindow window(controller);
    controller->show();
    window.leftTree()->expand(window.leftModel()->index(0, 0));

    int exitCode = 1;
    QTimer::singleShot(300, [&] {
        window.rightTree()->expand(window.rightModel()->index(0, 0));
        QTimer::singleShot(300, [&] {
            auto* left = window.leftModel();
            const auto desktop = left->index(0, 0);
            left->setData(left->index(0, 0, desktop), Qt::Checked, Qt::CheckStateRole);
            left->setData(left->index(2, 0, desktop), Qt::Checked, Qt::CheckStateRole);
            const auto home = window.rightModel()->index(0, 0);
            window.rightTree()->setCurrentIndex(window.rightModel()->index(0, 0, home));
            QTimer::singleShot(300, [&] {
                exitCode = window.grab().save(QString::fromStdString(output.string())) ? 0 : 1;
                app.quit();
            });
        });
    });
    app.exec();
    return exitCode;
}
