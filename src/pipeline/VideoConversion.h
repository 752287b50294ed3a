#pragma once

#include "pipeline/ExecRunner.h"
#include "pipeline/FfmpegCapabilities.h"
#include "pipeline/RunFlags.h"
#include "queue/CVideoItem.h"

#include <QCoroTask>
#include <QObject>
#include <QString>
#include <optional>

class ProgressView;
class QueueModel;

// The entry text of a preparation result code (1 has none).
QString PrepareResultText(int code, const QString &description);

// Turns one queued video into the content of its upload package in the work
// folder: the two-pass encode to H.264/AAC in MP4 (key-frame XML and file
// list) or FLV (yamdi's metadata), an optional copy of the source, and the
// two images. Results: 1 success, 0 unexpected error, -1 to -9 known kinds.
class VideoConversion final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(VideoConversion)

public:
    // Everything the encoder command line is built from.
    struct EncodeJob
    {
        QString ffmpeg;
        QString source;
        QString destination;
        int width = 0;
        int height = 0;
        QString videoBitRate;
        QString audioBitRate;
        qint32 durationSeconds = 0;
        int threads = 1;
    };

    // `grid` may be null (no window); it receives the conversion times.
    VideoConversion(ExecRunner &runner, RunFlags &flags, ProgressView &view, QueueModel *grid,
                    QObject *parent = nullptr);

    // The entry being prepared, and what the server's getVersion reply asked.
    CVideoItem entry;
    QString dstType = QStringLiteral("mp4");
    bool uploadSource = false;
    // What went wrong when a step returned 0.
    QString lastError;

    QCoro::Task<int> PrepareVideo(QString sourcePath, QString workFolder);
    QCoro::Task<int> EncodeTwoPass(QString sourcePath, QString destinationPath);
    QCoro::Task<bool> InterleaveMp4(QString path);
    QCoro::Task<bool> MakeKeyframeXml(QString mp4Path);
    bool WriteKeyframeXml(const QString &xmlPath, const QString &keyframeListPath);
    bool FixFlvXml(const QString &xmlPath);
    QCoro::Task<bool> MakeThumbnails(QString videoPath);
    bool SetFileListXml(const QString &fileListPath);
    // Deletes the file, retrying every 500 ms while something holds it.
    static QCoro::Task<bool> qvLoopDeleteFile(QString path, int tries);

    // Asks the installed ffmpeg once what it supports.
    QCoro::Task<> ensureCapabilities();

    // The encoder command of one pass, as designed (before adaptation).
    static QString encoderCommand(const EncodeJob &job, int pass, bool deinterlace);
    static QString gopSize(qint32 durationSeconds);
    static int threadCount(const RunFlags &flags);
    // The "caption" of the file list's item.
    static QString fileListCaption(const CVideoItem &entry);
    // ffmpeg in the program's own folder, as the encoder command names it.
    static QString ffmpegPath();

private:
    QCoro::Task<> runPass(EncodeJob job, int pass, bool deinterlace);
    QCoro::Task<bool> copyInBackground(QString source, QString target);
    QString keyframeXmlName() const;
    int unexpected(const QString &description);
    void setGridTime(int column);

    ExecRunner &m_runner;
    RunFlags &m_flags;
    ProgressView &m_view;
    QueueModel *m_grid;
    std::optional<FfmpegCapabilities> m_caps;
};
