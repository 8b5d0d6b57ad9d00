#include "support/BuiltHost.h"

#include <fcntl.h>
#include <grp.h>
#include <net/if.h>
#include <pwd.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "HostApp/App/HostAppEnvironment.h"
#include "HostApp/Server/ServerConstants.h"
#include "QuillmereProfiles/FileTransferChannel.h"
#include "support/TestFiles.h"
#include "support/TestPlatform.h"
#include "support/ViewerBatches.h"

namespace qm::test {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

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

// The Host as an installed copy under `prefix` (bin/ and share/quillmere-host/ as the install
// lays them out), so a throwaway account can run it wherever this checkout lives: a clone below
// a folder that account cannot enter (/root, a home of mode 0700, a mktemp -d folder) would
// refuse it the executable and, from the build folder, the string tables too. The project's own
// libraries are linked into the executable and it has no run path into the build folder (the
// system's libraries come from their usual places); it reads the tables beside its bin/ folder
// first. A second link to the executable where the file system allows it, else a copy.
bool installCopy(const fs::path& executable, const fs::path& prefix, fs::path& copy, std::string& whyNot) {
    std::error_code error;
    fs::create_directories(prefix / "bin", error);
    copy = prefix / "bin" / executable.filename();
    if (!error) {
        // A link shares the file's mode: it serves only when others may already read and run it.
        fs::create_hard_link(executable, copy, error);
        const auto others = fs::perms::others_read | fs::perms::others_exec;
        if (!error && (fs::status(copy, error).permissions() & others) != others) {
            fs::remove(copy, error);
            error = std::make_error_code(std::errc::permission_denied);
        }
        if (error) {
            error.clear();
            fs::copy_file(executable, copy, fs::copy_options::overwrite_existing, error);
            if (!error) fs::permissions(copy, fs::perms(0755), error);
        }
    }
    const fs::path resources(QM_HOST_RESOURCES_DIR);
    if (!error && !resources.empty() && fs::is_directory(resources, error)) {
        fs::create_directories(prefix / "share" / "quillmere-host", error);
        if (!error) fs::copy(resources, prefix / "share" / "quillmere-host", fs::copy_options::recursive, error);
    }
    // An installed Host finds its installer's marker from where it lies: the copy of one is
    // installed as far as that goes too.
    const auto marker = installedHostMarkerPath(executable.parent_path().parent_path());
    if (!error && fs::exists(marker, error)) {
        fs::create_directories(installedHostMarkerPath(prefix).parent_path(), error);
        if (!error) fs::copy_file(marker, installedHostMarkerPath(prefix), fs::copy_options::overwrite_existing, error);
    }
    if (error) whyNot = "cannot copy the Host for the test account: " + error.message();
    return !error;
}

void stop(pid_t pid) {
    if (pid <= 0) return;
    ::kill(pid, SIGTERM);
    if (waitForExit(pid, 10s) < 0) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }
}

// In a child about to run the Host: its descriptor limit, soft and hard (async-signal-safe).
bool limitDescriptorsInChild(unsigned long count) {
    if (count == 0) return true;
    const rlimit limit{count, count};
    return ::setrlimit(RLIMIT_NOFILE, &limit) == 0;
}

}  // namespace

int waitForExit(pid_t pid, std::chrono::milliseconds timeout) {
    int status = 0;
    if (!waitUntil([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, timeout)) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}

std::unique_ptr<BuiltHost> BuiltHost::prepare(const fs::path& executable, std::string& whyNot, const std::string& screen) {
    if (executable.empty() || !fs::exists(executable)) {
        whyNot = "the Host was not built";
        return nullptr;
    }
    std::unique_ptr<BuiltHost> host(new BuiltHost);
    host->user_ = TestUser::create(whyNot);
    if (!host->user_) {
        whyNot = "no throwaway account: " + whyNot;
        return nullptr;
    }
    if (!enterOwnNetwork(whyNot)) return nullptr;
    host->xserver_ = std::make_unique<VirtualXServer>(screen);
    if (!host->xserver_->running()) {
        whyNot = "no X server: " + host->xserver_->reason();
        return nullptr;
    }
    const passwd* entry = ::getpwnam(host->user_->name().c_str());
    if (!entry) {
        whyNot = "the new account cannot be looked up";
        return nullptr;
    }
    host->uid_ = entry->pw_uid;
    host->gid_ = entry->pw_gid;

    // The user's home and runtime folder, both the user's own.
    char pattern[] = "/tmp/qm-built-host-XXXXXX";
    if (!::mkdtemp(pattern)) {
        whyNot = std::string("no temporary folder: ") + std::strerror(errno);
        return nullptr;
    }
    host->folder_ = pattern;
    ::chmod(host->folder_.c_str(), 0755);
    if (!installCopy(executable, host->folder_ / "host", host->executable_, whyNot)) return nullptr;
    host->home_ = host->folder_ / "home";
    const auto runtime = host->home_ / "run";
    fs::create_directories(runtime);
    ::chmod(runtime.c_str(), 0700);
    host->giveToUser(host->home_);
    host->giveToUser(runtime);
    host->environment_ = testHostEnvironment(host->home_);
    host->environment_.insert(host->environment_.end(), {"USER=" + host->user_->name(),
                          "XDG_RUNTIME_DIR=" + runtime.string(),
                          "DISPLAY=" + host->xserver_->name(),
                          "QT_QPA_PLATFORM=xcb",
                          "LANG=C.UTF-8",
                          // The tests follow the application's own steps in its output too.
                          "QM_LOG_DETAIL=1",
                          "PATH=/usr/bin:/bin"});
    host->passSanitizerOptions();
    return host;
}

// A sanitized build's Host reports what its libraries keep at exit, and exits with a failure,
// unless it gets the suppressions the tests run with. Its account may not reach the checkout, so
// the suppression file goes along as a copy in the Host's own folder.
void BuiltHost::passSanitizerOptions() {
    for (const char* name : {"LSAN_OPTIONS", "ASAN_OPTIONS", "UBSAN_OPTIONS"}) {
        const char* value = std::getenv(name);
        if (!value || !*value) continue;
        std::string options;
        std::stringstream parts(value);
        for (std::string part; std::getline(parts, part, ':');) {
            if (part.rfind("suppressions=", 0) == 0) {
                const fs::path from = part.substr(std::strlen("suppressions="));
                const auto copy = folder_ / (std::string(name) + ".supp");
                std::error_code error;
                fs::copy_file(from, copy, fs::copy_options::overwrite_existing, error);
                if (error) continue;
                ::chmod(copy.c_str(), 0644);
                part = "suppressions=" + copy.string();
            }
            options += (options.empty() ? "" : ":") + part;
        }
        environment_.push_back(std::string(name) + "=" + options);
    }
}

BuiltHost::~BuiltHost() {
    stop(host_);
    if (!folder_.empty()) {
        std::error_code ignored;
        fs::remove_all(folder_, ignored);
    }
}

pid_t BuiltHost::startAs(const std::vector<std::string>& arguments, const fs::path& log) const {
    std::vector<char*> argv;
    for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (const auto& entry : environment_) envp.push_back(const_cast<char*>(entry.c_str()));
    envp.push_back(nullptr);
    const uid_t uid = uid_;
    const gid_t gid = gid_;
    // Written by the child, which may only make async-signal-safe calls, when it cannot start.
    const std::string cannotStart = "cannot start " + arguments.front() + " as the test account\n";
    const pid_t pid = ::fork();
    if (pid != 0) return pid;
    // The child: only calls that are safe after fork in a threaded process.
    const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (out >= 0) {
        ::dup2(out, STDOUT_FILENO);
        ::dup2(out, STDERR_FILENO);
    }
    if (::setgroups(0, nullptr) != 0 || ::setresgid(gid, gid, gid) != 0 || ::setresuid(uid, uid, uid) != 0 ||
        ::chdir(home_.c_str()) != 0 || !limitDescriptorsInChild(descriptorLimit_)) {
        [[maybe_unused]] auto written = ::write(STDERR_FILENO, cannotStart.data(), cannotStart.size());
        ::_exit(126);
    }
    ::execve(argv[0], argv.data(), envp.data());
    [[maybe_unused]] auto written = ::write(STDERR_FILENO, cannotStart.data(), cannotStart.size());
    ::_exit(127);
}

bool BuiltHost::start(std::chrono::milliseconds timeout, const std::vector<std::string>& arguments) {
    const auto log = folder_ / "host.log";
    std::vector<std::string> command{executable_.string()};
    command.insert(command.end(), arguments.begin(), arguments.end());
    host_ = startAs(command, log);
    if (host_ <= 0) return false;
    // A Host that ends before its port answers will never answer: fail at once, saying how it ended.
    int status = 0;
    bool ended = false;
    const bool answered = waitUntil(
        [&] {
            ended = ::waitpid(host_, &status, WNOHANG) == host_;
            return ended || TestViewer(ServerConstants::controlPort).connected();
        },
        timeout);
    if (!ended) return answered;
    host_ = -1;  // reaped: its number may be reused, so it must not be signalled later
    std::ofstream(log, std::ios::app) << "[test] the Host ended before its control port answered: "
                                      << (WIFEXITED(status) ? "exit status " + std::to_string(WEXITSTATUS(status))
                                                            : "signal " + std::to_string(WTERMSIG(status)))
                                      << "\n";
    return false;
}

int BuiltHost::waitForEnd(std::chrono::milliseconds timeout) {
    if (host_ <= 0) return -1;
    const int code = waitForExit(host_, timeout);
    if (code >= 0) host_ = -1;  // reaped
    return code;
}

int BuiltHost::runAgain(const std::vector<std::string>& arguments, std::string& output,
                        std::chrono::milliseconds timeout) {
    static int runs = 0;
    const auto log = folder_ / ("run-" + std::to_string(++runs) + ".log");
    std::vector<std::string> all{executable_.string()};
    all.insert(all.end(), arguments.begin(), arguments.end());
    const pid_t pid = startAs(all, log);
    const int code = waitForExit(pid, timeout);
    if (code < 0) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }
    output = fileText(log);
    return code;
}

std::unique_ptr<TestViewer> BuiltHost::signIn(const std::string& displayName, std::string& whyNot) {
    auto viewer = std::make_unique<TestViewer>(ServerConstants::controlPort);
    if (!viewer->connected()) {
        whyNot = "the control port does not answer";
        return nullptr;
    }
    auto result = viewer->signIn(user_->name(), user_->password(), displayName);
    if (!result || !result->accepted) {
        whyNot = result ? "sign-in refused: " + result->message : "no sign-in result";
        return nullptr;
    }
    return viewer;
}

void BuiltHost::writeHomeFile(const fs::path& relative, const Bytes& content) {
    const auto path = home_ / relative;
    writeFile(path, content);
    for (auto folder = path; folder != home_ && folder.has_relative_path(); folder = folder.parent_path())
        giveToUser(folder);
}

void BuiltHost::giveToUser(const fs::path& path) const { (void)::chown(path.c_str(), uid_, gid_); }

void BuiltHost::signal(int number) const {
    if (host_ > 0) ::kill(host_, number);
}

int BuiltHost::waitForHostExit(std::chrono::milliseconds timeout) {
    if (host_ <= 0) return -1;
    const int code = waitForExit(host_, timeout);
    if (code >= 0) host_ = -1;  // reaped
    return code;
}

bool BuiltHost::stagingEmpty() const {
    std::error_code error;
    return !fs::exists(staging(), error) || fs::is_empty(staging(), error);
}

std::string BuiltHost::log() const { return fileText(folder_ / "host.log"); }

std::vector<std::string> BuiltHost::messages() const {
    static const std::string program = "[QuillmereHost] ";
    std::vector<std::string> out;
    std::istringstream lines(log());
    for (std::string line; std::getline(lines, line);) out.push_back(line.starts_with(program) ? line.substr(program.size()) : line);
    return out;
}

bool BuiltHost::logged(const std::string& text) const {
    const auto all = messages();
    return std::find(all.begin(), all.end(), text) != all.end();
}

bool BuiltHost::waitForLog(const std::string& text, std::chrono::milliseconds timeout) const {
    return waitUntil([&] { return logged(text); }, timeout);
}

std::vector<std::string> testHostEnvironment(const fs::path& home) {
    return {"HOME=" + home.string(),
            "XDG_CONFIG_HOME=" + (home / ".config").string(),
            "XDG_DATA_HOME=" + (home / ".local/share").string(),
            "XDG_STATE_HOME=" + (home / ".local/state").string(),
            "XDG_CACHE_HOME=" + (home / ".cache").string(),
            "QUILLMERE_HOST_SYSTEM_STATE=" + (home / ".no-machine-state").string()};
}

bool writePrivately(const std::vector<fs::path>& folders, std::string& whyNot) {
    if (::unshare(CLONE_NEWNS) != 0) {
        whyNot = std::string("no mount namespace: ") + std::strerror(errno);
        return false;
    }
    // Mounts made from here on stay in this namespace; the layers written to are in memory.
    char pattern[] = "/tmp/qm-private-XXXXXX";
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 || !::mkdtemp(pattern) ||
        ::mount("tmpfs", pattern, "tmpfs", 0, "mode=0700") != 0) {
        whyNot = std::string("no private memory folder: ") + std::strerror(errno);
        return false;
    }
    int index = 0;
    for (const auto& folder : folders) {
        const auto layers = fs::path(pattern) / std::to_string(++index);
        std::error_code error;
        fs::create_directories(layers / "upper", error);
        fs::create_directories(layers / "work", error);
        // The folder's top keeps its mode and owner.
        struct stat lower {};
        if (!error && (::stat(folder.c_str(), &lower) != 0 || ::chmod((layers / "upper").c_str(), lower.st_mode & 07777) != 0 ||
                       ::chown((layers / "upper").c_str(), lower.st_uid, lower.st_gid) != 0)) {
            error = std::error_code(errno, std::generic_category());
        }
        const auto options = "lowerdir=" + folder.string() + ",upperdir=" + (layers / "upper").string() +
                             ",workdir=" + (layers / "work").string();
        if (error || ::mount("overlay", folder.c_str(), "overlay", 0, options.c_str()) != 0) {
            whyNot = "no private view of " + folder.string() + ": " + std::strerror(errno);
            return false;
        }
    }
    return true;
}

std::optional<SilentFileViewer> signInSilentFileViewer(BuiltHost& host, const std::string& displayName,
                                                       std::string& whyNot) {
    SilentFileViewer viewer;
    viewer.control = host.signIn(displayName, whyNot);
    if (!viewer.control) return std::nullopt;
    viewer.channel = openFileChannel(*viewer.control);
    if (!viewer.channel) {
        whyNot = "no file channel";
        return std::nullopt;
    }
    viewer.channel->holdReading(true);
    return viewer;
}

std::size_t hostResidentKiB(const BuiltHost& host) {
    if (host.pid() <= 0) return 0;
    std::ifstream status("/proc/" + std::to_string(host.pid()) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.starts_with("VmRSS:")) return static_cast<std::size_t>(std::strtoull(line.c_str() + 6, nullptr, 10));
    return 0;
}

std::size_t hostDescriptors(const BuiltHost& host) {
    if (host.pid() <= 0) return 0;
    std::error_code error;
    std::size_t count = 0;
    for (std::filesystem::directory_iterator it("/proc/" + std::to_string(host.pid()) + "/fd", error), end;
         !error && it != end; it.increment(error)) {
        ++count;
    }
    return count;
}

Bytes listingRequests(int count, const std::string& folder) {
    using FileTransferChannelConstants::headerSize;
    Bytes frames;
    for (int i = 0; i < count; ++i) {
        auto frame = FileTransferPacket{FileTransferOp::listDir, UUID::random(), 0, 0, folder, {}}.encode(headerSize);
        const auto length = static_cast<std::uint32_t>(frame.size() - headerSize);
        std::copy(FileTransferChannelConstants::magic.begin(), FileTransferChannelConstants::magic.end(), frame.begin());
        for (std::size_t b = 0; b < 4; ++b) frame[4 + b] = static_cast<std::uint8_t>(length >> (8 * b));
        frames.insert(frames.end(), frame.begin(), frame.end());
    }
    return frames;
}

}  // namespace qm::test
