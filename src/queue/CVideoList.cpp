#include "queue/CVideoList.h"

bool CVideoList::Add(const QString &fileName, const QString &title, const QString &Author,
                     const QString &path, const QString &duration, qint32 secDuration, qint32 videoWidth,
                     qint32 videoHeight, qint32 srcVideoWidth, qint32 srcVideoHeight, const QString &vBitRate,
                     const QString &aBitRate, const QString &Url, const QString &account,
                     const QString &password, const QString &folderID, const QString &contentID,
                     const QString &folderName, const QString &sysVer, bool bEncPassword, qint32 dstCvtType,
                     qint32 dstResType, const QString &dstPostfix, qint32 customBps, bool bInterlaced,
                     qint64 fileSize, const QString &dateLastModified, const QString &OverwriteUrl,
                     bool useTmpName, const QString &state)
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

bool CVideoList::Add(const CVideoItem &record)
{
    const QString key = record.path;
    if (itemExist(key))
        return false;
    CVideoItem item = record;
    item.title = item.title.trimmed();
    item.Author = item.Author.trimmed();
    item.path = item.path.trimmed();
    m_paths[item.path] += 1;
    m_keyIndex.insert(key, m_items.size());
    m_keys.append(key);
    m_items.append(std::move(item));
    return true;
}

void CVideoList::Remove(const QString &key)
{
    const auto found = m_keyIndex.constFind(key);
    if (found == m_keyIndex.cend())
        return;
    const qsizetype index = *found;
    const QString path = m_items.at(index).path;
    if (--m_paths[path] == 0)
        m_paths.remove(path);
    m_items.removeAt(index);
    m_keys.removeAt(index);
    reindex();
}

bool CVideoList::itemExist(const QString &path) const
{
    return m_paths.contains(path.trimmed());
}

CVideoItem *CVideoList::item(const QString &key)
{
    const auto found = m_keyIndex.constFind(key);
    return found == m_keyIndex.cend() ? nullptr : &m_items[*found];
}

const CVideoItem *CVideoList::item(const QString &key) const
{
    const auto found = m_keyIndex.constFind(key);
    return found == m_keyIndex.cend() ? nullptr : &m_items.at(*found);
}

void CVideoList::reindex()
{
    m_keyIndex.clear();
    for (qsizetype i = 0; i < m_keys.size(); ++i)
        m_keyIndex.insert(m_keys.at(i), i);
}
