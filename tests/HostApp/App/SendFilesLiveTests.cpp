// `QuillmereHost --send-files a b` end to end: the built Host runs as a throwaway user on an X
// display of its own, a test Viewer signs in over real TCP, a second start hands it two files,
// the destination picker is answered from the keyboard, and the Viewer receives the files
// byte for byte. The test runs in a network namespace of its own, so the Host's fixed ports are
// free whatever else runs on this machine.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <map>

#include "QuillmereProfiles/FileTransferPacket.h"
#include "support/BuiltHost.h"
#include "support/TestFiles.h"
#include "support/TestPlatform.h"
#include "support/VirtualXServer.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#ifndef QM_HOST_EXECUTABLE
#define QM_HOST_EXECUTABLE ""
#endif

namespace qm::test {
namespace SendFilesLiveTests {
namespace {

using namespace std::chrono_literals;

// The user's Return key on the window: the picker's default button (Send).
void pressReturn(Display* display, Window window) {
    XSetInputFocus(display, window, RevertToParent, CurrentTime);
    XSync(display, False);
    const KeyCode key = XKeysymToKeycode(display, XK_Return);
    XTestFakeKeyEvent(display, key, True, CurrentTime);
    XTestFakeKeyEvent(display, key, False, CurrentTime);
    XSync(display, False);
}

TEST(SendFilesLive, SendFilesFromTheCommandLineReachesASignedInViewer) {
    std::string whyNot;
    auto host = BuiltHost::prepare(QM_HOST_EXECUTABLE, whyNot);
    if (!host) GTEST_SKIP() << whyNot;
    const auto big = randomBytes(300'000, 7);  // more than one chunk
    const Bytes second{'t', 'w', 'o', '\n'};
    host->writeHomeFile("a", big);
    host->writeHomeFile("b", second);
    ASSERT_TRUE(host->start()) << host->log();
    auto viewer = host->signIn("Ada's Viewer", whyNot);
    ASSERT_TRUE(viewer) << whyNot << "\n" << host->log();

    // A second start hands the files over (named relative to its working folder) and ends.
    std::string handOff;
    ASSERT_EQ(host->runAgain({"--send-files", "a", "b"}, handOff), 0) << handOff;
    EXPECT_NE(handOff.find("handed 2 file(s) to the running Host"), std::string::npos);

    // The picker opens on the Desktop preset; the user presses Return.
    Display* display = XOpenDisplay(host->displayName().c_str());
    ASSERT_NE(display, nullptr);
    Window picker = 0;
    ASSERT_TRUE(waitUntil([&] { return (picker = findMappedWindow(display, "Send to Quillmere Viewer")) != 0; },
                          30s))
        << host->log();
    std::map<std::string, Bytes> files;
    std::optional<std::string> destination;
    bool ended = false;
    for (int attempt = 0; attempt < 5 && !ended; ++attempt) {
        if (Window still = findMappedWindow(display, "Send to Quillmere Viewer")) pressReturn(display, still);
        while (auto frame = viewer->waitFor(AuxPacketType::fileTransfer, attempt == 4 ? 20s : 3s)) {
            auto packet = FileTransferPacket::decode(frame->payload);
            ASSERT_TRUE(packet);
            if (packet->op == FileTransferOp::directSave) destination = packet->path;
            if (packet->op == FileTransferOp::fileStart) files[packet->path];
            if (packet->op == FileTransferOp::fileChunk) files[packet->path].insert(files[packet->path].end(), packet->data.begin(), packet->data.end());
            if (packet->op == FileTransferOp::batchEnd) {
                ended = true;
                break;
            }
        }
    }
    XCloseDisplay(display);
    ASSERT_TRUE(ended) << host->log();
    EXPECT_EQ(destination, std::optional<std::string>("~/Desktop"));
    ASSERT_EQ(files.size(), 2u);
    EXPECT_TRUE(files["a"] == big) << "a: " << files["a"].size() << " bytes";
    EXPECT_EQ(files["b"], second);
    EXPECT_TRUE(host->logged("files: queued 2 item(s) via service -> ~/Desktop")) << host->log();
}

TEST(SendFilesLive, ASecondStartWhoseFilesTheRunningHostNeverTakesFailsAndSaysSo) {
    std::string whyNot;
    auto host = BuiltHost::prepare(QM_HOST_EXECUTABLE, whyNot);
    if (!host) GTEST_SKIP() << whyNot;
    host->writeHomeFile("a", Bytes{'a'});

    // A Host that is stuck: its socket takes connections, but nothing reads them.
    const auto path = host->runtimeFolder() / "quillmere-host.sock";
    const int stuck = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(stuck, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0) << std::strerror(errno);
    ASSERT_EQ(::listen(stuck, 4), 0);
    struct stat home {};
    ASSERT_EQ(::stat(host->home().c_str(), &home), 0);
    ASSERT_EQ(::chown(path.c_str(), home.st_uid, home.st_gid), 0);

    std::string output;
    const int code = host->runAgain({"--send-files", "a"}, output, 60s);
    ::close(stuck);
    EXPECT_GT(code, 0) << output;
    EXPECT_NE(output.find("could not reach the running Host"), std::string::npos) << output;
    EXPECT_EQ(output.find("handed"), std::string::npos) << output;
}

}  // namespace
}  // namespace SendFilesLiveTests
}  // namespace qm::test
