#pragma once

#include "queue/CVideoItem.h"
#include "queue/EntryProgress.h"
#include "queue/EntryState.h"

#include <QAbstractTableModel>
#include <QColor>
#include <QFont>
#include <QHash>
#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>
#include <array>

class LanguageTable;

// One entry of the queue: its record and what the run has made of it so far.
struct QueueEntry
{
    CVideoItem item;
    // The path exactly as it was given to Add (the record's is trimmed): the
    // entry's key, and what the grid's path column shows.
    QString key;
    EntryState state = EntryState::Waiting;
    QString error;
    QString cvtBeginTime;
    QString cvtEndTime;
    QString uploadBeginTime;
    QString uploadEndTime;
    EntryProgress progress;
    // The uploaded content's page, when the server named one.
    QString contentUrl;
};

Q_DECLARE_TYPEINFO(QueueEntry, Q_RELOCATABLE_TYPE);

// The upload queue: its entries in processing order, one grid row each.
// Every part of the program reads and changes an entry through the
// operations below, which find it by its key. Rows and columns count from 0.
class QueueModel final : public QAbstractTableModel
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(QueueModel)

public:
    enum Column
    {
        ColClassify = 0,
        ColFileName,
        ColTitle,
        ColAuthor,
        ColUrl,
        ColFolder,
        ColState,
        ColError,
        ColCvtBeginTime,
        ColCvtEndTime,
        ColUploadBeginTime,
        ColUploadEndTime,
        ColPath,
        // A bar with the step, the percentage and the time left.
        ColProgress,
        ColumnCount
    };
    enum Role
    {
        // The entry's EntryState, in every column.
        StateRole = Qt::UserRole + 1,
        // The cell's value as stored: the state as EntryState, anything else as text.
        RawValueRole,
        // The entry's progress in percent, in every column.
        ProgressRole,
        // The entry's EntryPhase, in every column.
        PhaseRole
    };

    struct ColumnInfo
    {
        const char *key;
        const char *headerKey;
        int width;
    };
    static const std::array<ColumnInfo, ColumnCount> &columns();
    static QColor stateColor(EntryState state);

    // The column headers come from `language`.
    explicit QueueModel(const LanguageTable &language, QObject *parent = nullptr);

    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    bool removeRows(int row, int count, const QModelIndex &parent = {}) override;

    // The grid's font; the bold font of a transferring row is a copy of it.
    void setBaseFont(const QFont &font);

    int count() const { return rowCount(); }
    const QList<QueueEntry> &entries() const { return m_entries; }
    // `row` must be a valid row.
    const QueueEntry &entryAt(int row) const { return m_entries.at(row); }
    // The entries' keys, in grid order.
    QStringList keys() const;

    // Appends a waiting entry unless one with the same trimmed path is
    // queued. Title, author and path are stored trimmed; the key is the path
    // as given.
    bool Add(const QString &fileName, const QString &title, const QString &Author, const QString &path,
             const QString &duration, qint32 secDuration, qint32 videoWidth, qint32 videoHeight,
             qint32 srcVideoWidth, qint32 srcVideoHeight, const QString &vBitRate, const QString &aBitRate,
             const QString &Url, const QString &account, const QString &password, const QString &folderID,
             const QString &contentID, const QString &folderName, const QString &sysVer, bool bEncPassword,
             qint32 dstCvtType, qint32 dstResType, const QString &dstPostfix, qint32 customBps,
             bool bInterlaced, qint64 fileSize, const QString &dateLastModified, const QString &OverwriteUrl,
             bool useTmpName, std::optional<EntryState> state);
    bool Add(const CVideoItem &item);
    void Remove(const QString &key);
    bool itemExist(const QString &path) const;
    // The record under `key`, or null. Fields the grid shows are changed
    // through UpdateQueueRow, so that the row follows.
    CVideoItem *item(const QString &key);
    const CVideoItem *item(const QString &key) const;

    static QString SourceKind(const QString &fileName);
    // Puts an edited record in place of the row's, waiting again; false
    // when the row is absent or another entry has the record's path.
    bool UpdateQueueRow(int row, const CVideoItem &item);
    void SetEntryState(const QString &path, EntryState state);
    // Records why the entry failed and marks it failed.
    void SetEntryError(const QString &path, const QString &text);
    void SetEntryProgress(const QString &path, const EntryProgress &progress);
    void setContentUrl(const QString &path, const QString &url);
    // Waiting again, as if just queued: no error, no times, no progress.
    void resetEntry(const QString &path);
    // The run's measured speeds, from which queueSecondsLeft() estimates.
    void setRunRates(const RunRates &rates) { m_rates = rates; }
    const RunRates &runRates() const { return m_rates; }
    // Seconds until the running and the waiting entries are done, from the
    // measured speeds; negative while a conversion's speed is unmeasured.
    qint64 queueSecondsLeft() const;
    // The text of the progress cell: step, percentage, time left.
    QString progressText(const QueueEntry &entry) const;
    // Seconds as the window shows a time left: "m:ss", "h:mm:ss" from an hour.
    static QString durationText(qint64 seconds);
    // Exchanges two rows; nothing when either is out of range.
    void SwapQueueRows(int a, int b);
    bool AnyEntryTransfering() const;
    bool AnyEntryWaiting() const;
    // The first waiting row, setting currentPath to its key; -1 when none.
    int NextWaitingEntry();
    // The row of the entry with that key; -1 when none.
    int RowOfPath(const QString &path) const;
    // The grid's text of one cell of the path's row.
    QString GetEntryCell(const QString &path, int column) const;
    // Writes the error or one of the time columns; the other columns show
    // the record and the state.
    void SetEntryCell(const QString &path, int column, const QString &text);
    // The grid's text of a cell; empty outside the grid.
    QString cell(int row, int column) const;
    // A state or kind word as the grid shows it, in the window's language.
    QString shownWord(const QString &word, int column) const;

    // Opens the entry for editing: its record keeps the state it had, and
    // the row shows it as being edited.
    void beginEdit(const QString &path);
    // Leaves edit mode without saving: an entry still being edited gets its
    // state back.
    void cancelEdit();

    // The entry the queue runner works on, and the one open for editing.
    QString currentPath;
    QString editPath;
    bool editMode = false;

Q_SIGNALS:
    // NextWaitingEntry found nothing left: the window disables Stop.
    void noWaitingEntry();

private:
    bool anyState(EntryState state) const;
    void setState(int row, EntryState state);
    void resetRow(int row);
    void emitRowChanged(int row, const QList<int> &roles = {});
    void invalidateRows() { m_rowsValid = false; }

    const LanguageTable &m_language;
    QList<QueueEntry> m_entries;
    // The trimmed paths of the records: no two entries share one.
    QSet<QString> m_paths;
    RunRates m_rates;
    QFont m_font;
    QFont m_boldFont;
    // Row of each key, rebuilt lazily after rows move.
    mutable QHash<QString, int> m_rowOfKey;
    mutable bool m_rowsValid = true;
};
