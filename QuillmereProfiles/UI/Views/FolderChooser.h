#pragma once

#include <filesystem>

class QFileDialog;
class QWidget;

namespace qm {

// Qt's own file dialog, made the same way for every folder chooser the application shows: Qt's
// texts in the language of the application's tables, opening at `startFolder` (home when that is
// empty or no longer a folder, never the process's working folder), and its columns wide enough
// for their localised texts, the date above all. The caller sets the mode, texts and answer.
QFileDialog* makeFolderChooser(QWidget* parent, const std::filesystem::path& startFolder);

}  // namespace qm
