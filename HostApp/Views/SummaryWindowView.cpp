#include "HostApp/Views/SummaryWindowView.h"
#include "Platform/Views/QtText.h"
#include "HostApp/Views/WindowVisibility.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <algorithm>
#include <QCloseEvent>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenuBar>
#include <QPushButton>
#include <QVBoxLayout>

#include "HostApp/Views/QtHostShell.h"

namespace qm {

namespace {
QLabel* makeLabel(QWidget* parent, int pointSize, QFont::Weight weight, bool secondary, bool monospaced = false) {
    auto* label = new QLabel(parent);
    label->setTextFormat(Qt::PlainText);  // the Host's and the Viewers' names, as they are
    QFont font = monospaced ? QFontDatabase::systemFont(QFontDatabase::FixedFont) : label->font();
    // The sizes are points of a 1x screen: one point is one device-independent pixel.
    font.setPixelSize(pointSize);
    font.setWeight(weight);
    label->setFont(font);
    if (secondary) {
        QPalette palette = label->palette();
        palette.setColor(QPalette::WindowText, palette.color(QPalette::PlaceholderText));
        label->setPalette(palette);
    }
    return label;
}

// The status, address and Viewer lines: selectable, wrapped, never wider than the stack.
void makeWrapping(QLabel* label) {
    label->setWordWrap(true);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    label->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Minimum);
    label->setMinimumWidth(1);
}

void bindButton(QAbstractButton* button, const std::shared_ptr<ButtonModel>& model) {
    QObject::connect(button, &QAbstractButton::clicked, button, [button, model] {
        // The model flips a check box itself; put the control back to its state first.
        if (model->kind() == ButtonModel::Kind::checkbox) button->setChecked(model->checked());
        model->press();
    });
}
}  // namespace

SummaryWindowView::SummaryWindowView(std::shared_ptr<SummaryWindowModel> model) : model_(std::move(model)) {
    // 460 points wide; 315 high, or taller when the texts need it (long address lists or
    // languages with longer words), rather than clipping them.
    setFixedWidth(SummaryWindowModel::width);
    setMinimumHeight(SummaryWindowModel::height);
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->setSpacing(0);
    if (model_->menuBar) {
        menuBar_ = new QMenuBar(this);
        for (const auto& top : model_->menuBar->items()) {
            if (!top->submenu()) continue;
            // The application menu has no title of its own: it goes by the application's name.
            const auto title = top->title().empty() ? QCoreApplication::applicationName() : q(top->title());
            auto* menu = menuBar_->addMenu(title);
            QtHostShell::bindMenu(menu, top->submenu());
        }
        outer->setMenuBar(menuBar_);
    }
    auto* stack = new QVBoxLayout();
    stack->setSpacing(10);
    stack->setContentsMargins(24, 22, 24, 20);

    outer->addLayout(stack);

    title_ = makeLabel(this, 24, QFont::DemiBold, false);
    subtitle_ = makeLabel(this, 13, QFont::Normal, true);
    status_ = makeLabel(this, 14, QFont::Medium, false);
    address_ = makeLabel(this, 12, QFont::Normal, true, true);
    viewers_ = makeLabel(this, 13, QFont::Normal, true);
    for (auto* label : {status_, address_, viewers_}) makeWrapping(label);
    // Longer languages wrap the title and subtitle rather than cut them.
    for (auto* label : {title_, subtitle_}) {
        label->setWordWrap(true);
        label->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Minimum);
        label->setMinimumWidth(1);
    }
    launchAtLogin_ = new QCheckBox(this);
    details_ = new QPushButton(this);
    refresh_ = new QPushButton(this);
    update_ = new QPushButton(this);
    version_ = makeLabel(this, 14, QFont::DemiBold, true);

    auto* row = new QHBoxLayout();
    row->setSpacing(8);
    row->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    row->addWidget(details_);
    row->addWidget(refresh_);
    row->addWidget(update_);

    stack->addWidget(title_);
    stack->addWidget(subtitle_);
    stack->addWidget(status_);
    stack->addWidget(address_);
    stack->addWidget(viewers_);
    stack->addWidget(launchAtLogin_);
    stack->addLayout(row);
    stack->addWidget(version_);
    stack->addStretch(1);

    bindButton(launchAtLogin_, model_->launchAtLoginCheckbox);
    bindButton(details_, model_->detailsButton);
    bindButton(refresh_, model_->refreshButton);
    bindButton(update_, model_->updateButton);

    auto rerender = [this] { render(); };
    model_->onChanged = rerender;
    for (const auto& label : {model_->titleLabel, model_->subtitleLabel, model_->statusLabel, model_->addressLabel,
                              model_->viewerLabel, model_->versionLabel}) {
        if (label) label->onChanged = rerender;
    }
    for (const auto& button : {model_->launchAtLoginCheckbox, model_->detailsButton, model_->refreshButton,
                               model_->updateButton}) {
        if (button) button->onChanged = rerender;
    }
    render();
}

void SummaryWindowView::render() {
    if (rendering_) return;
    rendering_ = true;
    const auto& m = *model_;
    setWindowTitle(q(m.title()));
    title_->setText(q(m.titleLabel->text()));
    subtitle_->setText(q(m.subtitleLabel->text()));
    status_->setText(q(m.statusLabel->text()));
    address_->setText(q(m.addressLabel->text()));
    viewers_->setText(q(m.viewerLabel->text()));
    version_->setText(q(m.versionLabel->text()));
    for (auto* label : {title_, subtitle_, status_, address_, viewers_}) {
        label->setMaximumWidth(SummaryWindowModel::width - 48);
    }
    auto applyButton = [](QAbstractButton* button, const ButtonModel& model) {
        button->setText(QString::fromStdString(model.title()));
        button->setEnabled(model.enabled());
        button->setVisible(!model.hidden());
        button->setToolTip(QString::fromStdString(model.toolTip()));
        if (model.kind() == ButtonModel::Kind::checkbox) button->setChecked(model.checked());
    };
    applyButton(launchAtLogin_, *m.launchAtLoginCheckbox);
    applyButton(details_, *m.detailsButton);
    applyButton(refresh_, *m.refreshButton);
    applyButton(update_, *m.updateButton);
    // The hidden Details button must not answer Return either.
    details_->setDefault(false);
    details_->setAutoDefault(false);

    applyWindowLevel(this, m, appliedFlags_,
                     Qt::Window | Qt::WindowTitleHint | Qt::WindowCloseButtonHint | Qt::WindowMinimizeButtonHint);
    fitHeightToContents();
    if (m.miniaturized()) {
        if (!isMinimized()) showMinimized();
    } else {
        followModelVisibility(this, m);
    }
    rendering_ = false;
}

int SummaryWindowView::neededHeight() const {
    if (!layout()) return SummaryWindowModel::height;
    // The menu bar sits above the 315-point content; every wrapped line below counts.
    const int menu = menuBar_ ? menuBar_->sizeHint().height() : 0;
    return std::max(SummaryWindowModel::height + menu, layout()->totalHeightForWidth(SummaryWindowModel::width));
}

void SummaryWindowView::fitHeightToContents() {
    layout()->activate();
    const int needed = neededHeight();
    if (height() == needed && minimumHeight() == needed) return;
    // Growing or shrinking keeps the window where the user (or the window manager) put it.
    const QPoint place = pos();
    setMinimumHeight(needed);
    resize(SummaryWindowModel::width, needed);
    if (isVisible() && pos() != place) move(place);
}

void SummaryWindowView::closeEvent(QCloseEvent* event) {
    // Closing only hides: the same window comes back.
    event->accept();
    if (!rendering_) model_->closedByUser();
}

}  // namespace qm
