#include "pipeline/ExecRunner.h"

#include "common/TextUtil.h"
#include "pipeline/ProgressView.h"
#include "platform/Messages.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QStringDecoder>
#include <algorithm>
#include <chrono>
#include <optional>

using namespace std::chrono_literals;
using namespace Qt::StringLiterals;

namespace {

constexpr qsizetype kKeptChars = 4096;
constexpr int kDosOutputChunks = 10;
// The progress label is redrawn at most this often.
constexpr auto kLabelInterval = 100ms;

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

} // namespace

ExecRunner::ExecRunner(ProcessRunner &processes, const RunOptions &options, ProgressView &view,
                       Messages::Channel &messages, QObject *parent)
    : QObject(parent), m_processes(processes), m_options(options), m_view(view), m_messages(messages)
{}

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
                        verdict.secondsLeft = remains;
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

ProcessSpec ExecRunner::specOf(const QString &commandLine, StopToken stop)
{
    ProcessSpec spec = commandSpec(commandLine);
    spec.stop = std::move(stop);
    m_started.append(commandLine);
    return spec;
}

void ExecRunner::appendDosOutput(const QByteArray &bytes)
{
    if (context.workFolder.isEmpty())
        return;
    QFile file(QDir(context.workFolder).filePath(QStringLiteral("DosOutput.txt")));
    if (file.open(QIODevice::WriteOnly | QIODevice::Append))
        file.write(bytes);
}

QCoro::Task<ProcessResult> ExecRunner::ExecCapture(QString commandLine, bool keepDosOutput, StopToken stop)
{
    ProcessSpec spec = specOf(commandLine, std::move(stop));
    spec.timeout = -1ms;
    spec.lowPriority = m_options.lowPriority();
    // Only the tail matters to anybody; the panel keeps its own.
    spec.keepOutput = 64 * 1024;

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
    QElapsedTimer sinceLabel;
    spec.onOutput = [&](const QByteArray &bytes) {
        const QString chunk = decoder.decode(bytes);
        const ChunkVerdict verdict = readChunk(context, chunk, clockSeconds() - t0);
        if (!verdict.label.isEmpty() &&
            (!sinceLabel.isValid() || sinceLabel.hasExpired(kLabelInterval.count()))) {
            m_view.setConvertInfo(verdict.label);
            m_view.setProgress(static_cast<int>(verdict.percent));
            m_view.setStepProgress({context.pass == 1 ? EntryPhase::ConvertPass1 : EntryPhase::ConvertPass2,
                                    static_cast<int>(verdict.percent), verdict.secondsLeft});
            sinceLabel.start();
        }
        if (keepDosOutput && savedChunks < kDosOutputChunks) {
            appendDosOutput(bytes);
            ++savedChunks;
        }
        appendKeptOutput(kept, chunk);
        context.outputText = kept;
        m_view.setOutputText(kept);
        return !verdict.failed;
    };
    const ProcessResult result = co_await m_processes.run(std::move(spec));
    if (result.outcome == ProcessOutcome::FailedToStart)
        m_messages.show(QStringLiteral("CreateProcess failed"), QStringLiteral("Message"),
                        Messages::Icon::Warning);
    co_return result;
}

QCoro::Task<ProcessResult> ExecRunner::ExecWait(QString commandLine, StopToken stop, QString workingDirectory,
                                                std::chrono::milliseconds limit)
{
    ProcessSpec spec = specOf(commandLine, std::move(stop));
    spec.timeout = limit;
    if (!workingDirectory.isEmpty()) {
        spec.workingDirectory = workingDirectory;
        spec.arguments = expandWildcard(spec.arguments, workingDirectory);
    }
    // Kept for the reason of a failure only.
    spec.keepOutput = 4096;
    const ProcessResult result = co_await m_processes.run(std::move(spec));
    if (!result.ok() && result.outcome != ProcessOutcome::Stopped)
        m_view.appendOutputLine(result.errorText());
    co_return result;
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

QCoro::Task<ProcessResult> ExecRunner::captureOutput(QString commandLine, qint32 durationSeconds,
                                                     StopToken stop)
{
    ProcessSpec spec = specOf(commandLine, std::move(stop));
    spec.timeout = -1ms;
    // The caller reads all of it (ffmpeg's full help is a few MiB).
    spec.keepOutput = 64 * 1024 * 1024;
    spec.onOutput = [this, durationSeconds](const QByteArray &bytes) {
        const QString chunk = QString::fromLocal8Bit(bytes);
        const qsizetype at = chunk.lastIndexOf(kTimeMark);
        const qsizetype end = at < 0 ? -1 : chunk.indexOf(u' ', at + kTimeMark.size());
        if (end >= 0 && durationSeconds > 0) {
            const double seconds =
                chunk.sliced(at + kTimeMark.size(), end - at - kTimeMark.size()).toDouble();
            m_view.setProgress(static_cast<int>(std::clamp(seconds * 100 / durationSeconds, 0.0, 100.0)));
        }
        return true;
    };
    co_return co_await m_processes.run(std::move(spec));
}
