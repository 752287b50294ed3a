#include "app/QueueItemDelegate.h"

#include "queue/QueueModel.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QHelpEvent>
#include <QPainter>
#include <QStyleOptionProgressBar>
#include <QToolTip>

namespace {

bool isProgressCell(const QModelIndex &index)
{
    return index.column() == QueueModel::ColProgress &&
           index.data(QueueModel::PhaseRole).value<EntryPhase>() != EntryPhase::None;
}

} // namespace

void QueueItemDelegate::paint(QPainter *painter, const QStyleOptionViewItem &option,
                              const QModelIndex &index) const
{
    if (!isProgressCell(index)) {
        QStyledItemDelegate::paint(painter, option, index);
        return;
    }
    // The row's background and selection first, then the bar inside it.
    QStyleOptionViewItem background = option;
    initStyleOption(&background, index);
    background.text.clear();
    const QWidget *widget = option.widget;
    QStyle *style = widget ? widget->style() : QApplication::style();
    style->drawControl(QStyle::CE_ItemViewItem, &background, painter, widget);

    QStyleOptionProgressBar bar;
    bar.QStyleOption::operator=(option);
    bar.rect = option.rect.adjusted(2, 2, -2, -2);
    bar.minimum = 0;
    bar.maximum = 100;
    bar.progress = index.data(QueueModel::ProgressRole).toInt();
    // One line, cut short: a style wraps a label wider than the bar, which
    // pushes its first line out of the row. The tooltip has the whole text.
    const int textRoom = bar.rect.width() - 2 * style->pixelMetric(QStyle::PM_ButtonMargin, nullptr, widget);
    bar.text =
        option.fontMetrics.elidedText(index.data(Qt::DisplayRole).toString(), Qt::ElideRight, textRoom);
    bar.textVisible = true;
    bar.textAlignment = Qt::AlignCenter;
    bar.state |= QStyle::State_Horizontal;
    style->drawControl(QStyle::CE_ProgressBar, &bar, painter, widget);
}

bool QueueItemDelegate::isElided(const QStyleOptionViewItem &option, const QModelIndex &index) const
{
    QStyleOptionViewItem cell = option;
    initStyleOption(&cell, index);
    const QWidget *widget = option.widget;
    QStyle *style = widget ? widget->style() : QApplication::style();
    const QRect textRect = style->subElementRect(QStyle::SE_ItemViewItemText, &cell, widget);
    // The style's own text margin on either side.
    const int margin = style->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, widget) + 1;
    return cell.fontMetrics.horizontalAdvance(cell.text) > textRect.width() - 2 * margin;
}

bool QueueItemDelegate::helpEvent(QHelpEvent *event, QAbstractItemView *view,
                                  const QStyleOptionViewItem &option, const QModelIndex &index)
{
    if (event->type() != QEvent::ToolTip || !index.isValid())
        return QStyledItemDelegate::helpEvent(event, view, option, index);
    if (isElided(option, index) || isProgressCell(index)) {
        QToolTip::showText(event->globalPos(), index.data(Qt::ToolTipRole).toString(), view);
    } else {
        QToolTip::hideText();
        event->ignore();
    }
    return true;
}
