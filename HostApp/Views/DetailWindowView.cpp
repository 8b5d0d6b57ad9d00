#include "HostApp/Views/DetailWindowView.h"
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

namespace qm {
namespace {

QString q(const std::string& text) { return QString::fromStdString(text); }

QLabel* wrappingLabel() {
    auto* label = new QLabel;
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
    status_ = wrappingLabel();
    audioStatus_ = wrappingLabel();
    address_ = wrappingLabel();
    popup_ = new QComboBox;
    useDisplay_ = new QPushButton;
    virtualDisplay_ = new QCheckBox;
    diagnostics_ = wrappingLabel();
    diagnostics_->setAlignment(Qt::AlignTop | Qt::AlignLeft);
    auto* row = new QHBoxLayout;
    row->addWidget(popup_, 1);
    row->addWidget(useDisplay_);
    auto* scroll = new QScrollArea;
    scroll->setWidgetResizable(true);
    scroll->setWidget(diagnostics_);
    for (QWidget* widget : std::initializer_list<QWidget*>{status_, audioStatus_, address_}) stack->addWidget(widget);
    stack->addLayout(row);
    stack->addWidget(virtualDisplay_);
    stack->addWidget(scroll, 1);

    // The user's pick goes to the model; the model's state is drawn back by render().
    connect(popup_, qOverload<int>(&QComboBox::activated), this, [this](int index) {
        if (index >= 0) model_->displayPopup->selectItem(static_cast<std::size_t>(index));
    });
    connect(useDisplay_, &QPushButton::clicked, this, [this] { model_->useDisplayButton->press(); });
    connect(virtualDisplay_, &QCheckBox::clicked, this, [this] {
        // The model flips the check box itself.
        virtualDisplay_->setChecked(model_->virtualDisplayCheckbox->checked());
        model_->virtualDisplayCheckbox->press();
    });

    auto rerender = [this] { render(); };
    model_->onChanged = rerender;
    for (const auto& label : {model_->statusLabel, model_->audioStatusLabel, model_->addressLabel, model_->detailLabel}) {
        if (label) label->onChanged = rerender;
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
