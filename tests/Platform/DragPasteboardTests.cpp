// The files of the user's drag: the URI list a drag source offers, and the X11 reader against a
// real X server with a drag source that owns the drag selection.
#include <gtest/gtest.h>

#include <poll.h>

#include <atomic>
#include <future>
#include <thread>

#include "Platform/DragPasteboard.h"
#include "Platform/Linux/X11DragPasteboard.h"
#include "support/TestPlatform.h"
#include "support/VirtualXServer.h"

// Last: Xlib defines macros (None, Bool, Status) that clash with other headers.
#include <X11/Xatom.h>
#include <X11/Xlib.h>

namespace DragPasteboardTests {

using namespace qm;
namespace fs = std::filesystem;

namespace {

using Paths = std::vector<fs::path>;

// A drag source as file managers are: it owns "XdndSelection" and answers "text/uri-list"
// conversions with `list`, on a thread of its own, until it goes away.
class XdndSource {
public:
    XdndSource(const std::string& display, std::string list) : list_(std::move(list)) {
        display_ = XOpenDisplay(display.c_str());
        if (!display_) return;
        window_ = XCreateSimpleWindow(display_, DefaultRootWindow(display_), 0, 0, 1, 1, 0, 0, 0);
        selection_ = XInternAtom(display_, "XdndSelection", False);
        uriList_ = XInternAtom(display_, "text/uri-list", False);
        XSetSelectionOwner(display_, selection_, window_, CurrentTime);
        XSync(display_, False);
        owned_ = XGetSelectionOwner(display_, selection_) == window_;
        thread_ = std::thread([this] { serve(); });
    }
    ~XdndSource() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        if (display_) XCloseDisplay(display_);
    }
    bool owns() const { return owned_; }
    // The drop: the source gives the selection up.
    void release() { releasing_ = true; }
    int answered() const { return answered_; }

private:
    void serve() {
        while (!stop_) {
            if (releasing_.exchange(false)) {
                XSetSelectionOwner(display_, selection_, None, CurrentTime);
                XFlush(display_);
            }
            while (XPending(display_)) {
                XEvent event;
                XNextEvent(display_, &event);
                if (event.type != SelectionRequest) continue;
                const auto& request = event.xselectionrequest;
                XEvent reply{};
                reply.xselection.type = SelectionNotify;
                reply.xselection.requestor = request.requestor;
                reply.xselection.selection = request.selection;
                reply.xselection.target = request.target;
                reply.xselection.time = request.time;
                reply.xselection.property = None;
                if (request.target == uriList_) {
                    XChangeProperty(display_, request.requestor, request.property, uriList_, 8, PropModeReplace,
                                    reinterpret_cast<const unsigned char*>(list_.data()), static_cast<int>(list_.size()));
                    reply.xselection.property = request.property;
                }
                XSendEvent(display_, request.requestor, False, 0, &reply);
                XFlush(display_);
                ++answered_;
            }
            pollfd descriptor{ConnectionNumber(display_), POLLIN, 0};
            ::poll(&descriptor, 1, 20);
        }
    }

    std::string list_;
    Display* display_ = nullptr;
    ::Window window_ = 0;
    Atom selection_ = 0;
    Atom uriList_ = 0;
    bool owned_ = false;
    std::atomic<bool> stop_{false};
    std::atomic<bool> releasing_{false};
    std::atomic<int> answered_{0};
    std::thread thread_;
};

Paths readOnce(DragPasteboard& drag) {
    std::promise<Paths> answer;
    auto future = answer.get_future();
    drag.readDraggedFiles([&answer](Paths files) { answer.set_value(std::move(files)); });
    EXPECT_EQ(future.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    return future.get();
}

}  // namespace

TEST(DragURIList, LocalFileURIsArePercentDecodedAndEverythingElseIsSkipped) {
    const std::string list =
        "# dragged from a file manager\r\n"
        "file:///home/alice/Reports/Q3%20summary.pdf\r\n"
        "FILE://localhost/home/alice/caf%C3%A9.txt\r\n"
        "file:/home/alice/plain\n"
        "\r\n"
        "  file:///home/alice/indented.txt  \r\n"
        "http://example.com/page.html\r\n"
        "file://otherhost/home/alice/remote.txt\r\n"
        "file://localhostile/home/alice/not-local.txt\r\n"
        "file:///home/alice/bad%2escape%zz\r\n"
        "file:///home/alice/cut%2\r\n"
        "file:///home/alice/nul%00name\r\n"
        "file://\r\n"
        "file:relative/path\r\n"
        "file:///home/alice/last";
    EXPECT_EQ(localFilesFromURIList(list),
              (Paths{"/home/alice/Reports/Q3 summary.pdf", "/home/alice/café.txt", "/home/alice/plain",
                     "/home/alice/indented.txt", "/home/alice/last"}));
    EXPECT_TRUE(localFilesFromURIList("").empty());
    EXPECT_TRUE(localFilesFromURIList("\r\n\r\n# nothing\r\n").empty());

    std::string many;
    for (std::size_t i = 0; i < DragPasteboard::maximumFiles + 10; ++i) many += "file:///tmp/f" + std::to_string(i) + "\r\n";
    const auto cut = localFilesFromURIList(many);
    ASSERT_EQ(cut.size(), DragPasteboard::maximumFiles);
    EXPECT_EQ(cut.back(), fs::path("/tmp/f" + std::to_string(DragPasteboard::maximumFiles - 1)));
}

TEST(X11DragPasteboard, TheFilesOfTheDragInProgressAreReadUntilItsSourceLetsGo) {
    test::VirtualXServer server;
    if (!server.running()) GTEST_SKIP() << server.reason();
    auto drag = X11DragPasteboard::open(server.name());
    ASSERT_TRUE(drag);
    EXPECT_TRUE(readOnce(*drag).empty()) << "no drag, no files";

    XdndSource source(server.name(), "file:///home/alice/one.txt\r\nfile:///home/alice/two%20words.txt\r\n");
    ASSERT_TRUE(source.owns());
    EXPECT_EQ(readOnce(*drag), (Paths{"/home/alice/one.txt", "/home/alice/two words.txt"}));
    EXPECT_EQ(readOnce(*drag), (Paths{"/home/alice/one.txt", "/home/alice/two words.txt"})) << "and again";

    source.release();
    EXPECT_TRUE(test::waitUntil([&] { return readOnce(*drag).empty(); }));
}

TEST(X11DragPasteboard, ASourceThatNeverAnswersCostsOneTimeoutAndNoFiles) {
    test::VirtualXServer server;
    if (!server.running()) GTEST_SKIP() << server.reason();
    auto drag = X11DragPasteboard::open(server.name());
    ASSERT_TRUE(drag);
    // Owns the selection but never reads its events.
    Display* silent = XOpenDisplay(server.name().c_str());
    ASSERT_TRUE(silent);
    const Window window = XCreateSimpleWindow(silent, DefaultRootWindow(silent), 0, 0, 1, 1, 0, 0, 0);
    XSetSelectionOwner(silent, XInternAtom(silent, "XdndSelection", False), window, CurrentTime);
    XSync(silent, False);
    EXPECT_TRUE(readOnce(*drag).empty());
    XCloseDisplay(silent);

    // A source that answers after a silent one is read normally: the late answer is not mixed up.
    XdndSource source(server.name(), "file:///tmp/after.txt\r\n");
    ASSERT_TRUE(source.owns());
    EXPECT_EQ(readOnce(*drag), (Paths{"/tmp/after.txt"}));
}

}  // namespace DragPasteboardTests
