#pragma once

#include <memory>

#include "HostApp/App/ViewModels.h"
#include "HostApp/Delivery/FileTransferRows.h"

namespace qm {

class FileTransferCenter;

// The "File Transfers" window as the parent of sheets (the folder panel, conflict alerts): a
// window model that follows the progress window's state, which its own view draws. The desktop
// shows a sheet begun on it on the progress window's view. Main queue only.
class TransferCenterWindow final : public WindowModel {
public:
    explicit TransferCenterWindow(std::shared_ptr<FileTransferCenter> center);
    // Takes the progress window's title, visibility and focus.
    void follow();

private:
    std::weak_ptr<FileTransferCenter> center_;
};

// File delivery's rows shown in the application's one "File Transfers" window, which also
// parents delivery's sheets.
std::shared_ptr<FileTransferRows> makeTransferCenterRows(std::shared_ptr<FileTransferCenter> center);

}  // namespace qm
