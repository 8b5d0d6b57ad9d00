#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace qm::test {

struct CommandResult {
    int exitStatus = -1;
    std::string output;
};

// Runs a program with its standard output captured, killing it when it outlives `timeout`.
std::optional<CommandResult> runCommand(std::vector<std::string> arguments, std::chrono::milliseconds timeout);

// True when an Avahi daemon answers on this machine.
bool responderRunning();

// The resolved line `avahi-browse -rpt` prints for the Host's service named `name`, if it lists it.
std::optional<std::string> browseFor(const std::string& name);

}  // namespace qm::test
