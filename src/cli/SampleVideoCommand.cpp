// clipferry-cli sample video OUT: test media made with ffmpeg.

#include "cli/CliCommand.h"
#include "pipeline/SampleMedia.h"
#include "pipeline/Session.h"
#include "platform/ProcessRunner.h"

#include <QRegularExpression>
#include <QTextStream>

using namespace Qt::StringLiterals;

namespace {

const QString kUsage = u"OUT [--duration S] [--size WxH] [--rate R] [--interlaced] [--video-streams N] "
                       u"[--audio-channels N] [--format EXT]"_s;

bool readSize(const QString &text, int &width, int &height)
{
    static const QRegularExpression pattern(u"^(\\d+)x(\\d+)$"_s);
    const QRegularExpressionMatch match = pattern.match(text);
    if (!match.hasMatch())
        return false;
    width = match.captured(1).toInt();
    height = match.captured(2).toInt();
    return width > 0 && height > 0;
}

QCoro::Task<int> run(Session *session, QStringList args)
{
    SampleVideo sample;
    bool ok = true;
    auto number = [&args, &ok](const QString &name, double fallback, double least) {
        const QString text = CliArgs::take(args, name);
        if (text.isEmpty())
            return fallback;
        bool parsed = false;
        const double value = text.toDouble(&parsed);
        ok = ok && parsed && value >= least;
        return value;
    };
    sample.durationSeconds = number(u"--duration"_s, sample.durationSeconds, 0.04);
    sample.frameRate = number(u"--rate"_s, sample.frameRate, 1);
    sample.videoStreams = static_cast<int>(number(u"--video-streams"_s, sample.videoStreams, 0));
    sample.audioChannels = static_cast<int>(number(u"--audio-channels"_s, sample.audioChannels, 0));
    if (!ok)
        co_return CliArgs::usageError(u"a number is missing or out of range"_s, u"sample video "_s + kUsage);
    if (const QString size = CliArgs::take(args, u"--size"_s);
        !size.isEmpty() && !readSize(size, sample.width, sample.height))
        co_return CliArgs::usageError(u"the size reads WIDTHxHEIGHT"_s, u"sample video "_s + kUsage);
    sample.interlaced = CliArgs::flag(args, u"--interlaced"_s);
    sample.format = CliArgs::take(args, u"--format"_s);
    if (args.size() != 1 || args.first().startsWith(u'-'))
        co_return CliArgs::usageError(u"name one output file"_s, u"sample video "_s + kUsage);
    if (sample.videoStreams + sample.audioChannels == 0)
        co_return CliArgs::usageError(u"a sample needs a video stream or audio"_s,
                                      u"sample video "_s + kUsage);
    sample.output = args.first();
    ProcessRunner &processes = session->processes();
    const QString failure = co_await sample.make(&processes);
    if (!failure.isEmpty()) {
        QTextStream(stderr) << "clipferry-cli: " << failure << Qt::endl;
        co_return 1;
    }
    QTextStream(stdout) << sample.output << Qt::endl;
    co_return 0;
}

} // namespace

CliCommand sampleVideoCommand()
{
    return {{u"sample"_s, u"video"_s}, kUsage, run};
}
