#pragma once

#include "queue/EntryState.h"

#include <QString>
#include <optional>

// How a video is converted (CVideoItem::dstCvtType).
enum Conversion
{
    LocalConversion = 0,
    ServerConversion = 1,
    NoConversion = 2 // an MP4 uploaded unchanged
};

// At which size (CVideoItem::dstResType).
enum Resolution
{
    SourceResolution = 0,
    HighResolution = 1,     // the server's secondRes
    StandardResolution = 2, // the server's thirdRes
};

// One queue entry: everything the pipeline needs for one source. The fields
// keep this order; the queue file writes them in the same order (with the
// last two swapped).
struct CVideoItem
{
    QString fileName;
    QString title;
    QString Author;
    // The state the entry had when it was opened for editing, given back
    // when the edit is cancelled; none for an entry never edited.
    std::optional<EntryState> state;
    QString path; // the entry's key
    QString duration;
    qint32 secDuration = 0;
    qint32 videoWidth = 0;
    qint32 videoHeight = 0;
    QString vBitRate;
    QString aBitRate;
    QString Url;
    QString account;
    QString password; // as typed
    QString folderID;
    QString contentID;
    QString folderName;
    QString sysVer;
    bool bEncPassword = false;
    qint32 dstCvtType = 0;
    qint32 dstResType = 0;
    QString dstPostfix;
    qint32 srcVideoWidth = 0;
    qint32 srcVideoHeight = 0;
    qint32 customBps = 0;
    bool bInterlaced = false;
    qint64 fileSize = 0;
    QString dateLastModified;
    bool useTmpName = false;
    QString OverwriteUrl;

    // "video.mp4", or "video_" + dstPostfix + ".mp4".
    QString dstFileName() const
    {
        return dstPostfix.isEmpty() ? QStringLiteral("video.mp4")
                                    : QStringLiteral("video_") + dstPostfix + QStringLiteral(".mp4");
    }
};

// Moved as plain bytes when the queue grows.
Q_DECLARE_TYPEINFO(CVideoItem, Q_RELOCATABLE_TYPE);
