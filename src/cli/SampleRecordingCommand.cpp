// clipferry-cli sample recording: a complete recording project for tests and
// demonstrations.

#include "cli/CliCommand.h"
#include "pipeline/Session.h"
#include "platform/ProcessRunner.h"
#include "recorder/SampleRecording.h"

#include <QTextStream>

using namespace Qt::Literals::StringLiterals;

namespace {

const QString kUsage =
    u"DIR [--version 5|6|7|8] [--zdm] [--items N] [--link-items N] [--duration S] [--damaged]"_s;

bool takeNumber(QStringList &args, const QString &name, int &value)
{
    const QString text = CliArgs::take(args, name);
    if (text.isEmpty())
        return true;
    bool ok = false;
    value = text.toInt(&ok);
    return ok;
}

QCoro::Task<int> run(Session *session, QStringList args)
{
    SampleRecordingOptions options;
    options.singleFile = CliArgs::flag(args, u"--zdm"_s);
    options.damaged = CliArgs::flag(args, u"--damaged"_s);
    const bool numbersOk = takeNumber(args, u"--version"_s, options.version) &&
                           takeNumber(args, u"--items"_s, options.mediaItems) &&
                           takeNumber(args, u"--link-items"_s, options.linkItems) &&
                           takeNumber(args, u"--duration"_s, options.durationSeconds);
    if (!numbersOk)
        co_return CliArgs::usageError(u"a number was expected"_s, u"sample recording "_s + kUsage);
    if (args.size() != 1 || args.first().startsWith(u'-'))
        co_return CliArgs::usageError(u"name one folder"_s, u"sample recording "_s + kUsage);

    ProcessRunner &processes = session->processes();
    const SampleRecordingResult result = co_await makeSampleRecording(&processes, args.first(), options);
    if (!result.error.isEmpty()) {
        QTextStream(stderr) << "clipferry-cli: " << result.error << Qt::endl;
        co_return 1;
    }
    QTextStream(stdout) << result.path << Qt::endl;
    co_return 0;
}

} // namespace

CliCommand sampleRecordingCommand()
{
    return {{u"sample"_s, u"recording"_s}, kUsage, run};
}
