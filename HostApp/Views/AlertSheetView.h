#pragma once

#include <QDialog>
#include <memory>
#include <vector>

#include "HostApp/App/AlertSheetModel.h"

class QLabel;
class QPushButton;

namespace qm {

// An alert shown as a sheet of its window: the style's icon, the title in bold, the message
// (its text follows the model, so a countdown counts in place) and the buttons along the bottom,
// the first one the default. Its window takes no input while it is up; it stays above it, and
// closes when the model ends; a button answers through the model, Escape with no button's answer.
// Several sheets may be up on one window (the permission walk-through and the quit question):
// each takes its own clicks and keys, whichever came first, and only the front one takes the focus
// its window is given.
class AlertSheetView final : public QDialog {
public:
    AlertSheetView(std::shared_ptr<AlertSheetModel> model, QWidget* parent);
    QLabel* title() const { return title_; }
    QLabel* message() const { return message_; }
    const std::vector<QPushButton*>& buttons() const { return buttons_; }
    void render();
    // Escape or the window's close box: an answer no button gives, which owners read as "not now".
    void reject() override;
    // Goes away without answering: the application is ending, and its quitting closes every
    // window, which is no answer of the user's.
    void dismissWithoutAnswer();

protected:
    void changeEvent(QEvent* event) override;

private:
    std::shared_ptr<AlertSheetModel> model_;
    QLabel* title_ = nullptr;
    QLabel* message_ = nullptr;
    std::vector<QPushButton*> buttons_;
    bool dismissed_ = false;
    bool shown_ = false;
};

}  // namespace qm
