#pragma once

#include "server/CFolderTree.h"

#include <QAbstractItemModel>
#include <QHash>
#include <vector>

// The folder tree as an item model for the drop-down tree view: the server
// on top, grey folders that take no upload, selectable ones that do. It
// reads the tree's nodes directly, so filling it costs one pass over the
// tree however large the list is; the view asks only for what it shows.
class FolderTreeModel final : public QAbstractItemModel
{
    Q_OBJECT
public:
    enum Role
    {
        IdRole = Qt::UserRole + 1,
        UploadableRole
    };

    explicit FolderTreeModel(const CFolderTree &tree, QObject *parent = nullptr);

    // The tree's nodes are about to be replaced; the model shows nothing until refill().
    void beginRebuild();
    // Takes the tree as it now is, under the server text as typed.
    void refill(const QString &serverText);

    QModelIndex indexOf(const CFolderNode *node) const;
    const CFolderNode *nodeAt(const QModelIndex &index) const;

    QModelIndex index(int row, int column, const QModelIndex &parent = {}) const override;
    QModelIndex parent(const QModelIndex &child) const override;
    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex &index) const override;

private:
    const CFolderTree &m_tree;
    QString m_serverText;
    bool m_filled = false;
    bool m_resetting = false;
    QHash<const CFolderNode *, std::vector<const CFolderNode *>> m_children;
    QHash<const CFolderNode *, int> m_row;
};
