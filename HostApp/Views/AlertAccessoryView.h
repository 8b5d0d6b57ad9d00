#pragma once

#include "HostApp/App/ViewModels.h"

class QMessageBox;

namespace qm {

// Puts an alert's accessory rows (labels in their looks, check boxes bound to their models)
// under the message box's texts. Nothing when the alert has none.
void addAlertAccessory(QMessageBox& box, const AlertModel& alert);

}  // namespace qm
