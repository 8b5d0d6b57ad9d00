// `QuillmereHost --send-files a b` end to end: the built Host runs as a throwaway user on an X
// display of its own, a test Viewer signs in over real TCP, a second start hands it two files,
// the destination picker is answered from the keyboard, and the Viewer receives the files
// byte for byte. The test runs in a network namespace of its own, so the Host's fixed ports are
// free whatever else runs on this machine.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <net/if.h>
#include <pwd.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <map>
#include <random>

#include "HostApp/Server/ServerConstants.h"
#include "QuillmereProfiles/FileTransferPacket.h"
#include "support/TestPlatform.h"
#include "support/TestUser.h"
#include "support/TestViewer.h"
#include "support/VirtualXServer.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#ifndef QM_HOST_EXECUTABLE
#define QM_HOST_EXECUTABLE ""
#endif

namespace qm::test {
namespace {

using namespace std::chrono_literals;

// This process (and what it starts from now on) in a network namespace with only loopback, up.
bool enterOwnNetwork(std::string& whyNot) {
    if (::unshare(CLONE_NEWNET) != 0) {
        whyNot = std::string("no network namespace: ") + std::strerror(errno);
        return false;
    }
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    const bool up = fd >= 0 && ::ioctl(fd, SIOCGIFFLAGS, &request) == 0 &&
                    (request.ifr_flags |= IFF_UP | IFF_RUNNING, ::ioctl(fd, SIOCSIFFLAGS, &request) == 0);
    if (fd >= 0) ::close(fd);
    if (!up) whyNot = "loopback would not come up";
    return up;
}

// A program run as the test user with the given environment; its output goes to `log`.
pid_t startAs(const passwd& user, const std::vector<std::string>& arguments, const std::vector<std::string>& environment,
              const std::filesystem::path& workingDirectory, const std::filesystem::path& log) {
    std::vector<char*> argv;
    for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (const auto& entry : environment) envp.push_back(const_cast<char*>(entry.c_str()));
    envp.push_back(nullptr);
    const uid_t uid = user.pw_uid;
    const gid_t gid = user.pw_gid;
    const pid_t pid = ::fork();
    if (pid != 0) return pid;
    // The child: only calls that are safe after fork in a threaded process.
    const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (out >= 0) {
        ::dup2(out, STDOUT_FILENO);
        ::dup2(out, STDERR_FILENO);
    }
    if (::setgroups(0, nullptr) != 0 || ::setresgid(gid, gid, gid) != 0 || ::setresuid(uid, uid, uid) != 0 ||
        ::chdir(workingDirectory.c_str()) != 0) {
        ::_exit(126);
    }
    ::execve(argv[0], argv.data(), envp.data());
    ::_exit(127);
}

// The child's exit code; -1 when it is still running after `timeout`.
int waitForExit(pid_t pid, std::chrono::milliseconds timeout) {
    int status = 0;
    if (!waitUntil([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, timeout)) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}

void stop(pid_t pid) {
    if (pid <= 0) return;
    ::kill(pid, SIGTERM);
    if (waitForExit(pid, 10s) < 0) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }
}

std::string readAll(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The top-level window with this title, if one is mapped.
Window findWindow(Display* display, Window under, const std::string& title) {
    Window root = 0, parent = 0;
    Window* children = nullptr;
    unsigned int count = 0;
    if (!XQueryTree(display, under, &root, &parent, &children, &count)) return 0;
    Window found = 0;
    for (unsigned int i = 0; i < count && !found; ++i) {
        char* name = nullptr;
        XWindowAttributes attributes{};
        if (XFetchName(display, children[i], &name) && name) {
            if (title == name && XGetWindowAttributes(display, children[i], &attributes) &&
                attributes.map_state == IsViewable) {
                found = children[i];
            }
            XFree(name);
        }
        if (!found) found = findWindow(display, children[i], title);
    }
    if (children) XFree(children);
    return found;
}

// The user's Return key on the window: the picker's default button (Send).
void pressReturn(Display* display, Window window) {
    XSetInputFocus(display, window, RevertToParent, CurrentTime);
    XSync(display, False);
    const KeyCode key = XKeysymToKeycode(display, XK_Return);
    XTestFakeKeyEvent(display, key, True, CurrentTime);
    XTestFakeKeyEvent(display, key, False, CurrentTime);
    XSync(display, False);
}

class SendFilesLive : public ::testing::Test {
protected:
    void TearDown() override {
        stop(host_);
        if (!folder_.empty()) {
            std::error_code ignored;
            std::filesystem::remove_all(folder_, ignored);
        }
    }
    pid_t host_ = -1;
    std::filesystem::path folder_;
};

TEST_F(SendFilesLive, SendFilesFromTheCommandLineReachesASignedInViewer) {
    const std::filesystem::path executable = QM_HOST_EXECUTABLE;
    if (executable.empty() || !std::filesystem::exists(executable)) GTEST_SKIP() << "the Host was not built";
    std::string whyNot;
    auto user = TestUser::create(whyNot);
    if (!user) GTEST_SKIP() << "no throwaway account: " << whyNot;
    if (!enterOwnNetwork(whyNot)) GTEST_SKIP() << whyNot;
    VirtualXServer xserver("1024x768x24");
    if (!xserver.running()) GTEST_SKIP() << "no X server: " << xserver.reason();

    // The user's home, runtime folder and the two files, all the user's own.
    const passwd* entry = ::getpwnam(user->name().c_str());
    ASSERT_NE(entry, nullptr);
    const passwd account = *entry;
    char pattern[] = "/tmp/qm-send-files-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    folder_ = pattern;
    ::chmod(folder_.c_str(), 0755);
    const auto home = folder_ / "home";
    const auto runtime = home / "run";
    std::filesystem::create_directories(runtime);
    std::mt19937 random(7);
    std::string big(300'000, '\0');  // more than one chunk
    for (auto& byte : big) byte = static_cast<char>(random());
    std::ofstream(home / "a", std::ios::binary) << big;
    std::ofstream(home / "b", std::ios::binary) << "the second file\n";
    for (const auto& path : std::filesystem::recursive_directory_iterator(home)) {
        ASSERT_EQ(::chown(path.path().c_str(), account.pw_uid, account.pw_gid), 0);
    }
    ASSERT_EQ(::chown(home.c_str(), account.pw_uid, account.pw_gid), 0);
    ::chmod(runtime.c_str(), 0700);
    const std::vector<std::string> environment{"HOME=" + home.string(),
                                               "USER=" + user->name(),
                                               "XDG_RUNTIME_DIR=" + runtime.string(),
                                               "DISPLAY=" + xserver.name(),
                                               "QT_QPA_PLATFORM=xcb",
                                               "LANG=C.UTF-8",
                                               "PATH=/usr/bin:/bin"};

    host_ = startAs(account, {executable.string()}, environment, home, folder_ / "host.log");
    ASSERT_GT(host_, 0);
    std::unique_ptr<TestViewer> viewer;
    ASSERT_TRUE(waitUntil(
        [&] {
            viewer = std::make_unique<TestViewer>(ServerConstants::controlPort);
            return viewer->connected();
        },
        30s))
        << readAll(folder_ / "host.log");
    auto result = viewer->signIn(user->name(), user->password(), "Ada's Viewer");
    ASSERT_TRUE(result) << readAll(folder_ / "host.log");
    ASSERT_TRUE(result->accepted) << result->message;

    // A second start hands the files over (named relative to its working folder) and ends.
    const pid_t handOff = startAs(account, {executable.string(), "--send-files", "a", "b"}, environment, home,
                                  folder_ / "hand-off.log");
    ASSERT_EQ(waitForExit(handOff, 30s), 0) << readAll(folder_ / "hand-off.log");
    EXPECT_NE(readAll(folder_ / "hand-off.log").find("handed 2 file(s) to the running Host"), std::string::npos);

    // The picker opens on the Desktop preset; the user presses Return.
    Display* display = XOpenDisplay(xserver.name().c_str());
    ASSERT_NE(display, nullptr);
    Window picker = 0;
    ASSERT_TRUE(waitUntil([&] { return (picker = findWindow(display, DefaultRootWindow(display), "Send to Quillmere Viewer")) != 0; },
                          30s))
        << readAll(folder_ / "host.log");
    std::map<std::string, std::string> files;
    std::optional<std::string> destination;
    bool ended = false;
    for (int attempt = 0; attempt < 5 && !ended; ++attempt) {
        if (Window still = findWindow(display, DefaultRootWindow(display), "Send to Quillmere Viewer")) pressReturn(display, still);
        while (auto frame = viewer->waitFor(AuxPacketType::fileTransfer, attempt == 4 ? 20s : 3s)) {
            auto packet = FileTransferPacket::decode(frame->payload);
            ASSERT_TRUE(packet);
            if (packet->op == FileTransferOp::directSave) destination = packet->path;
            if (packet->op == FileTransferOp::fileStart) files[packet->path];
            if (packet->op == FileTransferOp::fileChunk) files[packet->path].append(packet->data.begin(), packet->data.end());
            if (packet->op == FileTransferOp::batchEnd) {
                ended = true;
                break;
            }
        }
    }
    XCloseDisplay(display);
    ASSERT_TRUE(ended) << readAll(folder_ / "host.log");
    EXPECT_EQ(destination, std::optional<std::string>("~/Desktop"));
    ASSERT_EQ(files.size(), 2u);
    EXPECT_TRUE(files["a"] == big) << "a: " << files["a"].size() << " bytes";
    EXPECT_EQ(files["b"], "the second file\n");
    EXPECT_NE(readAll(folder_ / "host.log").find("files: queued 2 item(s) via service -> ~/Desktop"), std::string::npos);
}

}  // namespace
}  // namespace qm::test
