#pragma once

#include <QAbstractItemModel>
#include <map>
#include <memory>
#include <vector>

#include "QuillmereProfiles/UI/FileTransferWindowController.h"

namespace qm {

// One outline pane of the browser as a Qt item model. Rows are the controller's nodes; the model
// keeps its own snapshot of every listed child array it has shown, so Qt never sees a node the
// controller has already replaced, and `sync` moves the snapshot to the controller's tree with
// the row notifications Qt needs (expanded rows stay expanded). Columns: name, date, size, kind.
class FileTreeItemModel final : public QAbstractItemModel {
public:
    FileTreeItemModel(std::shared_ptr<FileTransferWindowController> controller, FileTransferPane pane,
                      QObject* parent = nullptr);

    // Brings the rows under `node` (the top level when null) in line with the controller.
    void sync(const FileTransferNodePtr& node);
    // The whole tree, keeping what did not change.
    void syncAll() { sync(nullptr); }
    // Only the node's own row changed.
    void refreshRow(const FileTransferNodePtr& node);

    FileTransferNodePtr nodeAt(const QModelIndex& index) const;
    QModelIndex indexOf(const FileTransferNodePtr& node, int column = 0) const;

    QModelIndex index(int row, int column, const QModelIndex& parent = {}) const override;
    QModelIndex parent(const QModelIndex& child) const override;
    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    bool hasChildren(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    bool setData(const QModelIndex& index, const QVariant& value, int role) override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

    static const char* columnKey(int column);

private:
    using Children = std::vector<FileTransferNodePtr>;
    const Children& snapshot(const FileTransferNode* node) const;
    Children live(const FileTransferNodePtr& node) const;
    void forget(const Children& rows);
    void syncRows(const FileTransferNodePtr& node, const QModelIndex& parentIndex);

    std::shared_ptr<FileTransferWindowController> controller_;
    FileTransferPane pane_;
    mutable std::map<const FileTransferNode*, Children> snapshots_;
};

}  // namespace qm
