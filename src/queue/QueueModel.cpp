#include "queue/QueueModel.h"

#include "common/Lang.h"

#include <QBrush>
#include <QFileInfo>
#include <algorithm>

namespace {

// The cells kept as plain text beside the record: the error and the times.
template <typename Entry> auto *textCell(Entry &entry, int column)
{
    using Text = decltype(&entry.error);
    switch (column) {
    case QueueModel::ColError:
        return &entry.error;
    case QueueModel::ColCvtBeginTime:
        return &entry.cvtBeginTime;
    case QueueModel::ColCvtEndTime:
        return &entry.cvtEndTime;
    case QueueModel::ColUploadBeginTime:
        return &entry.uploadBeginTime;
    case QueueModel::ColUploadEndTime:
        return &entry.uploadEndTime;
    default:
        return Text{};
    }
}

QueueEntry makeEntry(const CVideoItem &record)
{
    QueueEntry entry;
    entry.key = record.path;
    entry.item = record;
    entry.item.title = entry.item.title.trimmed();
    entry.item.Author = entry.item.Author.trimmed();
    entry.item.path = entry.item.path.trimmed();
    return entry;
}

} // namespace

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

QColor QueueModel::stateColor(EntryState state)
{
    switch (state) {
    case EntryState::Transfering:
    case EntryState::Editing:
        return QColor(0, 0, 255);
    case EntryState::Finished:
        return QColor(0, 160, 15);
    case EntryState::Failed:
        return QColor(255, 0, 0);
    case EntryState::Canceled:
        return QColor(170, 170, 170);
    case EntryState::Waiting:
        break;
    }
    return QColor(0, 0, 0);
}

QueueModel::QueueModel(const LanguageTable &language, QObject *parent)
    : QAbstractTableModel(parent), m_language(language)
{
    setBaseFont(QFont());
}

int QueueModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : static_cast<int>(m_entries.size());
}

int QueueModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant QueueModel::data(const QModelIndex &index, int role) const
{
    if (!checkIndex(index, CheckIndexOption::IndexIsValid | CheckIndexOption::ParentIsInvalid))
        return {};
    const QueueEntry &entry = m_entries.at(index.row());
    switch (role) {
    case Qt::DisplayRole:
    case Qt::ToolTipRole:
        return cell(index.row(), index.column());
    case RawValueRole:
        if (index.column() == ColState)
            return QVariant::fromValue(entry.state);
        return cell(index.row(), index.column());
    case StateRole:
        return QVariant::fromValue(entry.state);
    case ProgressRole:
        return entry.progress;
    // A row's colour and weight follow its state, so they can never go stale.
    case Qt::ForegroundRole:
        return QBrush(stateColor(entry.state));
    case Qt::FontRole:
        return entry.state == EntryState::Transfering ? m_boldFont : m_font;
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
        return m_language.text(QStringLiteral("frmUpload"), QString::fromLatin1(info.headerKey));
    return {};
}

bool QueueModel::removeRows(int row, int count, const QModelIndex &parent)
{
    if (parent.isValid() || row < 0 || count < 1 || row + count > rowCount())
        return false;
    beginRemoveRows({}, row, row + count - 1);
    for (int i = row; i < row + count; ++i)
        m_paths.remove(m_entries.at(i).item.path);
    m_entries.remove(row, count);
    invalidateRows();
    endRemoveRows();
    return true;
}

void QueueModel::setBaseFont(const QFont &font)
{
    m_font = font;
    m_boldFont = font;
    m_boldFont.setBold(true);
    if (!m_entries.isEmpty())
        Q_EMIT dataChanged(index(0, 0), index(rowCount() - 1, ColumnCount - 1), {Qt::FontRole});
}

bool QueueModel::Add(const QString &fileName, const QString &title, const QString &Author,
                     const QString &path, const QString &duration, qint32 secDuration, qint32 videoWidth,
                     qint32 videoHeight, qint32 srcVideoWidth, qint32 srcVideoHeight, const QString &vBitRate,
                     const QString &aBitRate, const QString &Url, const QString &account,
                     const QString &password, const QString &folderID, const QString &contentID,
                     const QString &folderName, const QString &sysVer, bool bEncPassword, qint32 dstCvtType,
                     qint32 dstResType, const QString &dstPostfix, qint32 customBps, bool bInterlaced,
                     qint64 fileSize, const QString &dateLastModified, const QString &OverwriteUrl,
                     bool useTmpName, std::optional<EntryState> state)
{
    CVideoItem item;
    item.fileName = fileName;
    item.title = title;
    item.Author = Author;
    item.state = state;
    item.path = path;
    item.duration = duration;
    item.secDuration = secDuration;
    item.videoWidth = videoWidth;
    item.videoHeight = videoHeight;
    item.vBitRate = vBitRate;
    item.aBitRate = aBitRate;
    item.Url = Url;
    item.account = account;
    item.password = password;
    item.folderID = folderID;
    item.contentID = contentID;
    item.folderName = folderName;
    item.sysVer = sysVer;
    item.bEncPassword = bEncPassword;
    item.dstCvtType = dstCvtType;
    item.dstResType = dstResType;
    item.dstPostfix = dstPostfix;
    item.srcVideoWidth = srcVideoWidth;
    item.srcVideoHeight = srcVideoHeight;
    item.customBps = customBps;
    item.bInterlaced = bInterlaced;
    item.fileSize = fileSize;
    item.dateLastModified = dateLastModified;
    item.useTmpName = useTmpName;
    item.OverwriteUrl = OverwriteUrl;
    return Add(item);
}

bool QueueModel::Add(const CVideoItem &item)
{
    if (itemExist(item.path))
        return false;
    const int row = rowCount();
    beginInsertRows({}, row, row);
    m_entries.append(makeEntry(item));
    const QueueEntry &entry = m_entries.constLast();
    m_paths.insert(entry.item.path);
    if (m_rowsValid)
        m_rowOfKey.insert(entry.key, row);
    endInsertRows();
    return true;
}

void QueueModel::Remove(const QString &key)
{
    const int row = RowOfPath(key);
    if (row >= 0)
        removeRows(row, 1);
}

bool QueueModel::itemExist(const QString &path) const
{
    return m_paths.contains(path.trimmed());
}

CVideoItem *QueueModel::item(const QString &key)
{
    const int row = RowOfPath(key);
    return row < 0 ? nullptr : &m_entries[row].item;
}

const CVideoItem *QueueModel::item(const QString &key) const
{
    const int row = RowOfPath(key);
    return row < 0 ? nullptr : &m_entries.at(row).item;
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

bool QueueModel::UpdateQueueRow(int row, const CVideoItem &item)
{
    if (row < 0 || row >= rowCount())
        return false;
    QueueEntry &entry = m_entries[row];
    const QString path = item.path.trimmed();
    if (path != entry.item.path && m_paths.contains(path))
        return false;
    m_paths.remove(entry.item.path);
    m_paths.insert(path);
    QueueEntry updated = makeEntry(item);
    entry.key = updated.key;
    entry.item = std::move(updated.item);
    entry.state = EntryState::Waiting;
    invalidateRows();
    emitRowChanged(row);
    return true;
}

void QueueModel::SetEntryState(const QString &path, EntryState state)
{
    const int row = RowOfPath(path);
    if (row >= 0)
        setState(row, state);
}

void QueueModel::SetEntryError(const QString &path, const QString &text)
{
    const int row = RowOfPath(path);
    if (row < 0)
        return;
    m_entries[row].error = text;
    setState(row, EntryState::Failed);
}

void QueueModel::SetEntryProgress(const QString &path, int percent)
{
    const int row = RowOfPath(path);
    if (row < 0)
        return;
    m_entries[row].progress = std::clamp(percent, 0, 100);
    emitRowChanged(row, {ProgressRole});
}

void QueueModel::SwapQueueRows(int a, int b)
{
    if (a < 0 || b < 0 || a >= rowCount() || b >= rowCount())
        return;
    m_entries.swapItemsAt(a, b);
    invalidateRows();
    emitRowChanged(a);
    emitRowChanged(b);
}

bool QueueModel::anyState(EntryState state) const
{
    return std::any_of(m_entries.cbegin(), m_entries.cend(),
                       [state](const QueueEntry &entry) { return entry.state == state; });
}

bool QueueModel::AnyEntryTransfering() const
{
    return anyState(EntryState::Transfering);
}

bool QueueModel::AnyEntryWaiting() const
{
    return anyState(EntryState::Waiting);
}

int QueueModel::NextWaitingEntry()
{
    for (int row = 0; row < rowCount(); ++row) {
        if (m_entries.at(row).state == EntryState::Waiting) {
            currentPath = m_entries.at(row).key;
            return row;
        }
    }
    Q_EMIT noWaitingEntry();
    return -1;
}

int QueueModel::RowOfPath(const QString &path) const
{
    if (!m_rowsValid) {
        m_rowOfKey.clear();
        for (int row = 0; row < rowCount(); ++row)
            m_rowOfKey.insert(m_entries.at(row).key, row);
        m_rowsValid = true;
    }
    return m_rowOfKey.value(path, -1);
}

QString QueueModel::GetEntryCell(const QString &path, int column) const
{
    return cell(RowOfPath(path), column);
}

void QueueModel::SetEntryCell(const QString &path, int column, const QString &text)
{
    const int row = RowOfPath(path);
    if (row < 0)
        return;
    if (QString *target = textCell(m_entries[row], column)) {
        *target = text;
        Q_EMIT dataChanged(index(row, column), index(row, column));
    }
}

QString QueueModel::cell(int row, int column) const
{
    if (row < 0 || row >= rowCount())
        return {};
    const QueueEntry &entry = m_entries.at(row);
    switch (column) {
    case ColClassify:
        return SourceKind(entry.item.fileName);
    case ColFileName:
        return entry.item.fileName;
    case ColTitle:
        return entry.item.title;
    case ColAuthor:
        return entry.item.Author;
    case ColUrl:
        return entry.item.Url;
    case ColFolder:
        return entry.item.folderName;
    case ColState:
        return stateText(entry.state);
    case ColPath:
        return entry.key;
    default:
        const QString *text = textCell(entry, column);
        return text ? *text : QString();
    }
}

void QueueModel::beginEdit(const QString &path)
{
    const int row = RowOfPath(path);
    if (row < 0)
        return;
    m_entries[row].item.state = m_entries.at(row).state;
    editPath = path;
    editMode = true;
    setState(row, EntryState::Editing);
}

void QueueModel::cancelEdit()
{
    if (!editMode)
        return;
    editMode = false;
    const int row = RowOfPath(editPath);
    if (row >= 0 && m_entries.at(row).state == EntryState::Editing)
        setState(row, m_entries.at(row).item.state.value_or(EntryState::Waiting));
}

void QueueModel::setState(int row, EntryState state)
{
    m_entries[row].state = state;
    // The state colours and fonts the whole row.
    emitRowChanged(row);
}

void QueueModel::emitRowChanged(int row, const QList<int> &roles)
{
    Q_EMIT dataChanged(index(row, 0), index(row, ColumnCount - 1), roles);
}
