#pragma once

#include <filesystem>
#include <memory>

#include "Platform/FileManagerDesktop.h"
#include "Platform/ProcessLauncher.h"

namespace qm {

// Linux: no file manager here answers which folder its front window shows, so the front window
// is none; the Desktop is what `xdg-user-dir DESKTOP` names (a folder other than home), else
// `<home>/Desktop`; revealing opens the items' folder with `xdg-open` through the launcher.
class XdgFileManagerDesktop final : public FileManagerDesktop {
public:
    XdgFileManagerDesktop(std::filesystem::path home, std::shared_ptr<ProcessLauncher> launcher);

    std::optional<std::filesystem::path> frontWindowFolder(std::string& error) override;
    std::optional<std::filesystem::path> desktopFolder() override;
    void revealItems(const std::vector<std::filesystem::path>& items) override;

private:
    std::filesystem::path home_;
    std::shared_ptr<ProcessLauncher> launcher_;
};

}  // namespace qm
