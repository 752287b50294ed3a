// clipferry-cli convert SOURCE --work DIR: prepares one video for upload as
// the queue runner would, without a server, and prints the outcome.

#include "add/VideoProbe.h"
#include "cli/CliCommand.h"
#include "cli/ConsoleProgressView.h"
#include "pipeline/ExecRunner.h"
#include "pipeline/ProgressView.h"
#include "pipeline/RunOptions.h"
#include "pipeline/Session.h"
#include "pipeline/VideoConversion.h"
#include "platform/ProcessRunner.h"
#include "platform/ShutdownSignals.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTextStream>
#include <QThread>

using namespace Qt::StringLiterals;

namespace {

const QString kUsage =
    u"SOURCE --work DIR [--container mp4|flv] [--size WxH] [--vbitrate 586k] [--abitrate 64k] "
    u"[--postfix P] [--no-convert] [--upload-source] [--tmp-name] [--interlaced] [--high-speed yes|no]"_s;

QCoro::Task<int> run(Session *session, QStringList args)
{
    const QString usage = u"convert "_s + kUsage;
    RunOptions &options = session->options();
    ConsoleProgressView view(session->language());
    ProcessRunner &processes = session->processes();
    ExecRunner runner(processes, options, view, session->messages());
    VideoConversion conversion(runner, options, view, session->language());
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
    const std::optional<bool> highSpeed = CliArgs::highSpeed(args);
    if (!highSpeed)
        co_return CliArgs::usageError(u"--high-speed takes yes or no"_s, usage);
    options.highSpeed = *highSpeed;
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

    // Probed as the add dialog probes it; the probe prints why it failed.
    VideoProbe probe(runner, session->language(), session->messages());
    if (!co_await probe.ProbeVideo(entry.path))
        co_return 1;
    const ProbeResult &probed = probe.result;
    entry.secDuration = probed.durationSeconds;
    entry.duration = probed.durationText;
    entry.videoWidth = VideoProbe::EvenFrameSize(probed.frameWidth);
    entry.videoHeight = VideoProbe::EvenFrameSize(probed.frameHeight);
    entry.srcVideoWidth = probed.frameWidth;
    entry.srcVideoHeight = probed.frameHeight;
    entry.bInterlaced = entry.bInterlaced || probed.interlaced;
    if (!size.isEmpty()) {
        static const QRegularExpression pattern(u"^(\\d+)x(\\d+)$"_s);
        const QRegularExpressionMatch match = pattern.match(size);
        if (!match.hasMatch())
            co_return CliArgs::usageError(u"the size reads WIDTHxHEIGHT"_s, usage);
        entry.videoWidth = match.captured(1).toInt();
        entry.videoHeight = match.captured(2).toInt();
    }

    job.workFolder = QDir(work).absolutePath();
    QTextStream(stdout) << CliArgs::describe(options) << Qt::endl;
    const PrepareResult result = co_await conversion.PrepareVideo(job);
    QTextStream out(stdout);
    if (job.stopped())
        out << "stopped" << Qt::endl;
    const QString text = result.text();
    out << "result " << static_cast<int>(result.failure) << (text.isEmpty() ? QString() : u": "_s + text)
        << Qt::endl;
    co_return result.ok() && !job.stopped() ? 0 : 1;
}

} // namespace

CliCommand convertCommand()
{
    return {{u"convert"_s}, kUsage, run};
}
