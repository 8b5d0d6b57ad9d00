// Takes PNGs of the Host's windows and menus as a user sees them: the summary window (English
// and German), the status menu, the main menu's Host menu, the alerts, the permission
// walk-through's sheets (English and German) and the whole screen. Run it on an X
// display with a window manager (scripts/screenshots starts Xvfb and openbox for it).
//
//   host_screenshots <output folder>
#include <QApplication>
#include <QMenu>
#include <QMenuBar>
#include <QAbstractButton>
#include <QMessageBox>
#include <QPushButton>
#include <QPixmap>
#include <QScreen>
#include <QTimer>
#include <filesystem>

#include "HostApp/Views/AlertSheetView.h"
#include "HostApp/Views/QtHostShell.h"
#include "HostApp/Views/SummaryWindowView.h"
#include "Platform/Core/LogSink.h"
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

    auto shell = std::make_shared<QtHostShell>();
    AppHarness app({}, true, shell);
    LogSink::shared().setWritesStandardError(true);  // the harness quiets it for tests
    app.routes = {{"wifi", "en0", "192.168.1.20"}, {"thunderbolt", "bridge0", "169.254.3.9"}};
    app.hostName = "studio-mac";
    app.launch();
    InMemoryViewer viewer(app.host, app.host.server().boundPorts().control, InMemoryViewer::NotSignedIn{},
                          "169.254.3.200");
    viewer.proveIdentity();
    viewer.signIn(ManualServer::user, ManualServer::password, "Ada's MacBook Pro");
    app.delegate->refresh(true, false);
    app.delegate->showSummaryWindowAction(HostProbeDelegate::Sender::none);
    pump(app, 600);

    bool ok = true;
    auto* view = dynamic_cast<SummaryWindowView*>(shell->widgetFor(app.delegate->summaryWindow.get()));
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
    app.delegate->presentAutoUpdateCountdownWindow({"1.6", "160"});
    app.host.clock().advance(2);
    pump(app, 300);
    if (auto* countdown = shell->widgetFor(app.delegate->autoUpdateCountdownWindow.get())) {
        ok &= save(countdown->grab(), out / "update-countdown.png");
    }
    app.delegate->autoUpdateCountdownWindow->skipUpdate();
    app.delegate->requestOnlineUpdateAction();
    app.answerFeed(QuillmereReleaseFeed{{"9.0", "900"}, {"1.6", "160"}});
    auto progress = app.delegate->onlineUpdateProgressWindow;
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
    auto alert = [&](void (HostProbeDelegate::*present)(), const std::string& name) {
        (app.delegate.get()->*present)();
        pump(app, 300);
        if (auto* box = upSheet(view)) {
            ok &= save(box->grab(), out / name);
            if (!box->buttons().empty()) box->buttons().back()->click();
            pump(app, 100);
        }
    };
    alert(&HostProbeDelegate::presentUpdateCheckFailedAlert, "update-alert-check-failed.png");
    alert(&HostProbeDelegate::presentHostUpToDateAlert, "update-alert-up-to-date.png");
    alert(&HostProbeDelegate::presentAutomaticUpdaterUnavailableAlert, "update-alert-updater-unavailable.png");

    // The detail window with the display controls.
    app.delegate->showDetailWindowAction();
    pump(app, 400);
    if (auto* detail = shell->widgetFor(app.delegate->detailWindow.get())) {
        ok &= save(detail->grab(), out / "detail-window.png");
        app.delegate->detailWindow->close();
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

    // The permission walk-through after an install: the three steps (the second with the
    // feedback of a rejected confirmation) and the completion notice, which closes the window.
    using Step = HostProbeDelegate::InitialInstallOnboardingStep;
    auto onboarding = [&](const std::string& suffix) {
        auto step = [&](Step which, const std::string& name) {
            app.delegate->initialInstallOnboardingStep = which;
            app.delegate->presentInitialInstallOnboardingStep();
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
        app.delegate->initialInstallOnboardingFeedbackMessage = QuillmereL10n::text(
            "host.initialOnboardingMissingScreenRecording",
            "Screen Recording is still disabled. Enable it before confirming installation.");
        step(Step::screenCapture, "onboarding-screen-recording");
        step(Step::confirmation, "onboarding-confirmation");
        app.delegate->presentInitialInstallCompletionCountdown();
        app.host.clock().advance(2);
        pump(app, 400);
        if (auto* notice = upSheet(view)) ok &= save(notice->grab(), out / ("onboarding-complete" + suffix + ".png"));
        app.host.clock().advance(3);
        pump(app, 100);
        app.delegate->showSummaryWindowAction(HostProbeDelegate::Sender::none);
        pump(app, 300);
    };
    onboarding("");

    app.defaultsStore->standard()->set(QuillmereL10n::overrideKey, std::string("de"));
    app.delegate->refreshHostLocalization();
    pump(app, 400);
    ok &= save(view->grab(), out / "summary-window-de.png");
    onboarding("-de");
    return ok ? 0 : 1;
}
