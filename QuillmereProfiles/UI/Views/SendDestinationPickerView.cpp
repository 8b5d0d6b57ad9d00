#include "QuillmereProfiles/UI/Views/SendDestinationPickerView.h"
#include "Platform/Views/QtText.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPointer>
#include <QPushButton>
#include <QSplitter>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace qm {

using Controller = SendDestinationPicker::PickerController;

namespace {

QFont systemFont(int points, QFont::Weight weight = QFont::Normal, bool monospaced = false) {
    QFont result;
    if (monospaced) {
        result.setStyleHint(QFont::Monospace);
        result.setFamily("monospace");
    }
    result.setPointSize(points);
    result.setWeight(weight);
    return result;
}

// Viewer names, their details and folder paths are shown as they are, never read as markup.
QLabel* plainLabel(const QString& text) {
    auto* label = new QLabel(text);
    label->setTextFormat(Qt::PlainText);
    return label;
}

QLabel* secondaryLabel(const QString& text, const QFont& labelFont) {
    auto* label = plainLabel(text);
    label->setFont(labelFont);
    QPalette secondary = label->palette();
    secondary.setColor(QPalette::WindowText, secondary.color(QPalette::PlaceholderText));
    label->setPalette(secondary);
    return label;
}

}  // namespace

SendDestinationPickerView::SendDestinationPickerView(std::shared_ptr<Controller> controller, QWidget* parent)
    : QDialog(parent), controller_(std::move(controller)) {
    setModal(true);
    setWindowModality(Qt::ApplicationModal);
    setFixedSize(static_cast<int>(Controller::width), static_cast<int>(Controller::height));
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(20, 18, 20, 18);
    column->setSpacing(12);

    auto* header = plainLabel(q(controller_->headerText()));
    header->setFont(systemFont(13, QFont::Medium));
    header->setWordWrap(true);
    header->setFixedWidth(780);
    column->addWidget(header);

    auto* split = new QSplitter(Qt::Horizontal);
    split->setFixedSize(780, 340);
    split->setHandleWidth(1);
    // The entry pane.
    auto* left = new QWidget;
    left->setFixedWidth(250);
    auto* leftColumn = new QVBoxLayout(left);
    leftColumn->setContentsMargins(0, 0, 0, 0);
    auto* devicesTitle = new QLabel("Devices");
    devicesTitle->setFont(systemFont(12, QFont::Medium));
    leftColumn->addWidget(devicesTitle);
    devices_ = new QListWidget;
    devices_->setFixedSize(240, 305);
    leftColumn->addWidget(devices_);
    leftColumn->addStretch();
    for (const auto& entry : controller_->entryRows()) {
        auto* item = new QListWidgetItem(devices_);
        item->setSizeHint(QSize(230, 44));
        auto* cell = new QWidget;
        auto* lines = new QVBoxLayout(cell);
        lines->setContentsMargins(8, 0, 8, 0);
        lines->setSpacing(1);
        lines->setAlignment(Qt::AlignVCenter);
        auto* name = plainLabel(q(entry.title));
        name->setFont(systemFont(12, QFont::Medium));
        lines->addWidget(name);
        if (entry.detail) lines->addWidget(secondaryLabel(q(*entry.detail), systemFont(10, QFont::Normal, true)));
        if (entry.placeholder) item->setFlags(Qt::NoItemFlags);
        devices_->setItemWidget(item, cell);
    }
    split->addWidget(left);
    // The folder pane.
    auto* right = new QWidget;
    auto* rightColumn = new QVBoxLayout(right);
    rightColumn->setContentsMargins(12, 0, 0, 0);
    rightColumn->setSpacing(8);
    auto* folderTitle = new QLabel("Save into folder");
    folderTitle->setFont(systemFont(12, QFont::Medium));
    rightColumn->addWidget(folderTitle);
    auto* presetRow = new QHBoxLayout;
    for (std::size_t i = 0; i < controller_->presets().size(); ++i) {
        auto* button = new QPushButton(q(controller_->presets()[i].title));
        button->setObjectName(q(controller_->presets()[i].path));
        button->setAutoDefault(false);
        connect(button, &QPushButton::clicked, this, [this, i] { controller_->pressPreset(i); });
        presetRow->addWidget(button);
        presets_.push_back(button);
    }
    presetRow->addStretch();
    rightColumn->addLayout(presetRow);
    auto* pathRow = new QHBoxLayout;
    path_ = new QLineEdit;
    path_->setFixedWidth(410);
    path_->setPlaceholderText("~/Desktop");
    load_ = new QPushButton("Load");
    load_->setAutoDefault(false);
    pathRow->addWidget(path_);
    pathRow->addWidget(load_);
    pathRow->addStretch();
    rightColumn->addLayout(pathRow);
    tree_ = new QTreeWidget;
    tree_->setHeaderHidden(true);
    tree_->setColumnCount(1);
    tree_->setFixedSize(517, 215);  // what the pane leaves beside the entry list
    tree_->setExpandsOnDoubleClick(false);
    tree_->setTextElideMode(Qt::ElideRight);
    rightColumn->addWidget(tree_);
    status_ = secondaryLabel({}, systemFont(11));
    rightColumn->addWidget(status_);
    rightColumn->addStretch();
    split->addWidget(right);
    column->addWidget(split);
    column->addStretch();

    auto* bottom = new QHBoxLayout;
    bottom->setSpacing(10);
    remember_ = new QCheckBox("Remember this choice for next time");
    cancel_ = new QPushButton("Cancel");
    cancel_->setAutoDefault(false);
    send_ = new QPushButton("Send");
    send_->setDefault(true);
    bottom->addWidget(remember_);
    bottom->addStretch();
    bottom->addWidget(cancel_);
    bottom->addWidget(send_);
    column->addLayout(bottom);

    connect(devices_, &QListWidget::currentRowChanged, this, [this](int row) {
        if (!rendering_) controller_->selectPeerRow(row);
    });
    connect(tree_, &QTreeWidget::itemSelectionChanged, this, [this] {
        if (rendering_) return;
        const auto selected = tree_->selectedItems();
        if (!selected.isEmpty()) controller_->selectFolder(nodeOf(selected.front()));
    });
    connect(tree_, &QTreeWidget::itemDoubleClicked, this, [this](QTreeWidgetItem* item) {
        if (!rendering_) controller_->doubleClickFolder(nodeOf(item));
    });
    // The disclosure arrow does what a double click does: list a folder the first time it opens.
    connect(tree_, &QTreeWidget::itemExpanded, this, [this](QTreeWidgetItem* item) {
        auto node = nodeOf(item);
        if (!rendering_ && node && !node->expanded) controller_->doubleClickFolder(node);
    });
    connect(tree_, &QTreeWidget::itemCollapsed, this, [this](QTreeWidgetItem* item) {
        auto node = nodeOf(item);
        if (!rendering_ && node && node->expanded) controller_->doubleClickFolder(node);
    });
    connect(path_, &QLineEdit::textEdited, this, [this](const QString& text) { controller_->setPathText(text.toStdString()); });
    connect(remember_, &QCheckBox::toggled, this, [this](bool on) {
        if (!rendering_) controller_->setRemember(on);
    });
    connect(load_, &QPushButton::clicked, this, [this] { controller_->pressLoad(); });
    connect(send_, &QPushButton::clicked, this, [this] { controller_->pressSend(); });
    connect(cancel_, &QPushButton::clicked, this, [this] { controller_->pressCancel(); });

    controller_->beep = [] { QApplication::beep(); };
    // A change may come from inside one of the tree's own signals: the tree is rebuilt after it.
    controller_->onChanged = [self = QPointer<SendDestinationPickerView>(this)] {
        QTimer::singleShot(0, self.data(), [self] {
            if (self) self->render();
        });
    };
    render();
}

SendDestinationPickerView::~SendDestinationPickerView() {
    controller_->onChanged = nullptr;
    controller_->beep = nullptr;
}

QTreeWidgetItem* SendDestinationPickerView::itemFor(const Controller::FolderNode* node) const {
    for (const auto& [item, shown] : nodes_) {
        if (shown.get() == node) return item;
    }
    return nullptr;
}

Controller::FolderNodePtr SendDestinationPickerView::nodeOf(QTreeWidgetItem* item) const {
    auto found = nodes_.find(item);
    return found == nodes_.end() ? nullptr : found->second;
}

void SendDestinationPickerView::addNode(const Controller::FolderNodePtr& node, QTreeWidgetItem* parent) {
    auto* item = parent ? new QTreeWidgetItem(parent) : new QTreeWidgetItem(tree_);
    item->setText(0, q(node->name));
    item->setSizeHint(0, QSize(480, 24));
    nodes_[item] = node;
    if (node->placeholder) {
        item->setForeground(0, palette().brush(QPalette::PlaceholderText));
        item->setFlags(Qt::ItemIsEnabled);
        return;
    }
    item->setChildIndicatorPolicy(node->children && node->children->empty() ? QTreeWidgetItem::DontShowIndicator
                                                                             : QTreeWidgetItem::ShowIndicator);
    if (node->children) {
        for (const auto& child : *node->children) addNode(child, item);
    }
    item->setExpanded(node->expanded);
    if (node == controller_->selectedFolder()) item->setSelected(true);
}

void SendDestinationPickerView::render() {
    rendering_ = true;
    setWindowTitle(q(controller_->windowTitle()));
    if (!controller_->peers().empty()) devices_->setCurrentRow(static_cast<int>(controller_->selectedPeerIndex()));
    if (path_->text().toStdString() != controller_->pathText()) path_->setText(q(controller_->pathText()));
    remember_->setChecked(controller_->rememberChecked());
    send_->setEnabled(controller_->sendEnabled());
    load_->setEnabled(controller_->loadEnabled());
    tree_->clear();
    nodes_.clear();
    for (const auto& root : controller_->roots()) addNode(root, nullptr);
    if (auto* selected = itemFor(controller_->selectedFolder().get())) tree_->scrollToItem(selected);
    status_->setText(q(controller_->statusText()));
    rendering_ = false;
    if (!controller_->visible()) {
        hide();
        deleteLater();
    } else if (!isVisible()) {
        show();
        raise();
        activateWindow();
    }
}

void SendDestinationPickerView::closeEvent(QCloseEvent* event) {
    event->accept();
    controller_->windowShouldClose();
}

void SendDestinationPickerView::reject() { controller_->pressCancel(); }

}  // namespace qm
