// Takes PNGs of the Host's windows and menus as a user sees them: the summary window (English,
// German, and Japanese with five addresses), the status item on a dark and on a light tray
// panel, the status menu, the main menu's Host menu, the detail window, the About panel, the
// update windows and alerts, the quit question, the progress window with four transfers and with
// long names (also in German, Japanese and French), the folder chooser (in the same languages),
// the send destination picker, the conflict alert, the permission
// walk-through's sheets and the whole screen. Run it on an X display with a window manager
// (scripts/screenshots starts Xvfb and openbox for it; the tray is `trayer`).
//
// The windows show this build's version and the machine's own addresses. The Japanese picture
// uses a fixed set of five documentation addresses (192.0.2.0/24, 198.51.100.0/24,
// 203.0.113.0/24 and the fd00::/8 private range) so that it shows a long list on any machine;
// the signed-in Viewer is an in-memory one ("Ada's MacBook Pro").
//
//   host_screenshots <output folder>
#include <QApplication>
#include <QFileDialog>
#include <QMenu>
#include <QMenuBar>
#include <QAbstractButton>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QPixmap>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QTimer>
#include <filesystem>
#include <fstream>

#include "HostApp/Delivery/FileTransferConflictResolver.h"
#include "HostApp/Delivery/HostFileDelivery.h"
#include "HostApp/Views/AlertSheetView.h"
#include <unistd.h>

#include "HostApp/Views/HostIcons.h"
#include "HostApp/Views/QtHostShell.h"
#include "HostApp/Delivery/SendFilesService.h"
#include "HostApp/Views/SummaryWindowView.h"
#include "QuillmereProfiles/FileTransferService.h"
#include "QuillmereProfiles/UI/Views/SendDestinationPickerView.h"
#include "Platform/Core/LogSink.h"
#include "QuillmereProfiles/QuillmereDiscovery.h"
#include "support/AppHarness.h"

namespace {

void pump(qm::test::AppHarness& app, int milliseconds) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (std::chrono::steady_clock::now() < until) {
        app.host.clock().runUntilIdle();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
}

// The sheet of a window that is up (an ended one may wait for its deferred deletion).
qm::AlertSheetView* upSheet(QWidget* window) {
    for (auto* sheet : window->findChildren<qm::AlertSheetView*>()) {
        if (sheet->isVisible()) return sheet;
    }
    return nullptr;
}

bool save(const QPixmap& pixmap, const std::filesystem::path& file) {
    const bool saved = pixmap.save(QString::fromStdString(file.string()), "PNG");
    qm::logLine(std::string(saved ? "wrote " : "could not write ") + file.string());
    return saved;
}

// The progress window with four transfers: one being sent, one waiting to arrive into a named
// folder, one cancelled and one whose delivery the user stopped.
bool saveTransfers(qm::test::AppHarness& app, qm::QtHostShell& shell, const std::filesystem::path& file) {
    using namespace qm;
    using L10n = QuillmereL10n;
    auto& center = *app.delegate->files().fileTransferCenter;
    for (auto row : std::vector<FileTransferCenter::TaskRowPtr>(center.stack())) center.removeTask(row->batchID);
    app.host.clock().runUntilIdle();
    const UUID sending = UUID::random();
    const UUID stopped = UUID::random();
    center.addTask({sending, FileTransferDirection::outgoing, "Viewer", 1, 48'200'000, {"Holiday video.mov"}}, {});
    const UUID waiting = UUID::random();
    const UUID halted = UUID::random();
    center.addTask({waiting, FileTransferDirection::incoming, "Viewer", 3, 0, {}}, {});
    center.addTask({stopped, FileTransferDirection::incoming, "Viewer", 2, 734'003, {"Budget.numbers", "Notes.txt"}}, {});
    center.addTask({halted, FileTransferDirection::incoming, "Viewer", 4, 2'310'000, {"Photos"}}, {});
    center.setSubtitle(waiting, L10n::format("fileTransfer.center.savingTo", "Saving to %@…", "Downloads"));
    center.failTask(halted, L10n::format("fileTransfer.center.stopped", "Stopped after saving %d item(s)", 2));
    center.updateProgress(sending, 19'650'000, 48'200'000);
    center.updateProgress(stopped, 301'000, 734'003);
    app.host.clock().runUntilIdle();
    if (auto row = center.row(stopped)) row->didCancel();
    pump(app, 400);
    QWidget* window = shell.transferCenterWidget();
    return window && save(window->grab(), file);
}

// Rows whose names are long or whose line is long in a language: a file arriving into a named
// folder, one saved there, one saved into a folder with a long name, and a sent file with a long
// name. The names are shortened to fit, the rest of each line stays.
bool saveTransferNames(qm::test::AppHarness& app, qm::QtHostShell& shell, const std::filesystem::path& file) {
    using namespace qm;
    using L10n = QuillmereL10n;
    auto& center = *app.delegate->files().fileTransferCenter;
    for (auto row : std::vector<FileTransferCenter::TaskRowPtr>(center.stack())) center.removeTask(row->batchID);
    app.host.clock().runUntilIdle();
    const std::string report = "Quarterly report for the board meeting (final, with comments).pdf";
    const UUID arriving = UUID::random();
    const UUID saved = UUID::random();
    const UUID savedLong = UUID::random();
    const UUID sending = UUID::random();
    center.addTask({arriving, FileTransferDirection::incoming, "Viewer", 1, 0, {report}}, {});
    center.addTask({saved, FileTransferDirection::incoming, "Viewer", 1, 1'200'000, {"Budget.numbers"}}, {});
    center.addTask({savedLong, FileTransferDirection::incoming, "Viewer", 3, 5'400'000, {}}, {});
    center.addTask({sending, FileTransferDirection::outgoing, "Viewer", 1, 48'200'000, {"Holiday video from the lake, first week of August.mov"}}, {});
    center.setSubtitle(arriving, L10n::format("fileTransfer.center.savingTo", "Saving to %@…", "Downloads"));
    center.completeTask(saved, L10n::format("fileTransfer.center.savedTo", "Saved %d item(s) to %@", 1, "Downloads"), 60);
    center.completeTask(savedLong,
                        L10n::format("fileTransfer.center.savedTo", "Saved %d item(s) to %@", 3,
                                     "Photos from the spring conference in Lyon and the trip after it"),
                        60);
    center.updateProgress(sending, 19'650'000, 48'200'000);
    pump(app, 400);
    QWidget* window = shell.transferCenterWidget();
    return window && save(window->grab(), file);
}

// The folder chooser that asks where a received batch goes, as delivery shows it over the File
// Transfers window: Qt's own dialog in the Host's language, opening at home.
bool saveFolderChooser(qm::test::AppHarness& app, const std::filesystem::path& file) {
    using namespace qm;
    for (const char* folder : {"Desktop", "Documents", "Downloads", "Pictures", "Projects from the spring conference"}) {
        std::filesystem::create_directories(app.environment.homeDirectory / folder);
    }
    auto close = app.delegate->files().fileDelivery->pickSaveLocation(
        UUID::random(), std::nullopt, [](std::filesystem::path) {}, [] {});
    pump(app, 600);
    QFileDialog* chooser = nullptr;
    for (auto* widget : QApplication::allWidgets()) {
        if (auto* found = qobject_cast<QFileDialog*>(widget); found && found->isVisible()) chooser = found;
    }
    const bool saved = chooser && save(chooser->grab(), file);
    if (close) close();
    pump(app, 200);
    return saved;
}

// The destination picker for three files, with the Viewer's home folder listed.
bool savePicker(qm::test::AppHarness& app, qm::QtHostShell& shell, qm::test::InMemoryViewer& viewer,
                const std::vector<std::filesystem::path>& files, const std::filesystem::path& file) {
    using namespace qm;
    app.delegate->handleSendFilesRequest(files);
    pump(app, 300);
    auto picker = app.delegate->files().sendFilesService->activePicker();
    auto* view = dynamic_cast<SendDestinationPickerView*>(shell.sendDestinationPickerWidget());
    if (!picker || !view) return false;
    viewer.takeAll();
    picker->selectFolder(picker->roots()[1]);  // Home (the remembered folder leads)
    app.host.clock().runUntilIdle();
    // The Viewer answers the listing request it was sent.
    std::optional<UUID> request;
    for (const auto& frame : viewer.takeAll()) {
        if (frame.header.type != AuxPacketType::fileTransfer) continue;
        auto packet = FileTransferPacket::decode(frame.payload);
        if (packet && packet->op == FileTransferOp::listDir) request = packet->batchID;
    }
    if (request) {
        std::vector<RemoteDirectoryEntry> entries;
        for (const char* name : {"Applications", "Desktop", "Documents", "Downloads", "Movies", "Music", "Projects"}) {
            entries.push_back({name, true, 0, std::nullopt});
        }
        entries.push_back({"notes.txt", false, 120, std::nullopt});
        app.delegate->fileTransferService()->handleIncomingPacket(
            FileTransferPacket{FileTransferOp::listDirReply, *request, 0, 0, "/Users/ada",
                               FileTransferDocuments::encodeListing(entries)});
    }
    pump(app, 400);
    const bool saved = save(view->grab(), file);
    picker->pressCancel();
    pump(app, 200);
    return saved && request.has_value();
}

}  // namespace

int main(int argc, char** argv) {
    using namespace qm;
    using namespace qm::test;
    if (argc < 2) {
        logLine("usage: host_screenshots <output folder>");
        return 2;
    }
    const std::filesystem::path out = argv[1];
    std::filesystem::create_directories(out);
    QApplication application(argc, argv);
    application.setQuitOnLastWindowClosed(false);
    application.setApplicationName("QuillmereHost");
    application.setWindowIcon(hostApplicationIcon());

    auto shell = std::make_shared<QtHostShell>();
    AppHarness app({}, true, shell);
    LogSink::shared().setWritesStandardError(true);  // the harness quiets it for tests
    // This build and this machine.
    app.environment.bundle = HostBundleInfo::current();
    app.routes = QuillmereDiscovery::localRouteRecords();
    if (app.routes.empty()) app.routes = {{"ethernet", "eth0", "192.0.2.10"}};
    char machine[256] = {};
    if (::gethostname(machine, sizeof machine - 1) == 0 && machine[0]) app.hostName = machine;
    app.launch();
    InMemoryViewer viewer(app.host, app.host.server().boundPorts().control, InMemoryViewer::NotSignedIn{},
                          "169.254.3.200");
    viewer.proveIdentity();
    viewer.signIn(ManualServer::user, ManualServer::password, "Ada's MacBook Pro");
    app.delegate->details().refresh(true, false);
    app.delegate->showSummaryWindowAction(HostProbeDelegate::Sender::none);
    pump(app, 600);

    bool ok = true;
    auto* view = dynamic_cast<SummaryWindowView*>(shell->widgetFor(app.delegate->status().summaryWindow.get()));
    if (!view) return 1;
    ok &= save(view->grab(), out / "summary-window.png");
    if (QScreen* screen = QGuiApplication::primaryScreen()) ok &= save(screen->grabWindow(0), out / "screen.png");

    if (QMenu* menu = shell->statusMenuWidget()) {
        menu->popup(QPoint(40, 40));
        pump(app, 400);
        ok &= save(menu->grab(), out / "status-menu.png");
        menu->hide();
    }
    if (auto* bar = view->findChild<QMenuBar*>(); bar && bar->actions().size() > 1) {
        QMenu* hostMenu = bar->actions()[1]->menu();
        hostMenu->popup(view->mapToGlobal(QPoint(40, 20)));
        pump(app, 400);
        ok &= save(hostMenu->grab(), out / "main-menu-host.png");
        hostMenu->hide();
    }

    // The update windows: the countdown, the progress window at each stage, and the alerts.
    app.delegate->updates().presentAutoUpdateCountdownWindow({"1.6", "160"});
    app.host.clock().advance(2);
    pump(app, 300);
    if (auto* countdown = shell->widgetFor(app.delegate->updates().autoUpdateCountdownWindow.get())) {
        ok &= save(countdown->grab(), out / "update-countdown.png");
    }
    app.delegate->updates().autoUpdateCountdownWindow->skipUpdate();
    app.delegate->requestOnlineUpdateAction();
    app.answerFeed(QuillmereReleaseFeed{{"9.0", "900"}, {"1.6", "160"}});
    auto progress = app.delegate->updates().onlineUpdateProgressWindow;
    const std::map<std::string, std::string> target{{"targetVersion", "1.6"}, {"targetBuild", "160"}};
    auto stage = [&](const std::string& state, std::map<std::string, std::string> fields, const std::string& name) {
        if (!state.empty()) app.updater.report(progress->request.identifier, state, std::move(fields));
        app.host.clock().advance(0.5);
        pump(app, 300);
        if (auto* widget = shell->widgetFor(progress.get())) ok &= save(widget->grab(), out / name);
    };
    stage("", {}, "update-progress-waiting.png");
    stage("downloading", target, "update-progress-downloading.png");
    stage("installing", target, "update-progress-installing.png");
    auto installed = target;
    installed["installedVersion"] = "1.6";
    installed["installedBuild"] = "160";
    stage("completed", installed, "update-progress-completed.png");
    auto alert = [&](void (UpdateController::*present)(), const std::string& name) {
        (app.delegate->updates().*present)();
        pump(app, 300);
        if (auto* box = upSheet(view)) {
            ok &= save(box->grab(), out / name);
            if (!box->buttons().empty()) box->buttons().back()->click();
            pump(app, 100);
        }
    };
    alert(&UpdateController::presentUpdateCheckFailedAlert, "update-alert-check-failed.png");
    alert(&UpdateController::presentHostUpToDateAlert, "update-alert-up-to-date.png");
    alert(&UpdateController::presentAutomaticUpdaterUnavailableAlert, "update-alert-updater-unavailable.png");

    // The detail window with the display controls.
    app.delegate->showDetailWindowAction();
    pump(app, 400);
    if (auto* detail = shell->widgetFor(app.delegate->details().detailWindow.get())) {
        ok &= save(detail->grab(), out / "detail-window.png");
        app.delegate->details().detailWindow->close();
        pump(app, 100);
    }

    // The quit question as a sheet on the summary window, then "Keep Running".
    app.delegate->requestQuitMenuAction();
    pump(app, 400);
    if (auto* box = upSheet(view)) {
        ok &= save(box->grab(), out / "quit-question.png");
        for (auto* button : box->buttons()) {
            if (button->text() == "Keep Running") button->click();
        }
        pump(app, 200);
    }

    // The progress window and the destination picker (a remembered choice fills its path).
    const auto files = out / "files";
    std::filesystem::create_directories(files);
    std::vector<std::filesystem::path> toSend;
    for (const char* name : {"Budget.numbers", "Notes.txt", "Holiday video.mov"}) {
        toSend.push_back(files / name);
        std::ofstream(toSend.back()) << name;
    }
    SendDestinationMemory::remember(*app.defaultsStore->standard(),
                                    {{"viewer", "Ada's MacBook Pro", std::nullopt}, "~/Documents/Projects", true});
    ok &= saveTransfers(app, *shell, out / "transfers-window.png");
    ok &= saveTransferNames(app, *shell, out / "transfers-names.png");
    ok &= saveFolderChooser(app, out / "folder-chooser.png");
    ok &= savePicker(app, *shell, viewer, toSend, out / "send-destination-picker.png");
    // The conflict alert of file delivery as a sheet on the File Transfers window (as delivery
    // shows it, with the batch's row behind it), answered Keep Both; also the whole screen.
    auto conflictAlert = [&](bool backupEnabled, const std::string& name) {
        const FileTransferConflictAlert::Info info{"Quarterly Report.pdf", 2'418'000, 1'764'950'400.0,
                                                   2'655'300,              1'765'040'700.0, 2};
        auto& center = *app.delegate->files().fileTransferCenter;
        for (auto row : std::vector<FileTransferCenter::TaskRowPtr>(center.stack())) center.removeTask(row->batchID);
        app.host.clock().runUntilIdle();
        center.addTask({UUID::random(), FileTransferDirection::incoming, "Viewer", 3, 7'728'300,
                        {"Quarterly Report.pdf", "Summary.key", "Figures.csv"}},
                       {});
        // The update progress window of the pictures before stays up; out of the way here.
        if (auto progressWindow = app.delegate->updates().onlineUpdateProgressWindow) {
            if (auto* widget = shell->widgetFor(progressWindow.get())) widget->hide();
        }
        // The row came a moment before the conflict, as a batch's start does.
        pump(app, 300);
        auto parent = app.delegate->files().fileDelivery->rows->foregroundPresentationWindow();
        FileTransferConflictAlert::present(*shell, info, parent, backupEnabled, [](FileTransferConflictChoice, bool) {});
        pump(app, 400);
        QWidget* transfers = shell->transferCenterWidget();
        if (auto* box = transfers ? transfers->findChild<QMessageBox*>() : nullptr) {
            ok &= save(box->grab(), out / (name + ".png"));
            if (QScreen* screen = QGuiApplication::primaryScreen()) {
                ok &= save(screen->grabWindow(0), out / (name + "-screen.png"));
            }
            box->buttons().first()->click();
            pump(app, 100);
        } else {
            qm::logLine("the conflict alert is not a sheet of the File Transfers window");
            ok = false;
        }
        for (auto row : std::vector<FileTransferCenter::TaskRowPtr>(center.stack())) center.removeTask(row->batchID);
        pump(app, 100);
    };
    conflictAlert(false, "conflict-alert");
    // Two conflict questions up at once on the File Transfers window (the later one moved aside),
    // then the folder panel with a question over it: each is a sheet of the window that takes
    // its own clicks. The whole screen each time.
    {
        auto& center = *app.delegate->files().fileTransferCenter;
        center.addTask({UUID::random(), FileTransferDirection::incoming, "Viewer", 2, 4'000'000,
                        {"Quarterly Report.pdf", "Figures.csv"}},
                       {});
        pump(app, 300);
        auto parent = app.delegate->files().fileDelivery->rows->foregroundPresentationWindow();
        QWidget* transfers = shell->transferCenterWidget();
        auto up = [&] {
            std::vector<QWidget*> sheets;
            for (auto* widget : transfers->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
                if (widget->isWindow() && widget->isVisible()) sheets.push_back(widget);
            }
            return sheets;
        };
        for (const char* name : {"Quarterly Report.pdf", "Figures.csv"}) {
            FileTransferConflictAlert::present(*shell, {name, 2'418'000, std::nullopt, 2'655'300, std::nullopt, 0}, parent,
                                               false, [](FileTransferConflictChoice, bool) {});
            pump(app, 300);
        }
        auto sheets = up();
        if (sheets.size() == 2) {
            sheets[1]->move(sheets[0]->frameGeometry().right() + 24, sheets[0]->y());
            pump(app, 300);
            if (QScreen* screen = QGuiApplication::primaryScreen()) {
                ok &= save(screen->grabWindow(0), out / "conflict-questions-screen.png");
            }
        } else {
            qm::logLine("two conflict questions are not both up on the File Transfers window");
            ok = false;
        }
        for (auto* box : transfers->findChildren<QMessageBox*>()) {
            if (box->isVisible()) box->buttons().first()->click();
        }
        pump(app, 100);
        FolderPanelModel panel{"Choose Save Location", "Save Here", ""};
        panel.directory = app.environment.homeDirectory;
        auto closePanel = shell->beginFolderPanel(parent, panel, [](std::optional<std::filesystem::path>) {});
        pump(app, 300);
        FileTransferConflictAlert::present(*shell, {"Figures.csv", 2'418'000, std::nullopt, 2'655'300, std::nullopt, 0},
                                           parent, false, [](FileTransferConflictChoice, bool) {});
        pump(app, 300);
        sheets = up();
        if (sheets.size() == 2) {
            // Beside the panel where the screen has room, else over its edge: whole either way.
            const int right = QGuiApplication::primaryScreen()->availableGeometry().right();
            sheets[1]->move(std::min(sheets[0]->frameGeometry().right() + 24, right - sheets[1]->frameGeometry().width()),
                            sheets[0]->y() + 120);
            pump(app, 300);
            if (QScreen* screen = QGuiApplication::primaryScreen()) {
                ok &= save(screen->grabWindow(0), out / "folder-panel-and-question-screen.png");
            }
        }
        for (auto* box : transfers->findChildren<QMessageBox*>()) {
            if (box->isVisible()) box->buttons().first()->click();
        }
        closePanel();
        for (auto row : std::vector<FileTransferCenter::TaskRowPtr>(center.stack())) center.removeTask(row->batchID);
        pump(app, 100);
    }
    // The permission walk-through after an install: the three steps (the second with the
    // feedback of a rejected confirmation) and the completion notice, which closes the window.
    using Step = HostProbeDelegate::InitialInstallOnboardingStep;
    auto onboarding = [&](const std::string& suffix) {
        auto step = [&](Step which, const std::string& name) {
            app.delegate->permissions().initialInstallOnboardingStep = which;
            app.delegate->permissions().presentInitialInstallOnboardingStep();
            pump(app, 400);
            if (auto* sheet = upSheet(view)) {
                ok &= save(sheet->grab(), out / (name + suffix + ".png"));
                if (which == Step::accessibility) {
                    if (QScreen* screen = QGuiApplication::primaryScreen()) {
                        ok &= save(screen->grabWindow(0), out / ("onboarding-screen" + suffix + ".png"));
                    }
                }
                sheet->reject();
                pump(app, 100);
            }
        };
        step(Step::accessibility, "onboarding-accessibility");
        app.delegate->permissions().initialInstallOnboardingFeedbackMessage = QuillmereL10n::text(
            "host.initialOnboardingMissingScreenRecording",
            "Screen Recording is still disabled. Enable it before confirming installation.");
        step(Step::screenCapture, "onboarding-screen-recording");
        step(Step::confirmation, "onboarding-confirmation");
        app.delegate->permissions().presentInitialInstallCompletionCountdown();
        app.host.clock().advance(2);
        pump(app, 400);
        if (auto* notice = upSheet(view)) ok &= save(notice->grab(), out / ("onboarding-complete" + suffix + ".png"));
        app.host.clock().advance(3);
        pump(app, 100);
        app.delegate->showSummaryWindowAction(HostProbeDelegate::Sender::none);
        pump(app, 300);
    };
    onboarding("");
    // The About panel.
    app.delegate->showAboutPanelAction();
    pump(app, 400);
    if (auto* about = shell->widgetFor(app.delegate->status().aboutPanel.get())) {
        ok &= save(about->grab(), out / "about-panel.png");
        app.delegate->status().aboutPanel->close();
        pump(app, 100);
    }

    app.defaultsStore->standard()->set(QuillmereL10n::overrideKey, std::string("de"));
    app.delegate->refreshHostLocalization();
    pump(app, 400);
    ok &= save(view->grab(), out / "summary-window-de.png");
    ok &= saveTransfers(app, *shell, out / "transfers-window-de.png");
    ok &= saveTransferNames(app, *shell, out / "transfers-names-de.png");
    ok &= saveFolderChooser(app, out / "folder-chooser-de.png");
    ok &= savePicker(app, *shell, viewer, toSend, out / "send-destination-picker-de.png");
    std::filesystem::remove_all(files);
    conflictAlert(true, "conflict-alert-de");
    onboarding("-de");
    app.delegate->showDetailWindowAction();
    pump(app, 400);
    if (auto* detail = shell->widgetFor(app.delegate->details().detailWindow.get())) {
        ok &= save(detail->grab(), out / "detail-window-de.png");
        app.delegate->details().detailWindow->close();
    }

    // Japanese, with the five documentation addresses.
    app.routes = {{"wifi", "en0", "192.0.2.10"},          {"ethernet", "en1", "198.51.100.24"},
                  {"thunderbolt", "bridge0", "169.254.3.9"}, {"wifi", "en2", "203.0.113.77"},
                  {"ethernet", "en3", "fd00:1234:5678::42"}};
    app.defaultsStore->standard()->set(QuillmereL10n::overrideKey, std::string("ja"));
    app.delegate->refreshHostLocalization();
    app.delegate->details().refresh(false, false);
    pump(app, 400);
    ok &= save(view->grab(), out / "summary-window-ja.png");
    app.delegate->requestQuitMenuAction();
    pump(app, 400);
    if (auto* box = upSheet(view)) {
        ok &= save(box->grab(), out / "quit-question-ja.png");
        box->buttons().back()->click();  // "Keep Running"
        pump(app, 200);
    }
    ok &= saveTransfers(app, *shell, out / "transfers-window-ja.png");
    ok &= saveTransferNames(app, *shell, out / "transfers-names-ja.png");
    ok &= saveFolderChooser(app, out / "folder-chooser-ja.png");
    app.defaultsStore->standard()->set(QuillmereL10n::overrideKey, std::string("fr"));
    app.delegate->refreshHostLocalization();
    pump(app, 200);
    ok &= saveTransfers(app, *shell, out / "transfers-window-fr.png");
    ok &= saveTransferNames(app, *shell, out / "transfers-names-fr.png");
    ok &= saveFolderChooser(app, out / "folder-chooser-fr.png");
    app.defaultsStore->standard()->set(QuillmereL10n::overrideKey, std::string("en"));
    app.delegate->refreshHostLocalization();
    pump(app, 200);

    // The status item in a tray panel, dark and then light, as the panel shows it (top right).
    app.delegate->status().summaryWindow->close();
    pump(app, 200);
    using Panel = std::pair<QString, std::string>;
    for (const auto& [tint, name] :
         std::initializer_list<Panel>{{"0x202124", "tray-dark.png"}, {"0xf3f3f3", "tray-light.png"}}) {
        QProcess tray;
        tray.start("trayer", {"--edge", "top", "--align", "right", "--widthtype", "pixel", "--width", "160",
                              "--height", "32", "--transparent", "true", "--alpha", "0", "--tint", tint,
                              "--SetDockType", "true", "--expand", "true"});
        if (!tray.waitForStarted(5000)) {
            logLine("trayer could not start: no tray pictures");
            ok = false;
            break;
        }
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!QSystemTrayIcon::isSystemTrayAvailable() && std::chrono::steady_clock::now() < until) pump(app, 100);
        // The icon joins the panel that just appeared.
        if (auto* icon = shell->trayIcon()) {
            icon->hide();
            icon->show();
        }
        pump(app, 1200);
        if (QScreen* screen = QGuiApplication::primaryScreen()) {
            const int width = screen->geometry().width();
            ok &= save(screen->grabWindow(0, width - 160, 0, 160, 32), out / name);
        }
        tray.terminate();
        tray.waitForFinished(3000);
        pump(app, 300);
    }
    return ok ? 0 : 1;
}
