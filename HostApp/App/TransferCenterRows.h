#pragma once

#include <memory>

#include "HostApp/Delivery/FileTransferRows.h"

namespace qm {

class FileTransferCenter;

// File delivery's rows shown in the application's one "File Transfers" window.
std::shared_ptr<FileTransferRows> makeTransferCenterRows(std::shared_ptr<FileTransferCenter> center);

}  // namespace qm
