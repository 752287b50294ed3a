#pragma once

#include "queue/CVideoItem.h"

#include <QHash>
#include <QList>

// The queue's entries in the order they were added, keyed by the source path
// exactly as it was passed to Add.
class CVideoList final
{
public:
    int count() const { return static_cast<int>(m_items.size()); }
    const QList<CVideoItem> &items() const { return m_items; }

    // Adds an entry unless one with the same (trimmed) path exists. Title,
    // author and path are stored trimmed; the key is the path as given.
    bool Add(const QString &fileName, const QString &title, const QString &Author, const QString &path,
             const QString &duration, qint32 secDuration, qint32 videoWidth, qint32 videoHeight,
             qint32 srcVideoWidth, qint32 srcVideoHeight, const QString &vBitRate, const QString &aBitRate,
             const QString &Url, const QString &account, const QString &password, const QString &folderID,
             const QString &contentID, const QString &folderName, const QString &sysVer, bool bEncPassword,
             qint32 dstCvtType, qint32 dstResType, const QString &dstPostfix, qint32 customBps,
             bool bInterlaced, qint64 fileSize, const QString &dateLastModified, const QString &OverwriteUrl,
             bool useTmpName, const QString &state);
    // Adds a whole record the same way; the record's path is the key.
    bool Add(const CVideoItem &item);
    void Remove(const QString &key);
    bool itemExist(const QString &path) const;
    // The entry stored under `key`, or null.
    CVideoItem *item(const QString &key);
    const CVideoItem *item(const QString &key) const;

private:
    void reindex();

    QList<CVideoItem> m_items;
    QList<QString> m_keys;                // parallel to m_items
    QHash<QString, qsizetype> m_keyIndex; // key -> position
    QHash<QString, int> m_paths;          // stored (trimmed) path -> entries with it
};
