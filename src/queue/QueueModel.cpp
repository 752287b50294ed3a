#include "queue/QueueModel.h"

#include "common/Lang.h"

#include <QBrush>
#include <QFileInfo>

const std::array<QueueModel::ColumnInfo, QueueModel::ColumnCount> &QueueModel::columns()
{
    static const std::array<ColumnInfo, ColumnCount> info{{
        {"classify", "gridClassify", 65},
        {"filename", "gridFileName", 100},
        {"title", "gridTitle", 100},
        {"author", "gridAuthor", 70},
        {"url", "gridUrl", 100},
        {"folder", "gridFolder", 80},
        {"state", "gridState", 80},
        {"error", "gridError", 100},
        {"cvtbegintime", "gridCvtBeginTime", 100},
        {"cvtendtime", "gridCvtEndTime", 100},
        {"uploadbegintime", "gridUploadBeginTime", 100},
        {"uploadendtime", "gridUploadEndTime", 100},
        {"path", "gridPath", 100},
    }};
    return info;
}

QColor QueueModel::stateColor(const QString &state)
{
    if (state == QLatin1String("Transfering") || state == QLatin1String("Editing"))
        return QColor(0, 0, 255);
    if (state == QLatin1String("Finished"))
        return QColor(0, 160, 15);
    if (state == QLatin1String("Failed"))
        return QColor(255, 0, 0);
    if (state == QLatin1String("Canceled"))
        return QColor(170, 170, 170);
    return QColor(0, 0, 0);
}

QueueModel::QueueModel(QObject *parent) : QAbstractTableModel(parent)
{
    setBaseFont(QFont());
}

int QueueModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(m_rows.size());
}

int QueueModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant QueueModel::data(const QModelIndex &index, int role) const
{
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid))
        return {};
    const Row &row = m_rows.at(index.row());
    switch (role) {
    case Qt::DisplayRole:
    case Qt::ToolTipRole:
    case RawTextRole:
        return row.at(index.column());
    // A row's colour and weight follow its state, so they can never go stale.
    case Qt::ForegroundRole:
        return QBrush(stateColor(row.at(ColState - 1)));
    case Qt::FontRole:
        return row.at(ColState - 1) == QLatin1String("Transfering") ? m_boldFont : m_font;
    default:
        return {};
    }
}

QVariant QueueModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || section < 0 || section >= ColumnCount)
        return QAbstractTableModel::headerData(section, orientation, role);
    const ColumnInfo &info = columns().at(static_cast<size_t>(section));
    // The widths are the view's business (columns()).
    if (role == Qt::DisplayRole)
        return Lang(QStringLiteral("frmUpload"), QString::fromLatin1(info.headerKey));
    return {};
}

void QueueModel::setBaseFont(const QFont &font)
{
    m_font = font;
    m_boldFont = font;
    m_boldFont.setBold(true);
    if (!m_rows.isEmpty())
        Q_EMIT dataChanged(index(0, 0), index(rowCount() - 1, ColumnCount - 1), {Qt::FontRole});
}

QString QueueModel::SourceKind(const QString &fileName)
{
    const QString extension = QFileInfo(fileName).suffix();
    if (extension == QLatin1String("qvp"))
        return QStringLiteral("Qvp");
    if (extension == QLatin1String("zdm"))
        return QStringLiteral("Zdm");
    return QStringLiteral("Video");
}

namespace {
// The cells that adding and updating a row write; the state starts "Waiting".
void fillRow(std::array<QString, QueueModel::ColumnCount> &cells, const QString &fileName,
             const QString &title, const QString &Author, const QString &path, const QString &Url,
             const QString &folderName)
{
    cells[QueueModel::ColClassify - 1] = QueueModel::SourceKind(fileName);
    cells[QueueModel::ColFileName - 1] = fileName;
    cells[QueueModel::ColTitle - 1] = title;
    cells[QueueModel::ColAuthor - 1] = Author;
    cells[QueueModel::ColState - 1] = QStringLiteral("Waiting");
    cells[QueueModel::ColPath - 1] = path;
    cells[QueueModel::ColUrl - 1] = Url;
    cells[QueueModel::ColFolder - 1] = folderName;
}
} // namespace

void QueueModel::AddQueueRow(const QString &fileName, const QString &title, const QString &Author,
                             const QString &path, const QString &Url, const QString &folderName)
{
    const int row = rowCount();
    beginInsertRows({}, row, row);
    Row cells;
    fillRow(cells, fileName, title, Author, path, Url, folderName);
    m_rows.append(cells);
    if (m_pathIndexValid && !m_pathIndex.contains(path))
        m_pathIndex.insert(path, row);
    endInsertRows();
}

void QueueModel::UpdateQueueRow(int row, const QString &fileName, const QString &title, const QString &Author,
                                const QString &path, const QString &Url, const QString &folderName)
{
    if (row < 1 || row > rowCount())
        return;
    fillRow(m_rows[row - 1], fileName, title, Author, path, Url, folderName);
    invalidatePaths();
    emitRowChanged(row);
}

void QueueModel::SetEntryState(const QString &path, const QString &state)
{
    const int row = RowOfPath(path);
    if (row > 0)
        setCell(row, ColState, state);
}

void QueueModel::SetEntryError(const QString &path, const QString &text)
{
    const int row = RowOfPath(path);
    if (row == 0)
        return;
    setCell(row, ColError, text);
    SetEntryState(path, QStringLiteral("Failed"));
}

void QueueModel::SwapQueueRows(int a, int b)
{
    if (a < 1 || b < 1 || a > rowCount() || b > rowCount())
        return;
    m_rows.swapItemsAt(a - 1, b - 1);
    invalidatePaths();
    emitRowChanged(a);
    emitRowChanged(b);
}

bool QueueModel::anyState(const QString &state) const
{
    return std::any_of(m_rows.cbegin(), m_rows.cend(),
                       [&](const Row &row) { return row.at(ColState - 1) == state; });
}

bool QueueModel::AnyEntryTransfering() const
{
    return anyState(QStringLiteral("Transfering"));
}

bool QueueModel::AnyEntryWaiting() const
{
    return anyState(QStringLiteral("Waiting"));
}

int QueueModel::NextWaitingEntry()
{
    for (int i = 0; i < rowCount(); ++i) {
        if (m_rows.at(i).at(ColState - 1) == QLatin1String("Waiting")) {
            currentPath = m_rows.at(i).at(ColPath - 1);
            return i + 1;
        }
    }
    Q_EMIT noWaitingEntry();
    return 0;
}

int QueueModel::RowOfPath(const QString &path) const
{
    if (!m_pathIndexValid) {
        m_pathIndex.clear();
        for (int i = static_cast<int>(m_rows.size()) - 1; i >= 0; --i)
            m_pathIndex.insert(m_rows.at(i).at(ColPath - 1), i);
        m_pathIndexValid = true;
    }
    return m_pathIndex.value(path, -1) + 1;
}

QString QueueModel::GetEntryCell(const QString &path, int column) const
{
    return cell(RowOfPath(path), column);
}

void QueueModel::SetEntryCell(const QString &path, int column, const QString &text)
{
    const int row = RowOfPath(path);
    if (row > 0)
        setCell(row, column, text);
}

QString QueueModel::cell(int row, int column) const
{
    if (row < 1 || row > rowCount() || column < 1 || column > ColumnCount)
        return {};
    return m_rows.at(row - 1).at(column - 1);
}

void QueueModel::removeQueueRow(int row)
{
    if (row < 1 || row > rowCount())
        return;
    beginRemoveRows({}, row - 1, row - 1);
    m_rows.removeAt(row - 1);
    invalidatePaths();
    endRemoveRows();
}

void QueueModel::setCell(int row, int column, const QString &text)
{
    if (column < 1 || column > ColumnCount)
        return;
    m_rows[row - 1][column - 1] = text;
    if (column == ColPath)
        invalidatePaths();
    // The state colours and fonts the whole row.
    if (column == ColState)
        emitRowChanged(row);
    else
        Q_EMIT dataChanged(index(row - 1, column - 1), index(row - 1, column - 1));
}

void QueueModel::emitRowChanged(int row)
{
    Q_EMIT dataChanged(index(row - 1, 0), index(row - 1, ColumnCount - 1));
}
