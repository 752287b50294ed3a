#include "pipeline/ExecRunner.h"

#include "common/TextUtil.h"
#include "pipeline/ProgressView.h"
#include "platform/Coro.h"
#include "platform/Messages.h"
#include "platform/ToolLocator.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QProcess>
#include <QStringDecoder>
#include <algorithm>
#include <chrono>
#include <optional>

#ifdef Q_OS_UNIX
#include <sys/resource.h>
#endif

using namespace std::chrono_literals;
using namespace Qt::StringLiterals;

namespace {

constexpr qint64 kChunkBytes = 4096;
constexpr qsizetype kKeptChars = 4096;
constexpr int kDosOutputChunks = 10;
// How often a waiting runner looks at its child. QProcess drains the pipe on
// its own meanwhile, so the child never blocks on a full pipe.
constexpr auto kPoll = 25ms;
constexpr auto kKillPoll = 100ms;

const QString kTimeMark = QStringLiteral("time=");
const QString kFrameMark = QStringLiteral("frame=");
const QString kDecodeError = QStringLiteral("Error while decoding stream");
const QString kResampleError = QStringLiteral("Resampling with input channels greater than 2 unsupported");

// A monotonic clock in seconds: estimates survive midnight and clock changes.
double clockSeconds()
{
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

// A number as the "0.0" and "0.00" formats show it, read back.
double roundTo(double value, int decimals)
{
    return QString::number(value, 'f', decimals).toDouble();
}

// The shortest decimal form, as a number is shown in the progress label.
QString shortest(double value)
{
    return QString::number(value, 'g', 15);
}

// "hh:mm:ss.ff" as seconds; nothing when the value is not three numbers.
std::optional<double> timeValueSeconds(QStringView text)
{
    const QList<QStringView> parts = text.split(u':');
    if (parts.size() < 3)
        return std::nullopt;
    bool okHours = false;
    bool okMinutes = false;
    bool okSeconds = false;
    const double hours = parts[0].toDouble(&okHours);
    const double minutes = parts[1].toDouble(&okMinutes);
    const double seconds = parts[2].toDouble(&okSeconds);
    if (!okHours || !okMinutes || !okSeconds)
        return std::nullopt;
    return static_cast<double>(RoundHalfEven(hours) * 3600 + RoundHalfEven(minutes * 60)) + seconds;
}

bool childRunning(const QProcess *process)
{
    return process->state() != QProcess::NotRunning;
}

} // namespace

ExecRunner::ExecRunner(RunFlags &flags, ProgressView &view, QObject *parent)
    : QObject(parent), m_flags(flags), m_view(view)
{}

bool ExecRunner::lowPriority(const RunFlags &flags)
{
    return !flags.highSpeed && flags.cpuCount > 2;
}

QStringList ExecRunner::splitCommand(const QString &commandLine)
{
    return QProcess::splitCommand(commandLine);
}

QString ExecRunner::resolveProgram(const QString &name)
{
    const QFileInfo given(name);
    if (given.isAbsolute() && given.isFile() && given.isExecutable())
        return given.absoluteFilePath();
    QString base = given.fileName();
#ifndef Q_OS_WIN
    if (base.endsWith(u".exe", Qt::CaseInsensitive))
        base.chop(4);
#endif
    if (QString found = ToolLocator::find(base); !found.isEmpty())
        return found;
    // Tools without a package on this platform have small stand-ins of ours.
    if (base == u"MP4Box")
        return ToolLocator::find(QStringLiteral("clipferry-mp4box"));
    if (base == u"mp4GetKeyFrame")
        return ToolLocator::find(QStringLiteral("clipferry-keyframes"));
    if (base == u"thumb")
        return ToolLocator::find(QStringLiteral("clipferry-thumb"));
    return {};
}

ChunkVerdict ExecRunner::readChunk(ExecContext &context, QStringView chunk, double elapsed)
{
    ChunkVerdict verdict;
    if (context.parseProgress) {
        const qsizetype at = chunk.lastIndexOf(kTimeMark);
        const qsizetype end = at < 0 ? -1 : chunk.indexOf(u' ', at + kTimeMark.size());
        if (end >= 0) {
            const QStringView value = chunk.sliced(at + kTimeMark.size(), end - at - kTimeMark.size());
            const std::optional<double> seconds = timeValueSeconds(value);
            if (!seconds) {
                context.errorCode = -2;
                verdict.failed = true;
            } else {
                context.lastTime = shortest(*seconds);
                if (context.durationSeconds > 0) {
                    double percent = roundTo(*seconds * 100 / context.durationSeconds, 1);
                    if (context.pass == 1)
                        percent = percent / 100 * 25;
                    else if (context.pass == 2)
                        percent = percent / 100 * 75 + 25;
                    // Before the first packet ffmpeg reports a negative time.
                    percent = std::clamp(percent, 0.0, 100.0);
                    if (percent > 0) {
                        const double spent = roundTo(elapsed, 2);
                        const qint64 remains = RoundHalfEven(spent * 100 / percent - spent);
                        const qint64 minutes = RoundHalfEven(static_cast<double>(remains) / 60);
                        context.remainingMinutes =
                            minutes == 0 ? QStringLiteral("<1") : QString::number(minutes);
                    }
                    verdict.percent = percent;
                    verdict.label = context.progressCaption + u' ' + context.durationText + u" (remains "_s +
                                    context.remainingMinutes + u" mins, "_s + shortest(percent) + u"%)"_s;
                }
            }
        }
        bool timeKnown = false;
        const double last = context.lastTime.toDouble(&timeKnown);
        // A damaged frame at the very end costs nothing worth failing for.
        if (timeKnown && context.durationSeconds - last > 2 && chunk.contains(kDecodeError)) {
            context.errorCode = -3;
            verdict.failed = true;
        }
    }
    if (!verdict.failed && chunk.contains(kResampleError)) {
        context.errorCode = -8;
        verdict.failed = true;
    }
    return verdict;
}

void ExecRunner::appendKeptOutput(QString &kept, QStringView chunk)
{
    QStringView rest = chunk;
    for (qsizetype at = rest.indexOf(kFrameMark); at >= 0; at = rest.indexOf(kFrameMark)) {
        kept += rest.first(at);
        kept += u"\r\n"_s + kFrameMark;
        rest = rest.sliced(at + kFrameMark.size());
    }
    if (kept.size() > kKeptChars)
        kept = kept.right(kKeptChars);
    kept += rest;
}

QProcess *ExecRunner::startChild(const QString &commandLine, bool merged, bool belowNormal)
{
    const QStringList words = splitCommand(commandLine);
    const QString program = words.isEmpty() ? QString() : resolveProgram(words.first());
    if (program.isEmpty()) {
        m_view.appendOutputLine(ToolLocator::missingMessage(words.value(0)));
        return nullptr;
    }
    auto *process = new QProcess(this);
    process->setProgram(program);
    process->setArguments(words.mid(1));
    // A child that asks a question must not wait for an answer nobody gives.
    process->setStandardInputFile(QProcess::nullDevice());
    if (merged) {
        process->setProcessChannelMode(QProcess::MergedChannels);
    } else {
        process->setStandardOutputFile(QProcess::nullDevice());
        process->setStandardErrorFile(QProcess::nullDevice());
    }
#ifdef Q_OS_UNIX
    if (belowNormal)
        process->setChildProcessModifier([] { setpriority(PRIO_PROCESS, 0, 10); });
#else
    Q_UNUSED(belowNormal)
#endif
    m_started.append(commandLine);
    return process;
}

QCoro::Task<> ExecRunner::killChild(QProcess *process)
{
    QPointer<QProcess> child(process);
    while (child && childRunning(child)) {
        child->kill();
        co_await Coro::sleep(kKillPoll);
    }
}

void ExecRunner::appendDosOutput(const QByteArray &bytes)
{
    if (context.workFolder.isEmpty())
        return;
    QFile file(QDir(context.workFolder).filePath(QStringLiteral("DosOutput.txt")));
    if (file.open(QIODevice::WriteOnly | QIODevice::Append))
        file.write(bytes);
}

QCoro::Task<> ExecRunner::ExecCapture(QString commandLine, bool keepDosOutput)
{
    QPointer<ExecRunner> self(this);
    QProcess *process = startChild(commandLine, true, lowPriority(m_flags));
    if (!process) {
        Messages::show(QStringLiteral("CreateProcess failed"), QStringLiteral("Message"),
                       Messages::Icon::Warning);
        co_return;
    }
    QPointer<QProcess> child(process);
    process->start();

    context.remainingMinutes = QStringLiteral("--");
    context.outputText.clear();
    double t0 = clockSeconds();
    if (context.pass == 1)
        context.passStart = t0;
    else if (context.pass == 2)
        t0 = context.passStart;

    QStringDecoder decoder(QStringConverter::System);
    QString kept;
    int savedChunks = 0;
    bool stop = false;
    while (!stop) {
        if (child->bytesAvailable() == 0) {
            if (!childRunning(child))
                break;
            co_await Coro::sleep(kPoll);
            if (!self || !child)
                co_return;
            stop = m_flags.cancelRequested;
            continue;
        }
        const QByteArray bytes = child->read(kChunkBytes);
        const QString chunk = decoder.decode(bytes);
        const ChunkVerdict verdict = readChunk(context, chunk, clockSeconds() - t0);
        if (!verdict.label.isEmpty()) {
            m_view.setConvertInfo(verdict.label);
            m_view.setProgress(static_cast<int>(verdict.percent));
            // Limits how often the label is redrawn.
            co_await Coro::sleep(100ms);
            if (!self || !child)
                co_return;
        }
        if (keepDosOutput && savedChunks < kDosOutputChunks) {
            appendDosOutput(bytes);
            ++savedChunks;
        }
        appendKeptOutput(kept, chunk);
        context.outputText = kept;
        m_view.setOutputText(kept);
        stop = m_flags.cancelRequested || verdict.failed;
        if (!stop) {
            // A burst of output is shown chunk by chunk, each in a turn of its own.
            co_await Coro::sleep(0ms);
            if (!self || !child)
                co_return;
            stop = m_flags.cancelRequested;
        }
    }
    if (stop)
        co_await killChild(child);
    if (!self)
        co_return;
    if (child && child->error() == QProcess::FailedToStart)
        Messages::show(QStringLiteral("CreateProcess failed"), QStringLiteral("Message"),
                       Messages::Icon::Warning);
    if (child)
        child->deleteLater();
}

QCoro::Task<bool> ExecRunner::ExecWait(QString commandLine, QString workingDirectory,
                                       std::chrono::milliseconds limit)
{
    QPointer<ExecRunner> self(this);
    m_stopFlag = false;
    QProcess *process = startChild(commandLine, false, false);
    if (!process)
        co_return true;
    if (!workingDirectory.isEmpty()) {
        process->setWorkingDirectory(workingDirectory);
        process->setArguments(expandWildcard(process->arguments(), workingDirectory));
    }
    QPointer<QProcess> child(process);
    QElapsedTimer running;
    running.start();
    bool overdue = false;
    process->start();
    while (child && childRunning(child)) {
        overdue = overdue || (limit.count() >= 0 && running.hasExpired(limit.count()));
        if (m_stopFlag || overdue)
            child->kill();
        co_await Coro::sleep(kPoll);
        if (!self)
            co_return false;
    }
    if (child && child->error() == QProcess::FailedToStart)
        m_view.appendOutputLine(QStringLiteral("%1: %2").arg(child->program(), child->errorString()));
    if (child && overdue)
        m_view.appendOutputLine(QStringLiteral("%1: stopped after %2 s")
                                    .arg(QFileInfo(child->program()).fileName())
                                    .arg(limit.count() / 1000));
    if (child)
        child->deleteLater();
    co_return !m_stopFlag && !overdue;
}

QStringList ExecRunner::expandWildcard(const QStringList &arguments, const QString &workingDirectory)
{
    QStringList expanded;
    for (const QString &argument : arguments) {
        if (argument == QLatin1String("*"))
            expanded += QDir(workingDirectory)
                            .entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                                       QDir::Name);
        else
            expanded += argument;
    }
    return expanded;
}

void ExecRunner::StopExec()
{
    m_stopFlag = true;
}

QCoro::Task<QString> ExecRunner::captureOutput(QString commandLine, qint32 durationSeconds)
{
    QPointer<ExecRunner> self(this);
    m_stopFlag = false;
    QProcess *process = startChild(commandLine, true, false);
    if (!process)
        co_return QString();
    QPointer<QProcess> child(process);
    process->start();
    QStringDecoder decoder(QStringConverter::System);
    QString output;
    while (child && (childRunning(child) || child->bytesAvailable() > 0)) {
        if (m_stopFlag) {
            co_await killChild(child);
            break;
        }
        if (child->bytesAvailable() == 0) {
            co_await Coro::sleep(kPoll);
            if (!self)
                co_return output;
            continue;
        }
        const QString chunk = decoder.decode(child->read(kChunkBytes));
        output += chunk;
        const qsizetype at = chunk.lastIndexOf(kTimeMark);
        const qsizetype end = at < 0 ? -1 : chunk.indexOf(u' ', at + kTimeMark.size());
        if (end >= 0 && durationSeconds > 0) {
            const double seconds =
                chunk.sliced(at + kTimeMark.size(), end - at - kTimeMark.size()).toDouble();
            m_view.setProgress(static_cast<int>(std::clamp(seconds * 100 / durationSeconds, 0.0, 100.0)));
        }
    }
    if (self && child)
        child->deleteLater();
    co_return output;
}
