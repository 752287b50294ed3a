// clipferry-cli probe FILE: examines a video as the add dialogs do and
// prints what they would learn as one JSON object.

#include "add/VideoProbe.h"
#include "cli/CliCommand.h"
#include "pipeline/ExecRunner.h"
#include "pipeline/ProgressView.h"
#include "pipeline/RunOptions.h"
#include "pipeline/Session.h"
#include "platform/ProcessRunner.h"
#include "platform/ToolLocator.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTextStream>

using namespace Qt::StringLiterals;

namespace {

const QString kUsage = u"FILE"_s;

QJsonObject toJson(const ProbeResult &r)
{
    return {
        {u"durationText"_s, r.durationText}, {u"durationSeconds"_s, r.durationSeconds},
        {u"frameWidth"_s, r.frameWidth},     {u"frameHeight"_s, r.frameHeight},
        {u"aspectNum"_s, r.aspectNum},       {u"aspectDen"_s, r.aspectDen},
        {u"displayWidth"_s, r.displayWidth}, {u"displayHeight"_s, r.displayHeight},
        {u"interlaced"_s, r.interlaced},
    };
}

QCoro::Task<int> run(Session *session, QStringList args)
{
    if (args.size() != 1 || args.first().startsWith(u'-'))
        co_return CliArgs::usageError(u"name one video file"_s, u"probe "_s + kUsage);
    // Without its tools the probe would only see an empty report.
    for (const QString &tool : {u"mediainfo"_s, u"ffmpeg"_s}) {
        if (ToolLocator::find(tool).isEmpty()) {
            QTextStream(stderr) << ToolLocator::missingMessage(tool) << Qt::endl;
            co_return 1;
        }
    }

    RunOptions options;
    SilentProgressView view;
    ProcessRunner &processes = session->processes();
    ExecRunner runner(processes, options, view, session->messages());
    VideoProbe probe(runner, session->language(), session->messages());
    // Not quiet: the probe's message goes through the message helper, which
    // prints it on standard error here.
    if (!co_await probe.GetVideoInfo(args.first(), false))
        co_return 1;
    QTextStream(stdout) << QJsonDocument(toJson(probe.result)).toJson(QJsonDocument::Indented);
    co_return 0;
}

} // namespace

CliCommand probeCommand()
{
    return {{u"probe"_s}, kUsage, run};
}
