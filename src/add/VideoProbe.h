#pragma once

#include "platform/StopToken.h"

#include <QCoroTask>
#include <QObject>
#include <QString>

class ExecRunner;
class LanguageTable;
namespace Messages {
class Channel;
}

// What a probe found out about a video file.
struct ProbeResult
{
    QString durationText; // as ffmpeg prints it
    qint32 durationSeconds = 0;
    qint32 frameWidth = 0;
    qint32 frameHeight = 0;
    qint32 aspectNum = 0; // display aspect ratio; 0 when none was found
    qint32 aspectDen = 0;
    qint32 displayWidth = 0;
    qint32 displayHeight = 0;
    bool interlaced = true; // unless mediainfo says "Progressive"
};

// Why a probe failed. The messages are shown by the probe (unless quiet).
enum class ProbeFailure
{
    None,
    UnknownFormat,
    OpenError,
    NoSuchFile,
    MultiStream,
    Duration,      // "msg_durErr"
    BatchDuration, // the batch form's fixed text
    BatchEmpty,    // the batch form's empty report: no message at all
    Size,
    Unreadable, // the report's fields are not where they should be
};

// Examines a video with mediainfo and ffmpeg before it becomes a queue entry:
// can it be handled, how long it plays, its frame size, display aspect and
// whether it is interlaced.
class VideoProbe final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(VideoProbe)

public:
    VideoProbe(ExecRunner &runner, const LanguageTable &language, Messages::Channel &messages,
               QObject *parent = nullptr);

    ProbeResult result;
    // Why the last probe failed; None after a good one.
    ProbeFailure failure = ProbeFailure::None;
    // Ends a probe's tools early (a search that was stopped).
    StopToken stop;

    // The single dialog's form: a failure shows one message box.
    QCoro::Task<bool> ProbeVideo(QString path);
    // The batch dialog's form: quiet shows nothing on failure.
    QCoro::Task<bool> GetVideoInfo(QString path, bool quiet);

    // Reads ffmpeg's report on its input into `result`.
    static ProbeFailure parseReport(const QString &ffmpegText, bool batchForm, ProbeResult &result);
    // The text shown for a failure; empty for one that shows nothing.
    static QString failureText(const LanguageTable &language, ProbeFailure failure);
    // Its language key; empty for the fixed texts.
    static QString failureKey(ProbeFailure failure);
    static int CountVideoStreams(const QString &text);
    static bool ParseFrameSize(const QString &line, qint32 &width, qint32 &height);
    // An output frame side: the nearest even number, an odd one going down,
    // so that a frame never grows past its source and every encoder takes it.
    static qint32 EvenFrameSize(double x);
    // Fits a frame to a maximum width, keeping the display aspect when known;
    // both sides come out even.
    static void FitToWidth(qint32 &width, qint32 &height, qint32 maxWidth, qint32 aspectNum,
                           qint32 aspectDen);

Q_SIGNALS:
    // A probe started or ended: the dialog's busy state and its Cancel button.
    void probingChanged(bool probing);

private:
    QCoro::Task<bool> probe(QString path, bool batchForm, bool quiet);

    ExecRunner &m_runner;
    const LanguageTable &m_language;
    Messages::Channel &m_messages;
};
