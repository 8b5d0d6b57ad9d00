#include "HostApp/Views/UpdateWindowViews.h"
#include "Platform/Views/QtText.h"
#include "HostApp/Views/WindowVisibility.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QStyle>
#include <QVBoxLayout>

namespace qm {

namespace {

QLabel* updateLabel(QWidget* parent, int pixelSize, QFont::Weight weight, int dimming, bool monospacedDigits = false) {
    auto* label = new QLabel(parent);
    label->setTextFormat(Qt::PlainText);  // texts of the release feed, as they are
    QFont font = monospacedDigits ? QFontDatabase::systemFont(QFontDatabase::FixedFont) : label->font();
    font.setPixelSize(pixelSize);
    font.setWeight(weight);
    label->setFont(font);
    label->setAlignment(Qt::AlignHCenter);
    label->setWordWrap(true);
    if (dimming > 0) {
        QPalette palette = label->palette();
        QColor color = palette.color(QPalette::WindowText);
        color.setAlphaF(dimming == 1 ? 0.65 : 0.45);
        palette.setColor(QPalette::WindowText, color);
        label->setPalette(palette);
    }
    return label;
}

QLabel* makeIcon(QWidget* parent) {
    auto* icon = new QLabel(parent);
    const QIcon appIcon = QApplication::windowIcon().isNull()
                              ? QApplication::style()->standardIcon(QStyle::SP_ComputerIcon)
                              : QApplication::windowIcon();
    icon->setPixmap(appIcon.pixmap(48, 48));
    icon->setFixedSize(48, 48);
    return icon;
}

void bindUpdateButton(QPushButton* button, const std::shared_ptr<ButtonModel>& model) {
    QObject::connect(button, &QPushButton::clicked, button, [model] { model->press(); });
}

void floatWindow(QWidget* widget) {
    widget->setWindowFlag(Qt::WindowStaysOnTopHint, true);
    widget->setWindowFlag(Qt::WindowMaximizeButtonHint, false);
    widget->setWindowFlag(Qt::WindowMinimizeButtonHint, false);
}

}  // namespace

CountdownWindowView::CountdownWindowView(std::shared_ptr<HostAutoUpdateCountdownWindow> model) : model_(std::move(model)) {
    setFixedSize(HostAutoUpdateCountdownWindow::width, HostAutoUpdateCountdownWindow::height);
    floatWindow(this);
    auto* stack = new QVBoxLayout(this);
    stack->setContentsMargins(20, 24, 20, 18);
    stack->setSpacing(0);
    auto* icon = makeIcon(this);
    title_ = updateLabel(this, 14, QFont::DemiBold, 0);
    info_ = updateLabel(this, 11, QFont::Normal, 1);
    status_ = updateLabel(this, 18, QFont::Medium, 0, true);
    bar_ = new QProgressBar(this);
    bar_->setFixedSize(300, 6);
    bar_->setTextVisible(false);
    disclaimer_ = updateLabel(this, 10, QFont::Normal, 2);
    skip_ = new QPushButton(this);
    skip_->setFixedWidth(150);
    update_ = new QPushButton(this);
    update_->setFixedWidth(140);
    update_->setDefault(true);  // Return
    stack->addWidget(icon, 0, Qt::AlignHCenter);
    stack->addSpacing(12);
    stack->addWidget(title_);
    stack->addSpacing(4);
    stack->addWidget(info_);
    stack->addSpacing(16);
    stack->addWidget(status_);
    stack->addSpacing(12);
    stack->addWidget(bar_, 0, Qt::AlignHCenter);
    stack->addSpacing(12);
    stack->addWidget(disclaimer_);
    stack->addStretch(1);
    auto* row = new QHBoxLayout();
    row->addWidget(skip_);
    row->addStretch(1);
    row->addWidget(update_);
    stack->addLayout(row);
    bindUpdateButton(skip_, model_->skipButton);
    bindUpdateButton(update_, model_->updateButton);

    auto rerender = [this] { render(); };
    model_->onChanged = rerender;
    for (const auto& label : {model_->titleLabel, model_->infoLabel, model_->statusLabel, model_->disclaimerLabel}) {
        label->onChanged = rerender;
    }
    model_->progressBar->onChanged = rerender;
    model_->skipButton->onChanged = rerender;
    model_->updateButton->onChanged = rerender;
    render();
}

void CountdownWindowView::render() {
    const auto& m = *model_;
    setWindowTitle(q(m.title()));
    title_->setText(q(m.titleLabel->text()));
    info_->setText(q(m.infoLabel->text()));
    status_->setText(q(m.statusLabel->text()));
    disclaimer_->setText(q(m.disclaimerLabel->text()));
    bar_->setRange(static_cast<int>(m.progressBar->minValue()), std::max(1, static_cast<int>(m.progressBar->maxValue())));
    bar_->setValue(std::max(0, static_cast<int>(m.progressBar->value())));
    skip_->setText(q(m.skipButton->title()));
    skip_->setEnabled(m.skipButton->enabled());
    update_->setText(q(m.updateButton->title()));
    update_->setEnabled(m.updateButton->enabled());
    followModelVisibility(this, m);
}

void CountdownWindowView::closeEvent(QCloseEvent* event) {
    event->accept();
    if (model_->visible()) model_->closedByUser();
}

UpdateProgressWindowView::UpdateProgressWindowView(std::shared_ptr<HostUpdateProgressWindow> model) : model_(std::move(model)) {
    setFixedSize(HostUpdateProgressWindow::width, HostUpdateProgressWindow::height);
    floatWindow(this);
    auto* stack = new QVBoxLayout(this);
    stack->setContentsMargins(20, 24, 20, 18);
    stack->setSpacing(0);
    auto* icon = makeIcon(this);
    title_ = updateLabel(this, 14, QFont::DemiBold, 0);
    status_ = updateLabel(this, 12, QFont::Normal, 1);
    bar_ = new QProgressBar(this);
    bar_->setFixedSize(300, 6);
    bar_->setTextVisible(false);
    note_ = updateLabel(this, 10, QFont::Normal, 2);
    button_ = new QPushButton(this);
    button_->setMinimumWidth(104);
    stack->addWidget(icon, 0, Qt::AlignHCenter);
    stack->addSpacing(12);
    stack->addWidget(title_);
    stack->addSpacing(6);
    stack->addWidget(status_);
    stack->addSpacing(16);
    stack->addWidget(bar_, 0, Qt::AlignHCenter);
    stack->addSpacing(12);
    stack->addWidget(note_);
    stack->addSpacing(14);
    stack->addWidget(button_, 0, Qt::AlignHCenter);
    stack->addStretch(1);
    bindUpdateButton(button_, model_->cancelButton);

    auto rerender = [this] { render(); };
    model_->onChanged = rerender;
    for (const auto& label : {model_->titleLabel, model_->statusLabel, model_->noteLabel}) label->onChanged = rerender;
    model_->progressBar->onChanged = rerender;
    model_->cancelButton->onChanged = rerender;
    render();
}

void UpdateProgressWindowView::render() {
    const auto& m = *model_;
    setWindowTitle(q(m.title()));
    title_->setText(q(m.titleLabel->text()));
    status_->setText(q(m.statusLabel->text()));
    note_->setText(q(m.noteLabel->text()));
    // A running indeterminate bar is Qt's busy bar (range 0..0); a stopped one sits empty.
    if (m.progressBar->animating()) bar_->setRange(0, 0);
    else {
        bar_->setRange(0, 1);
        bar_->setValue(0);
    }
    button_->setText(q(m.cancelButton->title()));
    button_->setVisible(!m.cancelButton->hidden());
    button_->setEnabled(m.cancelButton->enabled());
    followModelVisibility(this, m);
}

void UpdateProgressWindowView::closeEvent(QCloseEvent* event) {
    event->accept();
    if (model_->visible()) model_->closedByUser();
}

}  // namespace qm
