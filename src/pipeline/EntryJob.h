#pragma once

#include "platform/StopToken.h"
#include "queue/CVideoItem.h"

#include <QString>

// Why preparing an entry failed. The values are the result codes by which
// the entry's message is chosen.
enum class PrepareFailure : int
{
    None = 1,
    Unexpected = 0,
    FileLocked = -1,
    ConvertError = -2,
    DecodeStream = -3,
    Inject = -4,
    CopySource = -5,
    CaptureImage = -6,
    GetKeyframe = -7,
    Resample = -8,
    NoFreeSpace = -9,
    // MP4Box could not interleave the encode; the encode itself is kept.
    Interleave = -10,
};

struct PrepareResult
{
    PrepareFailure failure = PrepareFailure::None;
    // What went wrong, for the failures that say more than their name.
    QString description;

    bool ok() const { return failure == PrepareFailure::None; }
    // The entry's message ("Get keyframe error", "Error description: ...").
    QString text() const;
};

// The entry's message of a result code, as the queue shows it; empty for success.
QString PrepareResultText(int code, const QString &description);

// The running entry: its record as queued, its work folder and the token
// through which Stop reaches every step. Each step of the entry (conversion,
// recording preparation, package, transaction) is handed this value.
struct EntryJob
{
    CVideoItem entry;
    QString workFolder;
    StopToken stop;
    // What the server's getVersion reply asked of a video: the container
    // ("mp4" or "flv") and whether the source goes along.
    QString videoType = QStringLiteral("mp4");
    bool uploadSource = false;

    bool stopped() const { return stop.stopRequested(); }
};
