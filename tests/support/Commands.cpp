#include "support/Commands.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace qm::test {

std::optional<CommandResult> runCommand(std::vector<std::string> arguments, std::chrono::milliseconds timeout) {
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) return std::nullopt;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    std::vector<char*> argv;
    for (auto& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int spawned = ::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[1]);
    if (spawned != 0) {
        ::close(pipeFds[0]);
        return std::nullopt;
    }
    CommandResult result;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    bool timedOut = false;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            timedOut = true;
            break;
        }
        pollfd fd{pipeFds[0], POLLIN, 0};
        if (::poll(&fd, 1, static_cast<int>(left.count())) <= 0) continue;
        char buffer[4096];
        const ssize_t count = ::read(pipeFds[0], buffer, sizeof buffer);
        if (count <= 0) break;
        result.output.append(buffer, static_cast<std::size_t>(count));
    }
    ::close(pipeFds[0]);
    if (timedOut) ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

bool responderRunning() {
    auto result = runCommand({"avahi-daemon", "--check"}, std::chrono::seconds(5));
    return result && result->exitStatus == 0;
}

std::optional<std::string> browseFor(const std::string& name) {
    auto result = runCommand({"avahi-browse", "-rpt", "_quillmere-host._tcp"}, std::chrono::seconds(10));
    if (!result) return std::nullopt;
    std::size_t start = 0;
    while (start < result->output.size()) {
        auto end = result->output.find('\n', start);
        if (end == std::string::npos) end = result->output.size();
        const std::string line = result->output.substr(start, end - start);
        if (line.starts_with("=;") && line.find(";" + name + ";") != std::string::npos) return line;
        start = end + 1;
    }
    return std::nullopt;
}

}  // namespace qm::test
