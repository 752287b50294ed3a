// clipferry-cli convert SOURCE --work DIR: prepares one video for upload as
// the queue runner would, without a server, and prints the outcome.

#include "cli/CliCommand.h"
#include "cli/ConsoleProgressView.h"
#include "common/TextUtil.h"
#include "pipeline/ExecRunner.h"
#include "pipeline/ProgressView.h"
#include "pipeline/RunOptions.h"
#include "pipeline/VideoConversion.h"
#include "platform/ProcessRunner.h"
#include "platform/ShutdownSignals.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTextStream>
#include <QThread>
#include <cmath>

using namespace Qt::StringLiterals;

namespace {

const QString kUsage =
    u"SOURCE --work DIR [--container mp4|flv] [--size WxH] [--vbitrate 586k] [--abitrate 64k] "
    u"[--postfix P] [--no-convert] [--upload-source] [--tmp-name] [--interlaced]"_s;

struct Probe
{
    double seconds = 0;
    int width = 0;
    int height = 0;
};

Probe readProbe(const QString &output)
{
    Probe probe;
    for (const QString &line : output.split(u'\n')) {
        const QString key = line.section(u'=', 0, 0).trimmed();
        const QString value = line.section(u'=', 1).trimmed();
        if (key == u"width")
            probe.width = value.toInt();
        else if (key == u"height")
            probe.height = value.toInt();
        else if (key == u"duration" && probe.seconds == 0)
            probe.seconds = value.toDouble();
    }
    return probe;
}

QString clockText(qint32 seconds)
{
    const QChar zero(u'0');
    return u"%1:%2:%3"_s.arg(seconds / 3600, 2, 10, zero)
        .arg(seconds / 60 % 60, 2, 10, zero)
        .arg(seconds % 60, 2, 10, zero);
}

QCoro::Task<int> run(QStringList args)
{
    const QString usage = u"convert "_s + kUsage;
    RunOptions options;
    options.cpuCount = QThread::idealThreadCount();
    ConsoleProgressView view;
    ProcessRunner processes;
    ExecRunner runner(processes, options, view);
    VideoConversion conversion(runner, options, view);
    StopSource stop;
    ShutdownSignals interrupt;
    QObject::connect(&interrupt, &ShutdownSignals::received, &conversion, [&stop] { stop.requestStop(); });
    EntryJob job;
    job.stop = stop.token();
    CVideoItem &entry = job.entry;

    const QString work = CliArgs::take(args, u"--work"_s);
    const QString container = CliArgs::take(args, u"--container"_s, u"mp4"_s);
    const QString size = CliArgs::take(args, u"--size"_s);
    entry.vBitRate = CliArgs::take(args, u"--vbitrate"_s, u"586k"_s);
    entry.aBitRate = CliArgs::take(args, u"--abitrate"_s, u"64k"_s);
    entry.dstPostfix = CliArgs::take(args, u"--postfix"_s);
    entry.dstCvtType = CliArgs::flag(args, u"--no-convert"_s) ? NoConversion : LocalConversion;
    job.uploadSource = CliArgs::flag(args, u"--upload-source"_s);
    entry.useTmpName = CliArgs::flag(args, u"--tmp-name"_s);
    entry.bInterlaced = CliArgs::flag(args, u"--interlaced"_s);
    if (work.isEmpty())
        co_return CliArgs::usageError(u"--work names the folder to prepare into"_s, usage);
    if (container != u"mp4" && container != u"flv")
        co_return CliArgs::usageError(u"the container is mp4 or flv"_s, usage);
    if (args.size() != 1 || args.first().startsWith(u'-'))
        co_return CliArgs::usageError(u"name one source video"_s, usage);
    const QFileInfo source(args.first());
    if (!source.isFile()) {
        QTextStream(stderr) << "clipferry-cli: " << source.filePath() << " is not a file" << Qt::endl;
        co_return 1;
    }
    if (!QDir().mkpath(work)) {
        QTextStream(stderr) << "clipferry-cli: cannot make the folder " << work << Qt::endl;
        co_return 1;
    }
    job.videoType = container;
    entry.path = source.absoluteFilePath();
    entry.fileName = source.fileName();

    const QString probeCommand = u"ffprobe -v error -select_streams v:0 -show_entries "
                                 u"stream=width,height:format=duration -of default=noprint_wrappers=1 \""_s +
                                 entry.path + u'"';
    const ProcessResult probed = co_await runner.captureOutput(probeCommand);
    const Probe probe = readProbe(QString::fromLocal8Bit(probed.output));
    entry.secDuration = static_cast<qint32>(std::floor(probe.seconds));
    entry.duration = clockText(entry.secDuration);
    entry.videoWidth = RoundToEven(probe.width);
    entry.videoHeight = RoundToEven(probe.height);
    if (!size.isEmpty()) {
        static const QRegularExpression pattern(u"^(\\d+)x(\\d+)$"_s);
        const QRegularExpressionMatch match = pattern.match(size);
        if (!match.hasMatch())
            co_return CliArgs::usageError(u"the size reads WIDTHxHEIGHT"_s, usage);
        entry.videoWidth = match.captured(1).toInt();
        entry.videoHeight = match.captured(2).toInt();
    }
    if (entry.videoWidth <= 0 || entry.videoHeight <= 0) {
        QTextStream(stderr) << "clipferry-cli: " << entry.path << " has no video stream that ffprobe can read"
                            << Qt::endl;
        co_return 1;
    }

    job.workFolder = QDir(work).absolutePath();
    const PrepareResult result = co_await conversion.PrepareVideo(job);
    QTextStream out(stdout);
    if (job.stopped())
        out << "stopped" << Qt::endl;
    const QString text = result.text();
    out << "result " << static_cast<int>(result.failure) << (text.isEmpty() ? QString() : u": "_s + text)
        << Qt::endl;
    co_return result.ok() && !job.stopped() ? 0 : 1;
}

const CliCommand command{{u"convert"_s}, kUsage, run};

} // namespace
