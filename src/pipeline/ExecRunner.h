#pragma once

#include "pipeline/RunOptions.h"
#include "platform/ProcessRunner.h"

#include <QCoroTask>
#include <QObject>
#include <QString>
#include <QStringList>
#include <chrono>

class ProgressView;
namespace Messages {
class Channel;
}

// The conversion state that ExecCapture reads and writes. The conversion
// fills it before each run and reads the outcome afterwards.
struct ExecContext
{
    // First words of the progress label, then the source's length as text.
    QString progressCaption;
    QString durationText;
    // Parse ffmpeg's "time=" progress and watch for the decode-error text.
    bool parseProgress = false;
    // 0 single run, 1 first pass of a two-pass encode, 2 second pass.
    qint16 pass = 0;
    // Monotonic clock reading (seconds) at the start of pass 1; pass 2 estimates from it.
    double passStart = 0;
    qint32 durationSeconds = 0;
    // Last parsed media position in seconds, as text.
    QString lastTime;
    // The remaining minutes as the label shows them; "--" until known.
    QString remainingMinutes;
    // Set to 1 by the caller; -2, -3 or -8 when the output shows a failure.
    qint32 errorCode = 1;
    // Where "DosOutput.txt" is written: the entry's work folder.
    QString workFolder;
    // The text of the output panel as the last run left it.
    QString outputText;
};

// What one chunk of ffmpeg output changes.
struct ChunkVerdict
{
    bool failed = false;
    // A new progress label, when the chunk held a usable time value.
    QString label;
    // The overall percentage for the progress bar; negative when unknown.
    double percent = -1;
    // Seconds the conversion still needs, unrounded; negative when unknown.
    qint64 secondsLeft = -1;
};

// Runs the external programs of the pipeline through the program's one
// process runner. Command lines are whole texts as the conversion builds
// them: the first word names the program, paths are in double quotes.
// ExecCapture reads an encoder's output as it comes (progress, failure
// texts, the output panel); ExecWait runs a helper tool hidden. Both return
// how the child ended, and every caller looks at it.
class ExecRunner final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ExecRunner)

public:
    ExecRunner(ProcessRunner &processes, const RunOptions &options, ProgressView &view,
               Messages::Channel &messages, QObject *parent = nullptr);

    ExecContext context;

    // Runs the command to its end, or until `stop` or a recognised failure
    // (context.errorCode) kills it; shows its output and progress meanwhile.
    QCoro::Task<ProcessResult> ExecCapture(QString commandLine, bool keepDosOutput, StopToken stop);
    // Runs the command hidden and uncaptured, in `workingDirectory` when one
    // is given, for at most `limit` (negative: as long as it takes).
    QCoro::Task<ProcessResult> ExecWait(QString commandLine, StopToken stop, QString workingDirectory = {},
                                        std::chrono::milliseconds limit = std::chrono::minutes(10));

    // The reduced form for probing: normal priority, no failure texts, no
    // copy to a file; the result holds the whole merged output. With a
    // duration, a plain-seconds "time=" value becomes the progress bar's percentage.
    QCoro::Task<ProcessResult> captureOutput(QString commandLine, qint32 durationSeconds = 0,
                                             StopToken stop = {});

    ProcessRunner &processes() const { return m_processes; }

    // Every command line started, in order (the benchmark replays them).
    const QStringList &startedCommands() const { return m_started; }

    // One chunk's progress and failure texts, measured `elapsed` seconds
    // after the start of the estimate. Updates lastTime and errorCode.
    static ChunkVerdict readChunk(ExecContext &context, QStringView chunk, double elapsed);
    // Puts every "frame=" record on a line of its own and keeps at most
    // 4096 characters of earlier output before the newest chunk.
    static void appendKeptOutput(QString &kept, QStringView chunk);
    // A lone "*" argument stands for every entry of the working folder, as
    // the tools expand it themselves where no shell does it for them.
    static QStringList expandWildcard(const QStringList &arguments, const QString &workingDirectory);

private:
    ProcessSpec specOf(const QString &commandLine, StopToken stop);
    void appendDosOutput(const QByteArray &bytes);

    ProcessRunner &m_processes;
    const RunOptions &m_options;
    ProgressView &m_view;
    Messages::Channel &m_messages;
    QStringList m_started;
};
