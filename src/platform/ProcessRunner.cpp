#include "platform/ProcessRunner.h"

#include "platform/ToolLocator.h"

#include <QCoroSignal>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QPointer>
#include <QProcess>

#ifdef Q_OS_UNIX
#include <csignal>
#include <sys/resource.h>
#include <unistd.h>
#endif
#ifdef Q_OS_LINUX
#include <sys/prctl.h>
#endif

using namespace std::chrono_literals;
using namespace Qt::StringLiterals;

namespace {

constexpr qint64 kChunkBytes = 4096;
// A killed child that does not go within this long is left to the kernel.
constexpr auto kKillGrace = 5s;

// Wakes the awaiting run whenever something about its child may have changed:
// output, an end, an error, or a stop request. The run then looks at the
// child's state itself, so a wake-up it missed costs nothing.
class ChildWatch final : public QObject
{
    Q_OBJECT
public:
    ChildWatch(QProcess *process, StopState *stop)
    {
        connect(process, &QProcess::readyRead, this, &ChildWatch::poke);
        connect(process, &QProcess::finished, this, &ChildWatch::poke);
        connect(process, &QProcess::errorOccurred, this, &ChildWatch::poke);
        connect(process, &QProcess::started, this, [this] {
            hasStarted = true;
            Q_EMIT poke();
        });
        connect(stop, &StopState::stopRequested, this, &ChildWatch::poke);
    }
    bool hasStarted = false;
Q_SIGNALS:
    void poke();
};

// The child leads its own group: one signal to the group also ends what
// it started.
void killGroup(qint64 leader)
{
#ifdef Q_OS_UNIX
    if (leader > 0)
        ::kill(-static_cast<pid_t>(leader), SIGKILL);
#else
    Q_UNUSED(leader)
#endif
}

void killChild(QProcess *process)
{
    killGroup(process->processId());
    process->kill();
}

void keepTail(QByteArray &kept, const QByteArray &chunk, qsizetype limit)
{
    kept += chunk;
    if (kept.size() > limit)
        kept.remove(0, kept.size() - limit);
}

ProcessOutcome endOf(const QProcess &process, bool started, int acceptedCode)
{
    if (!started)
        return ProcessOutcome::FailedToStart;
    if (process.exitStatus() != QProcess::NormalExit)
        return ProcessOutcome::Crashed;
    const int code = process.exitCode();
    return code == 0 || code == acceptedCode ? ProcessOutcome::Finished : ProcessOutcome::NonZeroExit;
}

} // namespace

QString ProcessResult::errorText() const
{
    const QString last = QString::fromLocal8Bit(output).trimmed().section(u'\n', -1).trimmed();
    const QString detail = last.isEmpty() ? QString() : u": "_s + last;
    switch (outcome) {
    case ProcessOutcome::Finished:
        return {};
    case ProcessOutcome::FailedToStart:
        return last.isEmpty() ? u"%1 could not be started."_s.arg(program) : last;
    case ProcessOutcome::Crashed:
        return u"%1 crashed%2"_s.arg(program, detail);
    case ProcessOutcome::NonZeroExit:
        return u"%1 ended with exit code %2%3"_s.arg(program).arg(exitCode).arg(detail);
    case ProcessOutcome::TimedOut:
        return u"%1 took too long and was stopped."_s.arg(program);
    case ProcessOutcome::Stopped:
        return u"%1 was stopped."_s.arg(program);
    }
    return {};
}

ProcessSpec commandSpec(const QString &commandLine)
{
    const QStringList words = QProcess::splitCommand(commandLine);
    ProcessSpec spec;
    spec.program = words.value(0);
    spec.arguments = words.mid(1);
    return spec;
}

ProcessRunner::ProcessRunner(QObject *parent) : QObject(parent) {}

ProcessRunner::~ProcessRunner()
{
    stopAll();
}

void ProcessRunner::stopAll()
{
    for (QProcess *process : std::as_const(m_running)) {
        killChild(process);
        process->waitForFinished(1000);
    }
}

QCoro::Task<ProcessResult> ProcessRunner::run(ProcessSpec spec)
{
    QPointer<ProcessRunner> self(this);
    ProcessResult result;
    result.program = QFileInfo(spec.program).fileName();
    // Command lines written for Windows name "MP4Box.exe"; messages name the tool.
    if (result.program.endsWith(u".exe"_s, Qt::CaseInsensitive))
        result.program.chop(4);
    const QString program = ToolLocator::resolve(spec.program);
    if (program.isEmpty()) {
        result.output = ToolLocator::missingMessage(result.program).toLocal8Bit();
        co_return result;
    }
    if (spec.stop.stopRequested()) {
        result.outcome = ProcessOutcome::Stopped;
        co_return result;
    }

    auto *process = new QProcess(this);
    process->setProgram(program);
    process->setArguments(spec.arguments);
    if (!spec.workingDirectory.isEmpty())
        process->setWorkingDirectory(spec.workingDirectory);
    // A child that asks a question must not wait for an answer nobody gives.
    process->setStandardInputFile(QProcess::nullDevice());
    if (spec.discardOutput) {
        process->setStandardOutputFile(QProcess::nullDevice());
        process->setStandardErrorFile(QProcess::nullDevice());
    } else {
        process->setProcessChannelMode(QProcess::MergedChannels);
    }
#ifdef Q_OS_UNIX
    process->setChildProcessModifier([parent = ::getpid(), low = spec.lowPriority] {
        ::setpgid(0, 0);
#ifdef Q_OS_LINUX
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        // The parent may have died before the request was made.
        if (::getppid() != parent)
            ::_exit(127);
#else
        Q_UNUSED(parent)
#endif
        if (low)
            ::setpriority(PRIO_PROCESS, 0, 10);
    });
#endif

    ChildWatch watch(process, spec.stop.state());
    m_running.insert(process);
    Q_EMIT started(program, spec.arguments);
    process->start();

    QElapsedTimer clock;
    clock.start();
    std::optional<ProcessOutcome> killedAs;
    auto kill = [&](ProcessOutcome why) {
        if (!killedAs) {
            killedAs = why;
            killChild(process);
        }
    };
    const qint64 groupLeader = process->processId();
    for (;;) {
        while (process->bytesAvailable() > 0) {
            const QByteArray chunk = process->read(kChunkBytes);
            keepTail(result.output, chunk, spec.keepOutput);
            if (spec.onOutput && !killedAs && !spec.onOutput(chunk))
                kill(ProcessOutcome::Stopped);
        }
        if (process->state() == QProcess::NotRunning)
            break;
        if (spec.stop.stopRequested())
            kill(ProcessOutcome::Stopped);
        const qint64 limit = spec.timeout.count();
        if (limit >= 0 && clock.elapsed() >= limit)
            kill(ProcessOutcome::TimedOut);
        std::chrono::milliseconds wait(-1);
        if (killedAs)
            wait = kKillGrace;
        else if (limit >= 0)
            wait = std::chrono::milliseconds(limit - clock.elapsed() + 1);
        const auto woken = co_await qCoro(&watch, &ChildWatch::poke, wait);
        if (!self)
            co_return result;
        if (!woken && killedAs)
            break;
    }
    m_running.remove(process);
    if (spec.endGroupAfterwards)
        killGroup(groupLeader);
    result.exitCode = process->exitCode();
    result.outcome = killedAs ? *killedAs : endOf(*process, watch.hasStarted, spec.alsoAcceptedExitCode);
    if (result.outcome == ProcessOutcome::FailedToStart && result.output.isEmpty())
        result.output = process->errorString().toLocal8Bit();
    process->disconnect(&watch);
    process->deleteLater();
    co_return result;
}

#include "ProcessRunner.moc"
