#include "QuillmereProfiles/UI/Views/FileTreeItemModel.h"
#include "Platform/Views/QtText.h"

#include <QBrush>
#include <QColor>
#include <QFont>
#include <QPalette>

#include "QuillmereProfiles/QuillmereL10n.h"

namespace qm {

FileTreeItemModel::FileTreeItemModel(std::shared_ptr<FileTransferWindowController> controller, FileTransferPane pane,
                                     QObject* parent)
    : QAbstractItemModel(parent), controller_(std::move(controller)), pane_(pane) {}

const char* FileTreeItemModel::columnKey(int column) {
    static const char* keys[] = {"files", "date", "size", "kind"};
    return column >= 0 && column < 4 ? keys[column] : "files";
}

FileTreeItemModel::Children FileTreeItemModel::live(const FileTransferNodePtr& node) const {
    if (node) return node->children ? *node->children : Children{};
    return pane_ == FileTransferPane::left ? controller_->localRoots() : controller_->remoteRoots();
}

const FileTreeItemModel::Children& FileTreeItemModel::snapshot(const FileTransferNode* node) const {
    auto it = snapshots_.find(node);
    if (it == snapshots_.end()) {
        Children rows;
        if (node) {
            if (node->children) rows = *node->children;
        } else {
            rows = live(nullptr);
        }
        it = snapshots_.emplace(node, std::move(rows)).first;
    }
    return it->second;
}

FileTransferNodePtr FileTreeItemModel::nodeAt(const QModelIndex& index) const {
    if (!index.isValid()) return nullptr;
    const auto* parentNode = static_cast<const FileTransferNode*>(index.internalPointer());
    const auto& rows = snapshot(parentNode);
    return index.row() >= 0 && index.row() < static_cast<int>(rows.size()) ? rows[index.row()] : nullptr;
}

QModelIndex FileTreeItemModel::indexOf(const FileTransferNodePtr& node, int column) const {
    if (!node) return {};
    const auto parentNode = node->parent.lock();
    const auto& rows = snapshot(parentNode.get());
    for (std::size_t i = 0; i < rows.size(); ++i) {
        if (rows[i] == node) return createIndex(static_cast<int>(i), column, parentNode.get());
    }
    return {};
}

// An index's internal pointer is the parent node (null for the top level), so a row is found
// in the parent's snapshot.
QModelIndex FileTreeItemModel::index(int row, int column, const QModelIndex& parent) const {
    if (row < 0 || column < 0 || column >= 4) return {};
    const FileTransferNode* parentNode = nullptr;
    if (parent.isValid()) {
        const auto p = nodeAt(parent);
        if (!p) return {};
        parentNode = p.get();
    }
    if (row >= static_cast<int>(snapshot(parentNode).size())) return {};
    return createIndex(row, column, const_cast<FileTransferNode*>(parentNode));
}

QModelIndex FileTreeItemModel::parent(const QModelIndex& child) const {
    if (!child.isValid() || !child.internalPointer()) return {};
    const auto* parentNode = static_cast<const FileTransferNode*>(child.internalPointer());
    const auto grand = parentNode->parent.lock();
    const auto& rows = snapshot(grand.get());
    for (std::size_t i = 0; i < rows.size(); ++i) {
        if (rows[i].get() == parentNode) return createIndex(static_cast<int>(i), 0, grand.get());
    }
    return {};
}

int FileTreeItemModel::rowCount(const QModelIndex& parent) const {
    if (!parent.isValid()) return static_cast<int>(snapshot(nullptr).size());
    if (parent.column() != 0) return 0;
    const auto node = nodeAt(parent);
    return node ? static_cast<int>(snapshot(node.get()).size()) : 0;
}

int FileTreeItemModel::columnCount(const QModelIndex&) const { return 4; }

bool FileTreeItemModel::hasChildren(const QModelIndex& parent) const {
    if (!parent.isValid()) return true;
    const auto node = nodeAt(parent);
    // Containers are expandable before they are listed; expanding asks the controller to load.
    return node && (controller_->isItemExpandable(node) || rowCount(parent) > 0);
}

QVariant FileTreeItemModel::data(const QModelIndex& index, int role) const {
    const auto node = nodeAt(index);
    if (!node) return {};
    if (index.column() == 0) {
        const auto cell = controller_->rowCell(pane_, node);
        switch (role) {
        case Qt::DisplayRole: {
            auto text = cell.label;
            if (cell.sizeText) text += "    " + *cell.sizeText;
            if (cell.targetMarker) text += "    " + *cell.targetMarker;
            return QString::fromStdString(text);
        }
        case Qt::ToolTipRole: return plainToolTip(node->path);
        case Qt::CheckStateRole:
            if (!cell.hasCheckbox) return {};
            return cell.checkState == CheckState::on
                       ? Qt::Checked
                       : (cell.checkState == CheckState::mixed ? Qt::PartiallyChecked : Qt::Unchecked);
        case Qt::ForegroundRole:
            if (cell.targetMarker) return QBrush(QColor(0, 122, 255));
            if (cell.secondaryText) return QBrush(QPalette().color(QPalette::Disabled, QPalette::Text));
            return {};
        default: return {};
        }
    }
    if (role == Qt::DisplayRole) {
        return QString::fromStdString(controller_->metadataText(columnKey(index.column()), node));
    }
    if (role == Qt::ForegroundRole) return QBrush(QPalette().color(QPalette::Disabled, QPalette::Text));
    return {};
}

bool FileTreeItemModel::setData(const QModelIndex& index, const QVariant& value, int role) {
    const auto node = nodeAt(index);
    if (!node || index.column() != 0 || role != Qt::CheckStateRole) return false;
    const auto state = static_cast<Qt::CheckState>(value.toInt());
    controller_->sourceCheckboxToggled(
        {node, pane_, state == Qt::Checked ? CheckState::on : (state == Qt::PartiallyChecked ? CheckState::mixed : CheckState::off)});
    return true;
}

Qt::ItemFlags FileTreeItemModel::flags(const QModelIndex& index) const {
    const auto node = nodeAt(index);
    if (!node) return Qt::NoItemFlags;
    Qt::ItemFlags f = Qt::ItemIsEnabled;
    if (controller_->shouldSelectItem(pane_, node)) f |= Qt::ItemIsSelectable;
    if (index.column() == 0 && controller_->rowCell(pane_, node).hasCheckbox) f |= Qt::ItemIsUserCheckable;
    return f;
}

QVariant FileTreeItemModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 || section >= 4) return {};
    const auto& titles = controller_->views().columnTitles;
    return section < static_cast<int>(titles.size()) ? QString::fromStdString(titles[section]) : QString();
}

void FileTreeItemModel::forget(const Children& rows) {
    for (const auto& row : rows) {
        auto it = snapshots_.find(row.get());
        if (it == snapshots_.end()) continue;
        auto below = std::move(it->second);
        snapshots_.erase(it);
        forget(below);
    }
}

void FileTreeItemModel::syncRows(const FileTransferNodePtr& node, const QModelIndex& parentIndex) {
    auto it = snapshots_.find(node.get());
    if (it == snapshots_.end()) return;  // never shown: Qt asks when it needs the rows
    const auto fresh = live(node);
    if (it->second != fresh) {
        // Removed nodes stay alive until Qt has finished with their rows.
        const Children old = it->second;
        if (!old.empty()) {
            beginRemoveRows(parentIndex, 0, static_cast<int>(old.size()) - 1);
            forget(old);
            snapshots_[node.get()] = {};
            endRemoveRows();
        }
        if (!fresh.empty()) {
            beginInsertRows(parentIndex, 0, static_cast<int>(fresh.size()) - 1);
            snapshots_[node.get()] = fresh;
            endInsertRows();
        }
        return;
    }
    const Children rows = it->second;
    for (std::size_t i = 0; i < rows.size(); ++i) syncRows(rows[i], index(static_cast<int>(i), 0, parentIndex));
    if (!rows.empty())
        emit dataChanged(index(0, 0, parentIndex), index(static_cast<int>(rows.size()) - 1, 3, parentIndex));
}

void FileTreeItemModel::sync(const FileTransferNodePtr& node) {
    if (node) {
        const auto at = indexOf(node);
        if (!at.isValid()) return;
        syncRows(node, at);
        emit dataChanged(at, indexOf(node, 3));
        return;
    }
    snapshot(nullptr);
    syncRows(nullptr, QModelIndex());
}

void FileTreeItemModel::refreshRow(const FileTransferNodePtr& node) {
    const auto at = indexOf(node);
    if (at.isValid()) emit dataChanged(at, indexOf(node, 3));
}

}  // namespace qm
