// Converts a 60-second 1280x720 clip through PrepareVideo, then runs the
// very command lines it ran directly, one after the other, in the same run.
// Targets: PrepareVideo's wall time at most 1.05x the direct run's, and no
// stall of Qt's loop of 50 ms or more while it converts.
//
//   bench_conversion [--size WxH of the output, default 640x360] [--rounds N, default 2]

#include "StallMeter.h"
#include "common/Lang.h"
#include "pipeline/ExecRunner.h"
#include "pipeline/ProgressView.h"
#include "pipeline/SampleMedia.h"
#include "pipeline/VideoConversion.h"
#include "platform/AppPaths.h"
#include "platform/Messages.h"
#include "platform/ProcessRunner.h"
#include "platform/ToolLocator.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QProcess>
#include <QTemporaryDir>
#include <QTextStream>
#include <QThread>
#include <QTimer>
#include <algorithm>

namespace {

// Runs the commands one after the other, each awaited by an otherwise idle
// loop: its longest stall is what the machine's load alone costs.
double runDirectly(const QStringList &commands, qint64 &stall)
{
    QElapsedTimer clock;
    clock.start();
    StallMeter meter;
    for (const QString &command : commands) {
        const ProcessSpec spec = commandSpec(command);
        QProcess process;
        process.setStandardInputFile(QProcess::nullDevice());
        process.setStandardOutputFile(QProcess::nullDevice());
        process.setStandardErrorFile(QProcess::nullDevice());
        QEventLoop loop;
        QObject::connect(&process, &QProcess::finished, &loop, &QEventLoop::quit);
        QObject::connect(&process, &QProcess::errorOccurred, &loop, &QEventLoop::quit);
        process.start(ToolLocator::resolve(spec.program), spec.arguments);
        loop.exec();
    }
    stall = meter.longestMs();
    return double(clock.elapsed()) / 1000;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments();
    const qsizetype sizeAt = args.indexOf("--size");
    const qsizetype roundsAt = args.indexOf("--rounds");
    const int rounds =
        roundsAt > 0 && roundsAt + 1 < args.size() ? std::max(1, args[roundsAt + 1].toInt()) : 2;
    const QStringList size =
        (sizeAt > 0 && sizeAt + 1 < args.size() ? args[sizeAt + 1] : "640x360").split('x');
    QTextStream out(stdout);
    QTemporaryDir dir;
    if (!dir.isValid() || size.size() != 2)
        return 1;

    SampleVideo sample;
    sample.output = dir.filePath("source.mp4");
    sample.durationSeconds = 60;
    sample.width = 1280;
    sample.height = 720;
    sample.frameRate = 30;
    ProcessRunner processes;
    if (const QString failure = QCoro::waitFor(sample.make(&processes)); !failure.isEmpty()) {
        out << failure << Qt::endl;
        return 1;
    }

    RunOptions options;
    options.cpuCount = QThread::idealThreadCount();
    SilentProgressView view;
    const LanguageTable language(AppPaths::resourcePath(QStringLiteral("res.xml")));
    Messages::Channel messages;
    ExecRunner runner(processes, options, view, messages);
    VideoConversion conversion(runner, options, view, language);
    EntryJob job;
    job.entry.path = sample.output;
    job.entry.fileName = "source.mp4";
    job.entry.duration = "00:01:00";
    job.entry.secDuration = 60;
    job.entry.videoWidth = size[0].toInt();
    job.entry.videoHeight = size[1].toInt();
    job.entry.vBitRate = "586k";
    job.entry.aBitRate = "64k";
    QCoro::waitFor(conversion.ensureCapabilities());

    // The machine is shared: the rounds alternate the two ways, and the best
    // time of each way counts.
    double pipelineSeconds = 1e9;
    double directSeconds = 1e9;
    qint64 stall = 0;
    qint64 directStall = 0;
    QStringList commands;
    for (int round = 0; round < rounds; ++round) {
        const QString viaPipeline = dir.filePath(QStringLiteral("pipeline%1").arg(round));
        QDir().mkpath(viaPipeline);
        const qsizetype before = runner.startedCommands().size();
        QElapsedTimer clock;
        clock.start();
        PrepareResult result;
        {
            StallMeter meter;
            job.workFolder = viaPipeline;
            result = QCoro::waitFor(conversion.PrepareVideo(job));
            stall = std::max(stall, meter.longestMs());
        }
        pipelineSeconds = std::min(pipelineSeconds, double(clock.elapsed()) / 1000);
        if (!result.ok()) {
            out << "PrepareVideo failed: " << result.text() << Qt::endl;
            return 1;
        }

        const QString direct = dir.filePath(QStringLiteral("direct%1").arg(round));
        QDir().mkpath(direct);
        commands = runner.startedCommands().mid(before);
        commands.replaceInStrings(viaPipeline, direct);
        qint64 idleStall = 0;
        directSeconds = std::min(directSeconds, runDirectly(commands, idleStall));
        directStall = std::max(directStall, idleStall);
    }

    out << "commands run: " << commands.size() << ", output " << size.join('x') << ", best of " << rounds
        << " rounds" << Qt::endl;
    out << "PrepareVideo: " << QString::number(pipelineSeconds, 'f', 2)
        << " s, the same commands directly: " << QString::number(directSeconds, 'f', 2) << " s" << Qt::endl;
    out << "wall-time ratio: " << QString::number(pipelineSeconds / directSeconds, 'f', 3)
        << " (target <= 1.05)" << Qt::endl;
    out << "longest stall of the loop: " << stall
        << " ms (target < 50); of an idle loop beside the direct run: " << directStall << " ms" << Qt::endl;
    return 0;
}
