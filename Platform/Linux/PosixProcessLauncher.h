#pragma once

#include "Platform/ProcessLauncher.h"

namespace qm {

// Detached children (a double fork into a new session, so the child outlives the Host and is
// never left as a zombie) and addresses through xdg-open.
class PosixProcessLauncher final : public ProcessLauncher {
public:
    std::optional<std::string> launchDetached(const std::vector<std::string>& arguments) override;
    bool openURL(const std::string& url) override;
    int processID() const override;
};

}  // namespace qm
