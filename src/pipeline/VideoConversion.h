#pragma once

#include "pipeline/EntryJob.h"
#include "pipeline/ExecRunner.h"
#include "pipeline/FfmpegCapabilities.h"
#include "pipeline/RunOptions.h"
#include "queue/CVideoItem.h"

#include <QCoroTask>
#include <QObject>
#include <QString>
#include <optional>

class LanguageTable;
class ProgressView;

// Turns one queued video into the content of its upload package in the work
// folder: the two-pass encode to H.264/AAC in MP4 (key-frame XML and file
// list) or FLV (yamdi's metadata), an optional copy of the source, and the
// two images. Every helper tool's outcome is looked at: a tool that fails
// fails the step that ran it, and what it would have replaced is kept.
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

    VideoConversion(ExecRunner &runner, const RunOptions &options, ProgressView &view,
                    const LanguageTable &language, QObject *parent = nullptr);

    // Prepares job.entry's source in job.workFolder. A stopped job ends with
    // success as far as it got; the caller looks at the job's stop token.
    QCoro::Task<PrepareResult> PrepareVideo(EntryJob job);
    QCoro::Task<PrepareResult> EncodeTwoPass(EntryJob job, QString destinationPath);
    QCoro::Task<PrepareResult> InterleaveMp4(EntryJob job, QString path);
    QCoro::Task<PrepareResult> MakeKeyframeXml(EntryJob job, QString mp4Path);
    static PrepareResult WriteKeyframeXml(const CVideoItem &entry, const QString &xmlPath,
                                          const QString &keyframeListPath);
    static PrepareResult FixFlvXml(const CVideoItem &entry, const QString &xmlPath);
    QCoro::Task<PrepareResult> MakeThumbnails(EntryJob job, QString videoPath);
    static PrepareResult SetFileListXml(const CVideoItem &entry, const QString &fileListPath);
    // Deletes the file, retrying every 500 ms while something holds it.
    static QCoro::Task<bool> qvLoopDeleteFile(QString path, int tries);

    // Asks the installed ffmpeg once what it supports.
    QCoro::Task<> ensureCapabilities();

    // The encoder command of one pass, as the player expects it (before adaptation).
    static QString encoderCommand(const EncodeJob &job, int pass, bool deinterlace);
    static QString gopSize(qint32 durationSeconds);
    // The "caption" of the file list's item.
    static QString fileListCaption(const CVideoItem &entry);
    // ffmpeg in the program's own folder, as the encoder command names it.
    static QString ffmpegPath();

Q_SIGNALS:
    // The encode of the entry at `path` began, or ended well.
    void conversionStarted(const QString &path);
    void conversionEnded(const QString &path);

private:
    QCoro::Task<ProcessResult> runPass(EncodeJob job, int pass, bool deinterlace, StopToken stop);

    ExecRunner &m_runner;
    const RunOptions &m_options;
    ProgressView &m_view;
    const LanguageTable &m_language;
    std::optional<FfmpegCapabilities> m_caps;
};
