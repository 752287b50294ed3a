#pragma once

#include "pipeline/RunFlags.h"

#include <QCoroTask>
#include <QObject>
#include <QString>
#include <QStringList>
#include <chrono>

class ProgressView;
class QProcess;

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
    // Seconds since midnight at the start of pass 1; pass 2 estimates from it.
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
};

// Runs the external programs of the pipeline as hidden children on Qt's
// loop. Command lines are whole texts as the conversion builds them: the
// first word names the program, paths are in double quotes.
class ExecRunner final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ExecRunner)

public:
    ExecRunner(RunFlags &flags, ProgressView &view, QObject *parent = nullptr);

    ExecContext context;

    // Runs the command to its end, or until Stop or a recognised failure
    // kills it; shows its output and progress meanwhile.
    QCoro::Task<> ExecCapture(QString commandLine, bool keepDosOutput);
    // Runs the command hidden and uncaptured, in `workingDirectory` when one
    // is given. False when StopExec killed it, or when it ran past `limit`
    // (a negative limit waits as long as it takes).
    QCoro::Task<bool> ExecWait(QString commandLine, QString workingDirectory = {},
                               std::chrono::milliseconds limit = std::chrono::milliseconds(-1));
    // Asks the running ExecWait to kill its child.
    void StopExec();

    // The reduced form for probing: normal priority, no failure texts, no
    // copy to a file; returns the whole merged output. With a duration, a
    // plain-seconds "time=" value becomes the progress bar's percentage.
    QCoro::Task<QString> captureOutput(QString commandLine, qint32 durationSeconds = 0);

    // Every command line started, in order (the benchmark replays them).
    const QStringList &startedCommands() const { return m_started; }

    // One chunk's progress and failure texts, measured `elapsed` seconds
    // after the start of the estimate. Updates lastTime and errorCode.
    static ChunkVerdict readChunk(ExecContext &context, QStringView chunk, double elapsed);
    // Puts every "frame=" record on a line of its own and keeps at most
    // 4096 characters of earlier output before the newest chunk.
    static void appendKeptOutput(QString &kept, QStringView chunk);
    // The program that runs a command's first word: a path that exists, or
    // the tool of that name (".exe" dropped) found by ToolLocator, or the
    // stand-in of a tool this platform lacks. Empty when none is found.
    static QString resolveProgram(const QString &name);
    // Splits a command line into the program and its arguments.
    static QStringList splitCommand(const QString &commandLine);
    // A lone "*" argument stands for every entry of the working folder, as
    // the tools expand it themselves where no shell does it for them.
    static QStringList expandWildcard(const QStringList &arguments, const QString &workingDirectory);
    // Whether a conversion runs below normal priority.
    static bool lowPriority(const RunFlags &flags);

private:
    QProcess *startChild(const QString &commandLine, bool merged, bool belowNormal);
    QCoro::Task<> killChild(QProcess *process);
    void appendDosOutput(const QByteArray &bytes);

    RunFlags &m_flags;
    ProgressView &m_view;
    bool m_stopFlag = false;
    QStringList m_started;
};
