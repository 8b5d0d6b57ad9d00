#include "HostApp/Views/DetailWindowView.h"
#include "Platform/Views/QtText.h"
#include "HostApp/Views/WindowVisibility.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QScrollArea>
#include <QVBoxLayout>
#include <utility>

namespace qm {
namespace {

// Lines that show Viewer names, display names and status texts, as the characters they hold.
QLabel* plainLabel() {
    auto* label = new QLabel;
    label->setTextFormat(Qt::PlainText);
    return label;
}

QLabel* wrappingLabel() {
    auto* label = plainLabel();
    label->setWordWrap(true);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    return label;
}

}  // namespace

DetailWindowView::DetailWindowView(std::shared_ptr<DetailWindowModel> model) : model_(std::move(model)) {
    resize(560, 520);
    auto* stack = new QVBoxLayout(this);
    stack->setContentsMargins(20, 20, 20, 20);
    stack->setSpacing(10);
    title_ = plainLabel();
    QFont titleFont = title_->font();
    titleFont.setPixelSize(20);
    titleFont.setWeight(QFont::DemiBold);
    title_->setFont(titleFont);
    subtitle_ = wrappingLabel();
    refresh_ = new QPushButton;
    copyLogs_ = new QPushButton;
    launchAtLogin_ = new QCheckBox;
    physicalDisplay_ = plainLabel();
    status_ = wrappingLabel();
    audioStatus_ = wrappingLabel();
    address_ = wrappingLabel();
    popup_ = new QComboBox;
    useDisplay_ = new QPushButton;
    virtualDisplay_ = new QCheckBox;
    diagnostics_ = wrappingLabel();
    diagnostics_->setAlignment(Qt::AlignTop | Qt::AlignLeft);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(refresh_);
    buttons->addWidget(copyLogs_);
    buttons->addStretch(1);
    auto* row = new QHBoxLayout;
    row->addWidget(physicalDisplay_);
    row->addWidget(popup_, 1);
    row->addWidget(useDisplay_);
    auto* scroll = new QScrollArea;
    scroll->setWidgetResizable(true);
    scroll->setWidget(diagnostics_);
    stack->addWidget(title_);
    stack->addWidget(subtitle_);
    for (QWidget* widget : std::initializer_list<QWidget*>{status_, audioStatus_, address_}) stack->addWidget(widget);
    stack->addWidget(launchAtLogin_);
    stack->addLayout(buttons);
    stack->addLayout(row);
    stack->addWidget(virtualDisplay_);
    stack->addWidget(scroll, 1);

    // The user's pick goes to the model; the model's state is drawn back by render().
    connect(popup_, qOverload<int>(&QComboBox::activated), this, [this](int index) {
        if (index >= 0) model_->displayPopup->selectItem(static_cast<std::size_t>(index));
    });
    connect(useDisplay_, &QPushButton::clicked, this, [this] { model_->useDisplayButton->press(); });
    connect(refresh_, &QPushButton::clicked, this, [this] { model_->refreshButton->press(); });
    connect(copyLogs_, &QPushButton::clicked, this, [this] { model_->copyLogsButton->press(); });
    connect(launchAtLogin_, &QCheckBox::clicked, this, [this] {
        launchAtLogin_->setChecked(model_->launchAtLoginCheckbox->checked());
        model_->launchAtLoginCheckbox->press();
    });
    connect(virtualDisplay_, &QCheckBox::clicked, this, [this] {
        // The model flips the check box itself.
        virtualDisplay_->setChecked(model_->virtualDisplayCheckbox->checked());
        model_->virtualDisplayCheckbox->press();
    });

    auto rerender = [this] { render(); };
    model_->onChanged = rerender;
    for (const auto& label : {model_->titleLabel, model_->subtitleLabel, model_->physicalDisplayLabel, model_->statusLabel,
                              model_->audioStatusLabel, model_->addressLabel, model_->detailLabel}) {
        if (label) label->onChanged = rerender;
    }
    for (const auto& button : {model_->refreshButton, model_->copyLogsButton, model_->launchAtLoginCheckbox}) {
        if (button) button->onChanged = rerender;
    }
    model_->displayPopup->onChanged = rerender;
    model_->useDisplayButton->onChanged = rerender;
    model_->virtualDisplayCheckbox->onChanged = rerender;
    render();
}

void DetailWindowView::render() {
    if (rendering_) return;
    rendering_ = true;
    const auto& m = *model_;
    setWindowTitle(q(m.title()));
    title_->setText(q(m.titleLabel->text()));
    subtitle_->setText(q(m.subtitleLabel->text()));
    physicalDisplay_->setText(q(m.physicalDisplayLabel->text()));
    using Binding = std::pair<QAbstractButton*, ButtonModel*>;
    for (auto [button, model] : std::initializer_list<Binding>{{refresh_, m.refreshButton.get()},
                                                               {copyLogs_, m.copyLogsButton.get()},
                                                               {launchAtLogin_, m.launchAtLoginCheckbox.get()}}) {
        button->setText(q(model->title()));
        button->setVisible(!model->hidden());
        button->setEnabled(model->enabled());
        button->setToolTip(q(model->toolTip()));
        if (model->kind() == ButtonModel::Kind::checkbox) button->setChecked(model->checked());
    }
    status_->setText(q(m.statusLabel->text()));
    audioStatus_->setText(q(m.audioStatusLabel->text()));
    address_->setText(q(m.addressLabel->text()));
    diagnostics_->setText(q(m.detailLabel->text()));

    const auto& popup = *m.displayPopup;
    popup_->blockSignals(true);
    popup_->clear();
    for (const auto& item : popup.items()) popup_->addItem(q(item.title));
    popup_->setCurrentIndex(popup.selectedIndex() ? static_cast<int>(*popup.selectedIndex()) : -1);
    popup_->setEnabled(popup.enabled());
    popup_->blockSignals(false);

    useDisplay_->setText(q(m.useDisplayButton->title()));
    useDisplay_->setEnabled(m.useDisplayButton->enabled());
    virtualDisplay_->setText(q(m.virtualDisplayCheckbox->title()));
    virtualDisplay_->setEnabled(m.virtualDisplayCheckbox->enabled());
    virtualDisplay_->setChecked(m.virtualDisplayCheckbox->checked());

    followModelVisibility(this, m);
    rendering_ = false;
}

void DetailWindowView::closeEvent(QCloseEvent* event) {
    event->accept();
    if (!rendering_) model_->closedByUser();
}

}  // namespace qm
