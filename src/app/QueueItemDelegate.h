#pragma once

#include <QStyledItemDelegate>

// Draws the queue grid's cells: the progress column as a bar with its text,
// the rest as usual; a cell whose text is cut off shows it whole as a tooltip.
class QueueItemDelegate final : public QStyledItemDelegate
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(QueueItemDelegate)

public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter *painter, const QStyleOptionViewItem &option,
               const QModelIndex &index) const override;
    bool helpEvent(QHelpEvent *event, QAbstractItemView *view, const QStyleOptionViewItem &option,
                   const QModelIndex &index) override;

    // Whether the cell's text is wider than the cell.
    bool isElided(const QStyleOptionViewItem &option, const QModelIndex &index) const;
};
