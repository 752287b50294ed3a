#pragma once

#include <QAbstractTableModel>
#include <QColor>
#include <QFont>
#include <QHash>
#include <QList>
#include <QString>
#include <array>

// The queue grid: one row per entry, in processing order. An entry's live
// state, error text and times live here, not in its record; every part of
// the program reads and changes them through the row operations below, which
// find a row by the entry's path (column 13). Rows and columns of the row
// operations count from 1, as the user sees them.
class QueueModel final : public QAbstractTableModel
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(QueueModel)

public:
    enum Column
    {
        ColClassify = 1,
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
        ColumnCount = ColPath
    };
    // The cell text as stored, whatever the display.
    static constexpr int RawTextRole = Qt::UserRole + 1;

    struct ColumnInfo
    {
        const char *key;
        const char *headerKey;
        int width;
    };
    static const std::array<ColumnInfo, ColumnCount> &columns();
    static QColor stateColor(const QString &state);

    explicit QueueModel(QObject *parent = nullptr);

    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

    // The grid's font; the bold font of a transferring row is a copy of it.
    void setBaseFont(const QFont &font);

    static QString SourceKind(const QString &fileName);
    void AddQueueRow(const QString &fileName, const QString &title, const QString &Author,
                     const QString &path, const QString &Url, const QString &folderName);
    void UpdateQueueRow(int row, const QString &fileName, const QString &title, const QString &Author,
                        const QString &path, const QString &Url, const QString &folderName);
    void SetEntryState(const QString &path, const QString &state);
    void SetEntryError(const QString &path, const QString &text);
    void SwapQueueRows(int a, int b);
    bool AnyEntryTransfering() const;
    bool AnyEntryWaiting() const;
    // The first waiting row (0 when none); sets currentPath to its path.
    int NextWaitingEntry();
    int RowOfPath(const QString &path) const;
    QString GetEntryCell(const QString &path, int column) const;
    void SetEntryCell(const QString &path, int column, const QString &text);
    // Row-number access for the window's commands.
    QString cell(int row, int column) const;
    void removeQueueRow(int row);

    // The entry the queue runner works on, and the one open for editing.
    QString currentPath;
    QString editPath;
    bool editMode = false;

Q_SIGNALS:
    // NextWaitingEntry found nothing left: the window disables Stop.
    void noWaitingEntry();

private:
    using Row = std::array<QString, ColumnCount>;
    bool anyState(const QString &state) const;
    void setCell(int row, int column, const QString &text);
    void emitRowChanged(int row);
    void invalidatePaths() { m_pathIndexValid = false; }

    QList<Row> m_rows;
    QFont m_font;
    QFont m_boldFont;
    // First row of each path, rebuilt lazily after rows move.
    mutable QHash<QString, int> m_pathIndex;
    mutable bool m_pathIndexValid = true;
};
