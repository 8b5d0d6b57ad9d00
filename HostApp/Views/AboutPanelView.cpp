#include "HostApp/Views/AboutPanelView.h"

#include <QCloseEvent>
#include <QLabel>
#include <QVBoxLayout>

#include "HostApp/Views/HostIcons.h"
#include "HostApp/Views/WindowVisibility.h"

namespace qm {

AboutPanelView::AboutPanelView(std::shared_ptr<AboutPanelModel> model) : model_(std::move(model)) {
    setMinimumWidth(320);
    auto* stack = new QVBoxLayout(this);
    stack->setContentsMargins(32, 24, 32, 24);
    stack->setSpacing(8);
    icon_ = new QLabel(this);
    icon_->setPixmap(hostApplicationIcon().pixmap(64, 64));
    icon_->setAlignment(Qt::AlignHCenter);
    name_ = new QLabel(this);
    name_->setTextFormat(Qt::PlainText);
    QFont bold = name_->font();
    bold.setPixelSize(16);
    bold.setWeight(QFont::DemiBold);
    name_->setFont(bold);
    name_->setAlignment(Qt::AlignHCenter);
    version_ = new QLabel(this);
    version_->setTextFormat(Qt::PlainText);
    version_->setAlignment(Qt::AlignHCenter);
    version_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    stack->addWidget(icon_);
    stack->addWidget(name_);
    stack->addWidget(version_);
    model_->onChanged = [this] { render(); };
    render();
}

void AboutPanelView::render() {
    if (rendering_) return;
    rendering_ = true;
    const auto& m = *model_;
    setWindowTitle(QString::fromStdString(m.title()));
    name_->setText(QString::fromStdString(m.applicationName));
    version_->setText(QString::fromStdString(m.versionText));
    applyWindowLevel(this, m, appliedFlags_,
                     Qt::Window | Qt::WindowTitleHint | Qt::WindowCloseButtonHint | Qt::WindowSystemMenuHint);
    followModelVisibility(this, m);
    rendering_ = false;
}

void AboutPanelView::closeEvent(QCloseEvent* event) {
    event->accept();
    if (!rendering_) model_->closedByUser();
}

}  // namespace qm
