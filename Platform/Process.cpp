#include "Platform/Process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

extern char** environ;

namespace qm {

namespace {
void closeQuietly(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}
}  // namespace

std::optional<ProcessResult> runProcess(const std::vector<std::string>& arguments, std::chrono::milliseconds timeout,
                                        const std::string& input, std::size_t maxOutput) {
    if (arguments.empty()) return std::nullopt;
    int in[2] = {-1, -1};
    int out[2] = {-1, -1};
    if (::pipe2(in, O_CLOEXEC) != 0) return std::nullopt;
    if (::pipe2(out, O_CLOEXEC) != 0) {
        closeQuietly(in[0]);
        closeQuietly(in[1]);
        return std::nullopt;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    std::vector<char*> argv;
    for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int spawned = ::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    closeQuietly(in[0]);
    closeQuietly(out[1]);
    if (spawned != 0) {
        closeQuietly(in[1]);
        closeQuietly(out[0]);
        return std::nullopt;
    }

    // The input is small (a line or two); it fits the pipe, so it is written before reading.
    std::size_t written = 0;
    while (written < input.size()) {
        const ssize_t n = ::write(in[1], input.data() + written, input.size() - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        written += static_cast<std::size_t>(n);
    }
    closeQuietly(in[1]);

    ProcessResult result;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (result.output.size() < maxOutput) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd ready{out[0], POLLIN, 0};
        const int polled = ::poll(&ready, 1, static_cast<int>(left.count()));
        if (polled < 0 && errno == EINTR) continue;
        if (polled <= 0) break;
        char buffer[4096];
        const ssize_t n = ::read(out[0], buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            result.finished = n == 0;
            break;
        }
        result.output.append(buffer, static_cast<std::size_t>(n));
    }
    closeQuietly(out[0]);

    int status = 0;
    pid_t reaped;
    while ((reaped = ::waitpid(pid, &status, result.finished ? 0 : WNOHANG)) < 0 && errno == EINTR) {
    }
    if (reaped == 0) {
        // Still running: it hung, or printed more than we read.
        ::kill(pid, SIGKILL);
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        result.finished = false;
    }
    result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

}  // namespace qm
