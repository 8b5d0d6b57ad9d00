#include "HostApp/Views/QtHostApplication.h"

#include <signal.h>

#include <QApplication>
#include <QTimer>

#include "HostApp/Views/HostIcons.h"
#include "HostApp/Views/QtHostShell.h"
#include "Platform/Views/QtMainQueue.h"
#include "HostApp/Views/QtPasteboard.h"
#include "HostApp/Views/SignalWatcher.h"
#include "QuillmereProfiles/UI/Views/QtTranslations.h"

namespace qm {

struct QtHostApplication::Parts {
    std::unique_ptr<QApplication> application;
    std::shared_ptr<QtMainQueue> mainQueue;
    std::shared_ptr<QtHostShell> shell;
    std::shared_ptr<QtPasteboard> pasteboard;
    std::unique_ptr<SignalWatcher> signalWatcher;
    std::function<void(int)> onSignal;
};

QtHostApplication::QtHostApplication(int& argc, char** argv, bool desktop, std::shared_ptr<const Clock> clock)
    : parts_(std::make_unique<Parts>()) {
    // Before QApplication: its platform starts threads (the X event reader), which must inherit
    // the blocked stop signals so that only the signal fd sees them.
    sigset_t stopSet;
    sigemptyset(&stopSet);
    sigaddset(&stopSet, SIGINT);
    sigaddset(&stopSet, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSet, nullptr);
    if (!desktop) qputenv("QT_QPA_PLATFORM", "offscreen");
    parts_->application = std::make_unique<QApplication>(argc, argv);
    parts_->application->setQuitOnLastWindowClosed(false);
    parts_->application->setApplicationName("QuillmereHost");
    parts_->application->setWindowIcon(hostApplicationIcon());
    parts_->mainQueue = std::make_shared<QtMainQueue>(std::move(clock));
    // Without a desktop no window is shown (nor raised: the offscreen platform only logs that).
    parts_->shell = std::make_shared<QtHostShell>(desktop, parts_->mainQueue);
    if (desktop) parts_->pasteboard = std::make_shared<QtPasteboard>();
    auto* parts = parts_.get();
    parts_->signalWatcher = std::make_unique<SignalWatcher>([parts](int signalNumber) {
        if (parts->onSignal) parts->onSignal(signalNumber);
    });
}

QtHostApplication::~QtHostApplication() {
    // Views and their models go before the application object.
    parts_->signalWatcher.reset();
    parts_->pasteboard.reset();
    parts_->shell.reset();
}

DispatchQueuePtr QtHostApplication::mainQueue() const { return parts_->mainQueue; }
std::shared_ptr<HostShell> QtHostApplication::shell() const { return parts_->shell; }
std::shared_ptr<Pasteboard> QtHostApplication::desktopPasteboard() const { return parts_->pasteboard; }
void QtHostApplication::onStopSignal(std::function<void(int)> handler) { parts_->onSignal = std::move(handler); }

void QtHostApplication::onActivated(std::function<void()> handler) {
    QObject::connect(parts_->application.get(), &QGuiApplication::applicationStateChanged,
                     parts_->application.get(), [handler = std::move(handler)](Qt::ApplicationState state) {
                         if (state == Qt::ApplicationActive && handler) handler();
                     });
}

int QtHostApplication::exec(std::function<void()> block) {
    // Qt's own texts (its dialogs' labels and buttons) in the language the Host's tables show,
    // which by now are configured.
    followApplicationLanguageInQtTexts();
    QTimer::singleShot(0, parts_->application.get(), std::move(block));
    return parts_->application->exec();
}

}  // namespace qm
