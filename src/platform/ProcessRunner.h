#pragma once

#include "platform/StopToken.h"

#include <QByteArray>
#include <QCoroTask>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>
#include <chrono>
#include <functional>

class QProcess;

// How a child process ended.
enum class ProcessOutcome
{
    Finished,      // exited with code 0 (or the accepted code)
    FailedToStart, // not found, not executable, or exec failed
    Crashed,       // ended by a signal it did not ask for
    NonZeroExit,   // exited with another code
    TimedOut,      // ran past its limit and was killed
    Stopped        // killed because its stop token was asked to stop, or its reader said so
};

struct ProcessResult
{
    ProcessOutcome outcome = ProcessOutcome::FailedToStart;
    int exitCode = -1;
    // The merged output as far as it was kept (its tail when it was long).
    QByteArray output;
    // The program's file name, for messages.
    QString program;

    bool ok() const { return outcome == ProcessOutcome::Finished; }
    // Why it did not finish well, naming the program ("zip ended with exit
    // code 18: ..."); empty when it did.
    QString errorText() const;
};

struct ProcessSpec
{
    // A path, or a tool's name found by ToolLocator::resolve.
    QString program;
    QStringList arguments;
    QString workingDirectory;
    // Killed after this long; negative waits as long as it takes (an encode).
    std::chrono::milliseconds timeout = std::chrono::seconds(30);
    StopToken stop;
    // Runs at a lower scheduling priority (conversions on a shared machine).
    bool lowPriority = false;
    // Output nobody reads goes nowhere instead of being collected.
    bool discardOutput = false;
    // Each chunk of merged output (at most 4096 bytes) as it arrives; a false
    // return kills the child, which then ends Stopped.
    std::function<bool(const QByteArray &)> onOutput;
    // How many bytes of output the result keeps (the newest).
    qsizetype keepOutput = 1 << 20;
    // An exit code other than 0 that still counts as finished.
    int alsoAcceptedExitCode = 0;
    // The child leaves helpers behind (a browser): its whole process group
    // is ended when it ends, too.
    bool endGroupAfterwards = false;

    static ProcessSpec of(QString program, QStringList arguments, QString workingDirectory = {})
    {
        ProcessSpec spec;
        spec.program = std::move(program);
        spec.arguments = std::move(arguments);
        spec.workingDirectory = std::move(workingDirectory);
        return spec;
    }
};

// The one way ClipFerry runs a program. Driven by QProcess's signals: the
// caller awaits the result while the loop goes on. Each child runs in a
// process group of its own so that Stop ends it with everything it started,
// and on Linux the kernel ends it when ClipFerry dies, so a killed ClipFerry
// leaves no encoder running.
class ProcessRunner final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ProcessRunner)

public:
    explicit ProcessRunner(QObject *parent = nullptr);
    ~ProcessRunner() override;

    QCoro::Task<ProcessResult> run(ProcessSpec spec);
    // Kills every child still running (at exit).
    void stopAll();
    int runningCount() const { return static_cast<int>(m_running.size()); }

Q_SIGNALS:
    // A child was started: its program path and arguments.
    void started(const QString &program, const QStringList &arguments);

private:
    QSet<QProcess *> m_running;
};

// A whole command line split into its program and arguments, as a caller
// that builds quoted command lines hands it to the runner.
ProcessSpec commandSpec(const QString &commandLine);
