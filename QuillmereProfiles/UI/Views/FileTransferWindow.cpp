#include "QuillmereProfiles/UI/Views/FileTransferWindow.h"
#include "Platform/Views/QtText.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTreeView>
#include <QVBoxLayout>

#include "QuillmereProfiles/UI/Views/FileTreeItemModel.h"

namespace qm {
namespace {

// The window's texts name Hosts, folders and items as they are: no label reads them as markup.
QLabel* plainLabel(QWidget* parent) {
    auto* label = new QLabel(parent);
    label->setTextFormat(Qt::PlainText);
    return label;
}

QLabel* secondaryLabel(QWidget* parent) {
    auto* label = plainLabel(parent);
    QFont f = label->font();
    f.setPointSizeF(f.pointSizeF() * 0.85);
    label->setFont(f);
    label->setForegroundRole(QPalette::PlaceholderText);
    return label;
}

constexpr int paneWidth = 405;
constexpr int paneRowHeight = 380;
const QColor executeTint(255, 59, 48);

Qt::CheckState qtState(CheckState s) {
    return s == CheckState::on ? Qt::Checked : (s == CheckState::mixed ? Qt::PartiallyChecked : Qt::Unchecked);
}

}  // namespace

FileTransferWindow::FileTransferWindow(std::shared_ptr<FileTransferWindowController> controller, QWidget* parent)
    : QWidget(parent), controller_(std::move(controller)) {
    const auto& v = controller_->views();
    setWindowTitle(q(v.windowTitle));
    resize(static_cast<int>(v.width), static_cast<int>(v.height));

    auto* root = new QVBoxLayout(this);
    root->setSpacing(10);
    root->setContentsMargins(20, 16, 20, 14);

    auto* header = new QHBoxLayout;
    header->setSpacing(8);
    hostLabel_ = plainLabel(this);
    QFont medium = hostLabel_->font();
    medium.setPointSize(13);
    medium.setWeight(QFont::Medium);
    hostLabel_->setFont(medium);
    hostSelector_ = new QComboBox(this);
    hostSelector_->setMinimumWidth(200);
    refreshButton_ = new QPushButton(this);
    header->addWidget(hostLabel_);
    header->addWidget(hostSelector_);
    header->addWidget(refreshButton_);
    header->addStretch(1);
    root->addLayout(header);

    auto* direction = new QHBoxLayout;
    direction->setSpacing(0);
    directionGroup_ = new QButtonGroup(this);
    directionGroup_->setExclusive(true);
    for (int i = 0; i < 2; ++i) {
        directionButtons_[i] = new QPushButton(this);
        directionButtons_[i]->setCheckable(true);
        directionGroup_->addButton(directionButtons_[i], i);
        direction->addWidget(directionButtons_[i]);
    }
    direction->addStretch(1);
    root->addLayout(direction);

    // The panes keep their size when the window grows: 405 points each around a 50-point arrow
    // column, in a row 380 points high; the room left over stays empty.
    auto* panesRow = new QWidget(this);
    panesRow->setFixedHeight(paneRowHeight);
    auto* panes = new QHBoxLayout(panesRow);
    panes->setSpacing(0);
    panes->setContentsMargins(0, 0, 0, 0);
    left_ = buildFilePane(FileTransferPane::left, true);
    right_ = buildFilePane(FileTransferPane::right, false);
    leftTree_ = left_.tree;
    rightTree_ = right_.tree;
    arrowLabel_ = plainLabel(this);
    QFont arrowFont = arrowLabel_->font();
    arrowFont.setPointSize(20);
    arrowLabel_->setFont(arrowFont);
    arrowLabel_->setAlignment(Qt::AlignCenter);
    arrowLabel_->setFixedWidth(50);
    left_.container->setFixedWidth(paneWidth);
    right_.container->setFixedWidth(paneWidth);
    panes->addWidget(left_.container);
    panes->addWidget(arrowLabel_);
    panes->addWidget(right_.container);
    panes->addStretch(1);
    root->addWidget(panesRow);

    auto* options = new QHBoxLayout;
    options->setSpacing(12);
    backupCheckbox_ = new QCheckBox(this);
    summaryLabel_ = secondaryLabel(this);
    options->addWidget(backupCheckbox_);
    options->addWidget(summaryLabel_, 1);
    root->addLayout(options);

    statusLabel_ = secondaryLabel(this);
    statusLabel_->setAlignment(Qt::AlignCenter);
    statusLabel_->setMaximumWidth(760);
    root->addWidget(statusLabel_, 0, Qt::AlignHCenter);

    progressRow_ = new QWidget(this);
    auto* progress = new QHBoxLayout(progressRow_);
    progress->setSpacing(10);
    progress->setContentsMargins(0, 0, 0, 0);
    progressBar_ = new QProgressBar(progressRow_);
    progressBar_->setFixedWidth(600);
    progressBar_->setTextVisible(false);
    cancelButton_ = new QPushButton(progressRow_);
    progress->addWidget(progressBar_);
    progress->addWidget(cancelButton_);
    root->addWidget(progressRow_, 0, Qt::AlignHCenter);

    executeButton_ = new QPushButton(this);
    QFont bold = executeButton_->font();
    bold.setPointSize(16);
    bold.setBold(true);
    executeButton_->setFont(bold);
    // The one action of the window stands out in red; dimmed while it cannot run.
    QPalette tint = executeButton_->palette();
    tint.setColor(QPalette::ButtonText, executeTint);
    QColor dimmed = executeTint;
    dimmed.setAlpha(110);
    tint.setColor(QPalette::Disabled, QPalette::ButtonText, dimmed);
    executeButton_->setPalette(tint);
    executeButton_->setDefault(true);
    root->addWidget(executeButton_, 0, Qt::AlignHCenter);
    root->addStretch(1);

    // Actions.
    connect(hostSelector_, qOverload<int>(&QComboBox::activated), this, [this](int index) {
        if (!rendering_ && index >= 0) controller_->selectHostItem(static_cast<std::size_t>(index));
    });
    connect(refreshButton_, &QPushButton::clicked, this, [this] { controller_->refreshClicked(); });
    connect(directionGroup_, &QButtonGroup::idClicked, this, [this](int id) { controller_->selectDirectionSegment(id); });
    connect(backupCheckbox_, &QCheckBox::clicked, this,
            [this](bool on) { controller_->setBackupCheckboxState(on ? CheckState::on : CheckState::off); });
    connect(cancelButton_, &QPushButton::clicked, this, [this] { controller_->cancelActiveTransfer(); });
    connect(executeButton_, &QPushButton::clicked, this, [this] { controller_->executeTransfer(); });

    FileTransferWindowController::ViewCallbacks callbacks;
    callbacks.stateChanged = [this] { render(); };
    callbacks.reloadData = [this](FileTransferPane pane) { model(pane)->syncAll(); };
    callbacks.reloadItem = [this](FileTransferPane pane, const FileTransferNodePtr& node, bool children) {
        if (children) {
            model(pane)->sync(node);
        } else {
            model(pane)->refreshRow(node);
        }
    };
    callbacks.expandItem = [this](FileTransferPane pane, const FileTransferNodePtr& node) {
        const auto at = model(pane)->indexOf(node);
        if (at.isValid()) tree(pane)->expand(at);
    };
    callbacks.deselectAll = [this](FileTransferPane pane) {
        rendering_ = true;
        tree(pane)->clearSelection();
        rendering_ = false;
    };
    callbacks.presentFolderPanel = [this](const FolderAuthorizationRequest& r) { presentFolderPanel(r); };
    callbacks.bringFolderPanelToFront = [this] {
        if (folderPanel_) {
            folderPanel_->raise();
            folderPanel_->activateWindow();
        }
    };
    callbacks.bringWindowToFront = [this] {
        show();
        raise();
        activateWindow();
    };
    callbacks.beginSheet = [this](const FileTransferAlert& alert) {
        auto* box = new QMessageBox(QMessageBox::Information, q(alert.title), q(alert.message), QMessageBox::Ok, this);
        box->setTextFormat(Qt::PlainText);
        box->button(QMessageBox::Ok)->setText(q(alert.button));
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->setWindowModality(Qt::WindowModal);
        box->open();
    };
    controller_->setViewCallbacks(std::move(callbacks));
    render();
}

FileTransferWindow::~FileTransferWindow() { controller_->setViewCallbacks({}); }

FileTransferWindow::Pane FileTransferWindow::buildFilePane(FileTransferPane pane, bool showsFolderAccess) {
    Pane p;
    p.container = new QWidget(this);
    auto* stack = new QVBoxLayout(p.container);
    stack->setSpacing(4);
    stack->setContentsMargins(0, 0, 0, 0);

    auto* titleRow = new QHBoxLayout;
    titleRow->setSpacing(8);
    p.title = plainLabel(p.container);
    QFont semibold = p.title->font();
    semibold.setWeight(QFont::DemiBold);
    p.title->setFont(semibold);
    titleRow->addWidget(p.title);
    titleRow->addStretch(1);
    if (showsFolderAccess) {
        grantButton_ = new QPushButton(p.container);
        connect(grantButton_, &QPushButton::clicked, this, [this] { controller_->addLocalFolder(); });
        titleRow->addWidget(grantButton_);
    }
    stack->addLayout(titleRow);

    auto* itemModel = new FileTreeItemModel(controller_, pane, this);
    (pane == FileTransferPane::left ? leftModel_ : rightModel_) = itemModel;
    p.tree = new QTreeView(p.container);
    p.tree->setModel(itemModel);
    p.tree->setMinimumHeight(200);
    p.tree->setIndentation(16);
    p.tree->setUniformRowHeights(true);
    p.tree->setExpandsOnDoubleClick(true);
    p.tree->setSelectionMode(QAbstractItemView::ExtendedSelection);
    p.tree->header()->setStretchLastSection(false);
    p.tree->header()->setSectionsClickable(true);
    p.tree->header()->setSortIndicatorShown(true);
    p.tree->header()->setSortIndicator(0, Qt::AscendingOrder);
    // Name, date, size and kind; wider together than the pane, which scrolls sideways.
    p.tree->setColumnWidth(0, 400);
    p.tree->setColumnWidth(1, 150);
    p.tree->setColumnWidth(2, 90);
    p.tree->setColumnWidth(3, 110);
    stack->addWidget(p.tree, 1);

    connect(p.tree, &QTreeView::expanded, this, [this, pane](const QModelIndex& index) {
        if (auto node = model(pane)->nodeAt(index)) {
            controller_->shouldExpandItem(pane, node);
            model(pane)->sync(node);
        }
    });
    connect(p.tree, &QTreeView::doubleClicked, this, [this, pane](const QModelIndex& index) {
        controller_->outlineViewDoubleClicked(pane, model(pane)->nodeAt(index));
    });
    connect(p.tree->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            [this, pane] { selectionChanged(pane); });
    connect(p.tree->header(), &QHeaderView::sortIndicatorChanged, this, [this](int section, Qt::SortOrder order) {
        if (rendering_) return;
        controller_->sortDescriptorsDidChange(
            {{std::string(section == 0 ? "name" : FileTreeItemModel::columnKey(section)), order == Qt::AscendingOrder}});
        // One order for both panes.
        rendering_ = true;
        leftTree_->header()->setSortIndicator(section, order);
        rightTree_->header()->setSortIndicator(section, order);
        rendering_ = false;
    });

    auto* footer = new QHBoxLayout;
    footer->setSpacing(8);
    p.topCheckbox = new QCheckBox(p.container);
    p.topCheckbox->setTristate(true);
    connect(p.topCheckbox, &QCheckBox::clicked, this, [this, pane, box = p.topCheckbox] {
        // A click on mixed lands on on, as a two-state click would.
        if (box->checkState() == Qt::PartiallyChecked) box->setCheckState(Qt::Checked);
        controller_->setTopCheckboxState(pane, box->checkState() == Qt::Checked ? CheckState::on : CheckState::off);
    });
    p.status = secondaryLabel(p.container);
    footer->addWidget(p.topCheckbox);
    footer->addWidget(p.status, 1);
    stack->addLayout(footer);
    return p;
}

FileTreeItemModel* FileTransferWindow::model(FileTransferPane pane) const {
    return pane == FileTransferPane::left ? leftModel_ : rightModel_;
}

QTreeView* FileTransferWindow::tree(FileTransferPane pane) const {
    return pane == FileTransferPane::left ? leftTree_ : rightTree_;
}

void FileTransferWindow::selectionChanged(FileTransferPane pane) {
    if (rendering_) return;
    std::vector<FileTransferNodePtr> selected;
    for (const auto& index : tree(pane)->selectionModel()->selectedRows()) {
        if (auto node = model(pane)->nodeAt(index)) selected.push_back(node);
    }
    controller_->outlineViewSelectionDidChange(pane, std::move(selected));
}

void FileTransferWindow::render() {
    rendering_ = true;
    const auto& v = controller_->views();
    hostLabel_->setText(q(v.hostLabel));
    refreshButton_->setText(q(v.refreshTitle));
    hostSelector_->clear();
    for (const auto& item : v.hostSelector.items) hostSelector_->addItem(q(item.title), q(item.identifier));
    if (v.hostSelector.selectedIndex) hostSelector_->setCurrentIndex(static_cast<int>(*v.hostSelector.selectedIndex));
    hostSelector_->setEnabled(v.hostSelector.enabled);
    for (int i = 0; i < 2 && i < static_cast<int>(v.directionLabels.size()); ++i) {
        directionButtons_[i]->setText(q(v.directionLabels[i]));
        directionButtons_[i]->setChecked(v.directionSelectedSegment == i);
    }
    arrowLabel_->setText(q(v.arrowLabel.text));
    const std::pair<Pane*, const FileTransferWindowViews::Checkbox*> boxes[] = {{&left_, &v.leftTopCheckbox},
                                                                                {&right_, &v.rightTopCheckbox}};
    for (const auto& [pane, box] : boxes) {
        pane->topCheckbox->setText(q(box->title));
        pane->topCheckbox->setCheckState(qtState(box->state));
        pane->topCheckbox->setVisible(!box->hidden);
    }
    left_.title->setText(q(v.leftTitleLabel.text));
    right_.title->setText(q(v.rightTitleLabel.text));
    left_.status->setText(q(v.leftStatusLabel.text));
    right_.status->setText(q(v.rightStatusLabel.text));
    leftTree_->setSelectionMode(v.leftOutlineView.allowsMultipleSelection ? QAbstractItemView::ExtendedSelection
                                                                          : QAbstractItemView::SingleSelection);
    rightTree_->setSelectionMode(v.rightOutlineView.allowsMultipleSelection ? QAbstractItemView::ExtendedSelection
                                                                            : QAbstractItemView::SingleSelection);
    if (grantButton_) {
        grantButton_->setText(q(v.grantFolderAccessTitle));
        grantButton_->setToolTip(q(v.grantFolderAccessTooltip));
    }
    backupCheckbox_->setText(q(v.backupCheckbox.title));
    backupCheckbox_->setChecked(v.backupCheckbox.state == CheckState::on);
    summaryLabel_->setText(q(v.transferSummaryLabel.text));
    statusLabel_->setText(q(v.transferStatusLabel.text));
    progressRow_->setVisible(!v.transferProgressRowHidden);
    const auto& bar = v.transferProgressIndicator;
    if (bar.indeterminate) {
        progressBar_->setRange(0, 0);
    } else {
        // Scaled so byte counts above INT_MAX still fit.
        progressBar_->setRange(0, 1000);
        const double span = bar.maxValue - bar.minValue;
        progressBar_->setValue(span > 0 ? static_cast<int>((bar.value - bar.minValue) / span * 1000.0) : 0);
    }
    cancelButton_->setText(q(v.cancelTransferButton.title));
    cancelButton_->setVisible(!v.cancelTransferButton.hidden);
    cancelButton_->setEnabled(v.cancelTransferButton.enabled);
    executeButton_->setText(q(v.executeButton.title));
    executeButton_->setEnabled(v.executeButton.enabled);
    setVisible(v.visible);
    rendering_ = false;
}

void FileTransferWindow::presentFolderPanel(const FolderAuthorizationRequest& request) {
    folderPanel_ = new QFileDialog(this, q(request.message), q(request.directory.string()));
    folderPanel_->setFileMode(QFileDialog::Directory);
    folderPanel_->setOption(QFileDialog::ShowDirsOnly, true);
    folderPanel_->setLabelText(QFileDialog::Accept, q(request.prompt));
    folderPanel_->setAttribute(Qt::WA_DeleteOnClose);
    connect(folderPanel_, &QFileDialog::finished, this, [this](int result) {
        std::optional<std::filesystem::path> chosen;
        if (result == QDialog::Accepted && folderPanel_ && !folderPanel_->selectedFiles().isEmpty())
            chosen = folderPanel_->selectedFiles().front().toStdString();
        folderPanel_ = nullptr;
        controller_->folderPanelFinished(chosen);
    });
    folderPanel_->open();
}

void FileTransferWindow::closeEvent(QCloseEvent* event) {
    controller_->windowClosed();
    event->accept();
}

}  // namespace qm
