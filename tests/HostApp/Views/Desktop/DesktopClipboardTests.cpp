// The desktop clipboard under a real X server: what a Viewer copies is what an X client pastes.
#include <gtest/gtest.h>

#include <QApplication>
#include <atomic>
#include <chrono>
#include <optional>
#include <thread>

#include "HostApp/Views/QtPasteboard.h"
#include "QuillmereProfiles/ClipboardSyncBridge.h"
#include "support/TestPlatform.h"
#include "support/VirtualXServer.h"
#include "XPasteClient.h"

namespace qm::test {
namespace DesktopClipboardTests {
namespace {

TEST(DesktopClipboard, ViewerTextReachesAnXClientsPaste) {
    VirtualXServer x;
    if (!x.running()) GTEST_SKIP() << x.reason();
    qputenv("QT_QPA_PLATFORM", "xcb");
    qputenv("DISPLAY", QByteArray::fromStdString(x.name()));
    int argc = 1;
    char name[] = "desktop_views_tests";
    char* argv[] = {name, nullptr};
    QApplication application(argc, argv);

    ManualPlatform platform;
    TemporaryDirectory inbox;
    auto pasteboard = std::make_shared<QtPasteboard>();
    auto bridge = std::make_shared<ClipboardSyncBridge>(platform.platform, "Viewer", pasteboard, 1 << 20, 1 << 20,
                                                        inbox.path());
    const auto countBefore = pasteboard->changeCount();
    ClipboardTransfer transfer;
    transfer.sourceID = "viewer-1";
    transfer.sequence = 1;
    ClipboardTransferItem item;
    item.kind = ClipboardTransferItemKind::text;
    item.text = "Grüße vom Viewer";
    transfer.items.push_back(item);
    bridge->handleRemoteTransfer(transfer);
    EXPECT_EQ(pasteboard->readString(), "Grüße vom Viewer");
    EXPECT_GT(pasteboard->changeCount(), countBefore);

    // The X client's request is served by Qt's loop, which runs here meanwhile.
    std::optional<std::string> pasted;
    std::atomic<bool> done{false};
    std::thread client([&] {
        pasted = pasteFromXClient(x.name());
        done = true;
    });
    EXPECT_TRUE(waitUntil([&] {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        return done.load();
    }, std::chrono::seconds(30)));
    client.join();
    EXPECT_EQ(pasted, "Grüße vom Viewer");
}

}  // namespace
}  // namespace DesktopClipboardTests
}  // namespace qm::test
