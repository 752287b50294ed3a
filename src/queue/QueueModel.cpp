#include "queue/QueueModel.h"

#include "common/Lang.h"

#include <QBrush>
#include <QFileInfo>
#include <algorithm>
#include <cmath>

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

// The leading number of a bit rate such as "1464k".
qint64 kilobits(const QString &rate)
{
    qsizetype end = 0;
    while (end < rate.size() && rate.at(end).isDigit())
        ++end;
    return rate.left(end).toLongLong();
}

bool isConverted(const CVideoItem &item)
{
    return item.dstCvtType == LocalConversion &&
           QueueModel::SourceKind(item.fileName) == QLatin1String("Video");
}

// The bytes an entry will send: its bit rates over its length when it is
// converted here, else the source itself.
qint64 expectedUploadBytes(const CVideoItem &item)
{
    const qint64 rate = kilobits(item.vBitRate) + kilobits(item.aBitRate);
    if (isConverted(item) && rate > 0 && item.secDuration > 0)
        return rate * 1000 / 8 * item.secDuration;
    return item.fileSize;
}

bool isConverting(EntryPhase phase)
{
    return phase == EntryPhase::ConvertPass1 || phase == EntryPhase::ConvertPass2;
}

const char *phaseKey(EntryPhase phase)
{
    switch (phase) {
    case EntryPhase::ConvertPass1:
        return "phaseConvert1";
    case EntryPhase::ConvertPass2:
        return "phaseConvert2";
    case EntryPhase::Slides:
        return "phaseSlides";
    case EntryPhase::Packing:
        return "phasePack";
    case EntryPhase::Uploading:
        return "phaseUpload";
    case EntryPhase::Registering:
        return "phaseRegister";
    case EntryPhase::Done:
        return "phaseDone";
    case EntryPhase::None:
        break;
    }
    return nullptr;
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
        {"progress", "gridProgress", 220},
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
        if (index.column() == ColProgress)
            return progressText(entry);
        if (index.column() == ColState || index.column() == ColClassify)
            return shownWord(cell(index.row(), index.column()), index.column());
        return cell(index.row(), index.column());
    case RawValueRole:
        if (index.column() == ColState)
            return QVariant::fromValue(entry.state);
        return cell(index.row(), index.column());
    case StateRole:
        return QVariant::fromValue(entry.state);
    case ProgressRole:
        return entry.progress.percent;
    case PhaseRole:
        return QVariant::fromValue(entry.progress.phase);
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

QStringList QueueModel::keys() const
{
    QStringList keys;
    keys.reserve(m_entries.size());
    for (const QueueEntry &entry : m_entries)
        keys.append(entry.key);
    return keys;
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
    invalidateRows();
    // A saved edit is a fresh start: what the last run left goes.
    resetRow(row);
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

void QueueModel::SetEntryProgress(const QString &path, const EntryProgress &progress)
{
    const int row = RowOfPath(path);
    if (row < 0)
        return;
    EntryProgress clamped = progress;
    clamped.percent = std::clamp(progress.percent, 0, 100);
    if (m_entries.at(row).progress == clamped)
        return;
    m_entries[row].progress = clamped;
    // Only the bar's cell: the journal skips changes that carry this role alone.
    Q_EMIT dataChanged(index(row, ColProgress), index(row, ColProgress), {ProgressRole});
}

void QueueModel::setContentUrl(const QString &path, const QString &url)
{
    if (const int row = RowOfPath(path); row >= 0)
        m_entries[row].contentUrl = url;
}

void QueueModel::resetEntry(const QString &path)
{
    if (const int row = RowOfPath(path); row >= 0)
        resetRow(row);
}

void QueueModel::resetRow(int row)
{
    QueueEntry &entry = m_entries[row];
    for (QString *text :
         {&entry.error, &entry.cvtBeginTime, &entry.cvtEndTime, &entry.uploadBeginTime, &entry.uploadEndTime})
        text->clear();
    entry.progress = {};
    entry.contentUrl.clear();
    setState(row, EntryState::Waiting);
}

qint64 QueueModel::queueSecondsLeft() const
{
    double seconds = 0;
    for (const QueueEntry &entry : m_entries) {
        const bool running = entry.state == EntryState::Transfering;
        if (!running && entry.state != EntryState::Waiting)
            continue;
        const EntryProgress &progress = entry.progress;
        const bool converting = running && isConverting(progress.phase);
        if (running && !converting && progress.phase != EntryPhase::None) {
            // Packing, uploading or registering: the step's own estimate.
            seconds += std::max<qint64>(progress.secondsLeft, 0);
            continue;
        }
        if (isConverted(entry.item)) {
            if (converting && progress.secondsLeft >= 0) {
                seconds += static_cast<double>(progress.secondsLeft);
            } else {
                if (m_rates.encode <= 0)
                    return -1;
                const double share = converting ? (100 - progress.percent) / 100.0 : 1.0;
                seconds += entry.item.secDuration * share / m_rates.encode;
            }
        }
        // An upload not yet measured counts nothing: on the networks that
        // are too fast to measure, it takes next to no time.
        if (m_rates.upload > 0)
            seconds += static_cast<double>(expectedUploadBytes(entry.item)) / m_rates.upload;
    }
    return static_cast<qint64>(std::ceil(seconds));
}

QString QueueModel::durationText(qint64 seconds)
{
    const qint64 s = std::max<qint64>(seconds, 0);
    const auto two = [](qint64 n) { return QString::number(n).rightJustified(2, u'0'); };
    if (s >= 3600)
        return QString::number(s / 3600) + u':' + two(s / 60 % 60) + u':' + two(s % 60);
    return QString::number(s / 60) + u':' + two(s % 60);
}

QString QueueModel::progressText(const QueueEntry &entry) const
{
    const EntryProgress &progress = entry.progress;
    const char *key = phaseKey(progress.phase);
    if (!key)
        return {};
    const QString section = QStringLiteral("frmUpload");
    QString text = m_language.text(section, QString::fromLatin1(key));
    if (progress.phase == EntryPhase::Done)
        return text;
    text += u' ' + QString::number(progress.percent) + QStringLiteral(" %");
    if (progress.secondsLeft >= 0)
        text +=
            u' ' +
            m_language.text(section, QStringLiteral("msgTimeLeft")).arg(durationText(progress.secondsLeft));
    return text;
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

// The state and kind words are stored in English; the grid shows them in
// the window's language.
QString QueueModel::shownWord(const QString &word, int column) const
{
    const QString prefix = column == ColState ? QStringLiteral("state_") : QStringLiteral("kind_");
    return m_language.text(QStringLiteral("frmUpload"), prefix + word, word);
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
    if (state == EntryState::Finished)
        m_entries[row].progress = EntryProgress{EntryPhase::Done, 100, 0};
    // The state colours and fonts the whole row.
    emitRowChanged(row);
}

void QueueModel::emitRowChanged(int row, const QList<int> &roles)
{
    Q_EMIT dataChanged(index(row, 0), index(row, ColumnCount - 1), roles);
}
