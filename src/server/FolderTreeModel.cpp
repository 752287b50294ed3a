#include "server/FolderTreeModel.h"

#include <QBrush>
#include <QIcon>
#include <QPalette>

FolderTreeModel::FolderTreeModel(const CFolderTree &tree, QObject *parent)
    : QAbstractItemModel(parent), m_tree(tree)
{}

void FolderTreeModel::beginRebuild()
{
    if (m_resetting)
        return;
    m_resetting = true;
    beginResetModel();
    m_filled = false;
    m_children.clear();
    m_row.clear();
}

void FolderTreeModel::refill(const QString &serverText)
{
    beginRebuild();
    m_serverText = serverText;
    // Nodes stand in insertion order, which is each parent's child order.
    const auto &nodes = m_tree.Nodes();
    m_children.reserve(qsizetype(nodes.size()) / 2 + 1);
    m_row.reserve(qsizetype(nodes.size()));
    for (const CFolderNode *node : nodes) {
        if (!node->Parent)
            continue;
        auto &siblings = m_children[node->Parent];
        m_row.insert(node, int(siblings.size()));
        siblings.push_back(node);
    }
    m_filled = m_tree.Root != nullptr;
    m_resetting = false;
    endResetModel();
}

QModelIndex FolderTreeModel::indexOf(const CFolderNode *node) const
{
    if (!m_filled || !node)
        return {};
    if (node == m_tree.Root)
        return createIndex(0, 0, node);
    const auto row = m_row.constFind(node);
    return row == m_row.cend() ? QModelIndex() : createIndex(*row, 0, node);
}

const CFolderNode *FolderTreeModel::nodeAt(const QModelIndex &index) const
{
    if (!m_filled || !index.isValid() || index.model() != this)
        return nullptr;
    return static_cast<const CFolderNode *>(index.constInternalPointer());
}

QModelIndex FolderTreeModel::index(int row, int column, const QModelIndex &parent) const
{
    if (!m_filled || column != 0 || row < 0)
        return {};
    if (!parent.isValid())
        return row == 0 ? createIndex(0, 0, m_tree.Root) : QModelIndex();
    const auto children = m_children.constFind(nodeAt(parent));
    if (children == m_children.cend() || row >= int(children->size()))
        return {};
    return createIndex(row, 0, (*children)[size_t(row)]);
}

QModelIndex FolderTreeModel::parent(const QModelIndex &child) const
{
    const CFolderNode *node = nodeAt(child);
    return node ? indexOf(node->Parent) : QModelIndex();
}

int FolderTreeModel::rowCount(const QModelIndex &parent) const
{
    if (!m_filled || parent.column() > 0)
        return 0;
    if (!parent.isValid())
        return 1;
    const auto children = m_children.constFind(nodeAt(parent));
    return children == m_children.cend() ? 0 : int(children->size());
}

int FolderTreeModel::columnCount(const QModelIndex &) const
{
    return 1;
}

QVariant FolderTreeModel::data(const QModelIndex &index, int role) const
{
    const CFolderNode *node = nodeAt(index);
    if (!node)
        return {};
    const bool server = node == m_tree.Root;
    switch (role) {
    case Qt::DisplayRole:
    case Qt::ToolTipRole:
        return server ? m_serverText : node->Name;
    case Qt::DecorationRole:
        return server ? QIcon::fromTheme(QStringLiteral("network-server"))
                      : QIcon::fromTheme(QStringLiteral("folder"));
    case Qt::ForegroundRole:
        if (!server && !node->Uploadable)
            return QBrush(QPalette().color(QPalette::Disabled, QPalette::Text));
        return {};
    case IdRole:
        return node->ID;
    case UploadableRole:
        return !server && node->Uploadable;
    default:
        return {};
    }
}

Qt::ItemFlags FolderTreeModel::flags(const QModelIndex &index) const
{
    const CFolderNode *node = nodeAt(index);
    if (!node)
        return Qt::NoItemFlags;
    // Only a folder that takes uploads can be chosen.
    if (node != m_tree.Root && node->Uploadable)
        return Qt::ItemIsEnabled | Qt::ItemIsSelectable;
    return Qt::ItemIsEnabled;
}
