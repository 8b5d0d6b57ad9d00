#include "Platform/Linux/PosixProcessLauncher.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "Platform/Process.h"

namespace qm {

namespace {

// The read end of the pipe a started program holds the write end of. Nothing is ever written:
// the pipe hangs up when the last writer, the program or a child it started, has exited.
class PipeFollowedProgram final : public StartedProgram {
public:
    explicit PipeFollowedProgram(int readEnd) : fd_(readEnd) {}
    ~PipeFollowedProgram() override {
        if (fd_ >= 0) ::close(fd_);
    }
    PipeFollowedProgram(const PipeFollowedProgram&) = delete;
    PipeFollowedProgram& operator=(const PipeFollowedProgram&) = delete;

    bool hasEnded() override {
        if (fd_ < 0) return true;
        pollfd watch{fd_, POLLIN, 0};
        int ready;
        do {
            ready = ::poll(&watch, 1, 0);
        } while (ready < 0 && errno == EINTR);
        if (ready <= 0 || !(watch.revents & (POLLHUP | POLLERR))) return false;
        ::close(fd_);
        fd_ = -1;
        return true;
    }

private:
    int fd_;
};

}  // namespace

std::optional<std::string> PosixProcessLauncher::launchDetached(const std::vector<std::string>& arguments) {
    return startDetached(arguments, -1);
}

std::optional<std::string> PosixProcessLauncher::startDetached(const std::vector<std::string>& arguments, int inherited) {
    if (arguments.empty()) return std::string("nothing to start");
    std::vector<char*> argv;
    for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    // The grandchild writes errno here when exec fails; a close without data means it started.
    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0) return std::string(std::strerror(errno));
    const pid_t child = ::fork();
    if (child < 0) {
        const int error = errno;
        ::close(report[0]);
        ::close(report[1]);
        return std::string(std::strerror(error));
    }
    if (child == 0) {
        ::setsid();
        const pid_t grandchild = ::fork();
        if (grandchild != 0) ::_exit(grandchild < 0 ? 1 : 0);
        ::close(report[0]);
        if (inherited >= 0) ::fcntl(inherited, F_SETFD, 0);
        ::execvp(argv[0], argv.data());
        const int error = errno;
        [[maybe_unused]] auto written = ::write(report[1], &error, sizeof error);
        ::_exit(127);
    }
    ::close(report[1]);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    int error = 0;
    ssize_t got;
    do {
        got = ::read(report[0], &error, sizeof error);
    } while (got < 0 && errno == EINTR);
    ::close(report[0]);
    if (got == static_cast<ssize_t>(sizeof error)) return std::string(std::strerror(error));
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::string("could not start a detached process");
    return std::nullopt;
}

std::optional<std::vector<std::string>> PosixProcessLauncher::desktopSettingsCommand(const std::string& searchPath,
                                                                                    bool desktopAnswers) {
    if (!desktopAnswers) return std::nullopt;
    // The privacy page where the desktop has one, else the settings program's front page.
    static const std::vector<std::vector<std::string>> candidates{
        {"gnome-control-center", "privacy"}, {"systemsettings"},        {"xfce4-settings-manager"},
        {"mate-control-center"},             {"lxqt-config"},           {"cinnamon-settings", "privacy"}};
    for (const auto& candidate : candidates) {
        std::size_t start = 0;
        while (start <= searchPath.size()) {
            const auto end = std::min(searchPath.find(':', start), searchPath.size());
            const std::string folder = searchPath.substr(start, end - start);
            start = end + 1;
            if (folder.empty() || folder.front() != '/') continue;  // only absolute folders
            const std::string program = folder + "/" + candidate.front();
            if (::access(program.c_str(), X_OK) == 0) {
                auto command = candidate;
                command.front() = program;
                return command;
            }
        }
    }
    return std::nullopt;
}

std::optional<std::vector<std::string>> PosixProcessLauncher::desktopSettingsCommand() {
    const char* path = std::getenv("PATH");
    const char* x11 = std::getenv("DISPLAY");
    const char* wayland = std::getenv("WAYLAND_DISPLAY");
    const bool desktop = (x11 && *x11) || (wayland && *wayland);
    return desktopSettingsCommand(path ? path : "", desktop);
}

ProcessLauncher::Opened PosixProcessLauncher::openURLFollowingProgram(const std::string& url) {
    if (url.rfind(systemSettingsScheme, 0) != 0) return {openURL(url), nullptr};
    const auto command = desktopSettingsCommand();
    if (!command) return {};
    int life[2];
    if (::pipe2(life, O_CLOEXEC) != 0) return {!launchDetached(*command), nullptr};
    const auto failure = startDetached(*command, life[1]);
    ::close(life[1]);
    if (failure) {
        ::close(life[0]);
        return {};
    }
    return {true, std::make_shared<PipeFollowedProgram>(life[0])};
}

bool PosixProcessLauncher::openURL(const std::string& url) {
    if (url.rfind(systemSettingsScheme, 0) == 0) {
        const auto command = desktopSettingsCommand();
        return command && !launchDetached(*command);
    }
    // xdg-open answers non-zero when no application takes the address.
    const auto result = runProcess({"xdg-open", url}, std::chrono::seconds(5));
    return result && result->finished && result->exitStatus == 0;
}

int PosixProcessLauncher::processID() const { return static_cast<int>(::getpid()); }

}  // namespace qm
