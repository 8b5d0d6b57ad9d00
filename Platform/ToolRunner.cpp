#include "Platform/ToolRunner.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>

#include "Platform/Process.h"

namespace qm {

ToolRunResult ProcessToolRunner::run(const std::string& executablePath, const std::vector<std::string>& arguments,
                                     std::chrono::milliseconds timeout) {
    std::string path = executablePath;
    if (auto it = substitutes_.find(executablePath); it != substitutes_.end()) path = it->second;
    ToolRunResult result;
    // The tool is run by its path, never looked up in PATH; say why it cannot run when we can.
    if (path.find('/') == std::string::npos || ::access(path.c_str(), X_OK) != 0) {
        result.startError = std::strerror(path.find('/') == std::string::npos ? ENOENT : errno);
        return result;
    }
    std::vector<std::string> argv{path};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    const std::optional<ProcessResult> ran = runProcess(argv, timeout);
    if (!ran) {
        result.startError = "The tool could not be started.";
        return result;
    }
    result.started = true;
    result.timedOut = !ran->finished;
    result.exitedNormally = ran->finished && ran->exitStatus >= 0;
    result.status = ran->exitStatus;
    return result;
}

ToolRunResult SimulatedToolRunner::run(const std::string& executablePath, const std::vector<std::string>& arguments,
                                       std::chrono::milliseconds) {
    Invocation invocation{executablePath, arguments};
    Handler handler;
    {
        std::lock_guard lock(mutex_);
        invocations_.push_back(invocation);
        handler = handler_;
    }
    return handler ? handler(invocation) : notStarted();
}

void SimulatedToolRunner::setHandler(Handler handler) {
    std::lock_guard lock(mutex_);
    handler_ = std::move(handler);
}

std::vector<SimulatedToolRunner::Invocation> SimulatedToolRunner::invocations() const {
    std::lock_guard lock(mutex_);
    return invocations_;
}

ToolRunResult SimulatedToolRunner::exited(int status) {
    ToolRunResult result;
    result.started = true;
    result.exitedNormally = true;
    result.status = status;
    return result;
}

ToolRunResult SimulatedToolRunner::notStarted(std::string error) {
    ToolRunResult result;
    result.startError = std::move(error);
    return result;
}

}  // namespace qm
