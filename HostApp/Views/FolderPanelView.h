#pragma once

#include <filesystem>
#include <functional>
#include <optional>

#include "HostApp/App/ViewModels.h"

class QFileDialog;
class QWidget;

namespace qm {

// A Qt file dialog set up from a folder panel model (Qt's own dialog, so it looks the same on
// every desktop and under test), opening at the model's folder. Opens it as a sheet of `parent`
// that holds the window's input back itself (see holdWindowInputWhileUp), or application-modal on
// its own, and answers once: the chosen item, or nothing when it was cancelled. The dialog
// deletes itself when closed.
QFileDialog* openFolderPanel(const FolderPanelModel& panel, QWidget* parent,
                             std::function<void(std::optional<std::filesystem::path>)> completion);

}  // namespace qm
