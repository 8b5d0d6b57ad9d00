#include "HostApp/Views/AlertSheetView.h"
#include "Platform/Views/QtText.h"

#include <QApplication>
#include <QEvent>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QStyle>
#include <QTimer>
#include <QWindow>
#include <QVBoxLayout>

#include "HostApp/Views/WindowVisibility.h"

namespace qm {

namespace {
QStyle::StandardPixmap iconFor(AlertModel::Style style) {
    switch (style) {
        case AlertModel::Style::warning: return QStyle::SP_MessageBoxWarning;
        case AlertModel::Style::critical: return QStyle::SP_MessageBoxCritical;
        case AlertModel::Style::informational: break;
    }
    return QStyle::SP_MessageBoxInformation;
}
}  // namespace

AlertSheetView::AlertSheetView(std::shared_ptr<AlertSheetModel> model, QWidget* parent)
    : QDialog(parent), model_(std::move(model)) {
    setAttribute(Qt::WA_DeleteOnClose);
    setAttribute(Qt::WA_QuitOnClose, false);
    // Modal to its own window only, and not through Qt's window modality: that would also block
    // every other sheet of the same window (Qt blocks a window whose ancestor a later modal window
    // shares), so a question that came earlier could not be answered, and the focus a blocked
    // sheet is given would be passed around between the sheets. The window's input is held back
    // here instead (holdWindowInputWhileUp); the rest of the Host (the status menu) stays usable.
    setWindowModality(parent ? Qt::NonModal : Qt::ApplicationModal);
    if (parent) markAsSheet(this);
    setWindowTitle(q(model_->alert().messageText));
    // In front of its window: a window that floats above others takes its sheet with it (set
    // before the first show; changing flags later would make the window manager map it anew).
    if (parent && (parent->windowFlags() & Qt::WindowStaysOnTopHint)) setWindowFlag(Qt::WindowStaysOnTopHint, true);

    auto* icon = new QLabel(this);
    const int side = style()->pixelMetric(QStyle::PM_MessageBoxIconSize, nullptr, this);
    icon->setPixmap(style()->standardIcon(iconFor(model_->alert().style), nullptr, this).pixmap(side, side));
    icon->setAlignment(Qt::AlignTop | Qt::AlignHCenter);
    // Alerts quote names from Viewers and files.
    title_ = new QLabel(this);
    title_->setTextFormat(Qt::PlainText);
    QFont bold = title_->font();
    bold.setBold(true);
    title_->setFont(bold);
    title_->setWordWrap(true);
    message_ = new QLabel(this);
    message_->setTextFormat(Qt::PlainText);
    message_->setWordWrap(true);
    message_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    // Wide enough for two lines of the longer step texts in every language.
    message_->setMinimumWidth(360);

    auto* texts = new QVBoxLayout;
    texts->addWidget(title_);
    texts->addWidget(message_);
    texts->addStretch();
    auto* top = new QHBoxLayout;
    top->addWidget(icon);
    top->addSpacing(8);
    top->addLayout(texts, 1);

    auto* row = new QHBoxLayout;
    row->addStretch();
    const auto& titles = model_->alert().buttons;
    for (std::size_t i = 0; i < titles.size(); ++i) {
        auto* button = new QPushButton(q(titles[i]), this);
        button->setAutoDefault(false);
        if (i == 0) button->setDefault(true);
        buttons_.push_back(button);
        std::weak_ptr<AlertSheetModel> weak = model_;
        const int response = AlertSheetModel::firstButtonResponse + static_cast<int>(i);
        connect(button, &QPushButton::clicked, this, [weak, response] {
            if (auto sheet = weak.lock()) sheet->respond(response);
        });
    }
    // Buttons read from the right as the model orders them: the first (default) one rightmost.
    for (auto it = buttons_.rbegin(); it != buttons_.rend(); ++it) row->addWidget(*it);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(20, 18, 20, 16);
    layout->addLayout(top);
    layout->addSpacing(12);
    layout->addLayout(row);

    // The window it belongs to takes no input while the sheet is up, and focus given to the
    // window (by the window manager, or a click on it) goes on to its front sheet.
    holdWindowInputWhileUp(this);

    QPointer<AlertSheetView> guarded = this;
    model_->onChanged = [guarded] {
        if (guarded) guarded->render();
    };
    render();
}

void AlertSheetView::render() {
    title_->setText(q(model_->alert().messageText));
    message_->setText(q(model_->alert().informativeText));
    message_->setHidden(model_->alert().informativeText.empty());
    if (!model_->visible()) {
        // Ended by a button or by its owner: the view goes with it (done(), not close(): a
        // dialog's close asks reject() first, which would answer the ended model again).
        model_->onChanged = nullptr;
        done(QDialog::Rejected);
        return;
    }
    const bool first = !shown_;
    if (first) {
        shown_ = true;
        // A new question comes in front of the window's other sheets and takes the focus, but not
        // from a click under way: shown without the focus then, it takes it after the release.
        bringSheetForward(this);
        if (QGuiApplication::mouseButtons() != Qt::NoButton) setAttribute(Qt::WA_ShowWithoutActivating);
    }
    followModelVisibility(this, *model_);
    if (first && parentWidget() && QGuiApplication::platformName() != "offscreen") activateWithoutCuttingAClick(this, true);
}

void AlertSheetView::changeEvent(QEvent* event) {
    QDialog::changeEvent(event);
    if (event->type() == QEvent::ActivationChange && isActiveWindow()) {
        // The user (or the window manager) focused it: it is the front sheet of its window now.
        if (parentWidget()) bringSheetForward(this);
        model_->didBecomeKey();
    }
}

void AlertSheetView::reject() {
    if (dismissed_) return;
    model_->respond(AlertSheetModel::stopResponse);
}

void AlertSheetView::dismissWithoutAnswer() {
    dismissed_ = true;
    model_->onChanged = nullptr;
    done(QDialog::Rejected);
}

}  // namespace qm
