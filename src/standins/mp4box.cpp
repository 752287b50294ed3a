// clipferry-mp4box IN -inter MS -out OUT: stands in for MP4Box's
// interleaving. ffmpeg copies the streams into OUT with the index (moov) in
// front, so a player can start before the whole file has arrived; ffmpeg's
// MP4 writer interleaves the streams in short runs of its own.

#include "platform/ProcessRunner.h"
#include "standins/StandinMain.h"
#include "platform/ToolLocator.h"

#include <QCoreApplication>
#include <QFile>
#include <QTextStream>
#include <QTimer>

using namespace std::chrono_literals;
using namespace Qt::StringLiterals;

namespace {

// An ISO media file opens with a box whose type is "ftyp".
bool isIsoMedia(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) && file.read(8).mid(4) == "ftyp";
}

QCoro::Task<int> interleave(QString input, QString output)
{
    const QString ffmpeg = ToolLocator::find(u"ffmpeg"_s);
    QTextStream err(stderr);
    if (!isIsoMedia(input)) {
        err << "clipferry-mp4box: " << input << " is not an MP4 file" << Qt::endl;
        co_return 1;
    }
    if (ffmpeg.isEmpty()) {
        err << ToolLocator::missingMessage(u"ffmpeg"_s) << Qt::endl;
        co_return 1;
    }
    const QStringList args{u"-hide_banner"_s, u"-loglevel"_s, u"error"_s,     u"-y"_s,
                           u"-i"_s,           input,          u"-map"_s,      u"0"_s,
                           u"-c"_s,           u"copy"_s,      u"-movflags"_s, u"+faststart"_s,
                           u"-f"_s,           u"mp4"_s,       output};
    ProcessSpec spec = ProcessSpec::of(ffmpeg, args);
    spec.timeout = -1ms;
    ProcessRunner processes;
    const ProcessResult rewritten = co_await processes.run(std::move(spec));
    if (!rewritten.ok()) {
        err << "clipferry-mp4box: ffmpeg could not rewrite " << input << ": " << rewritten.errorText()
            << Qt::endl;
        co_return 1;
    }
    co_return 0;
}

QCoro::Task<int> run(QStringList args)
{
    QString input;
    QString output;
    for (qsizetype i = 0; i < args.size(); ++i) {
        if (args[i] == u"-out" && i + 1 < args.size())
            output = args[++i];
        else if (args[i] == u"-inter" && i + 1 < args.size())
            ++i; // ffmpeg chooses its own interleaving runs
        else if (input.isEmpty())
            input = args[i];
    }
    if (input.isEmpty() || output.isEmpty()) {
        QTextStream(stderr) << "usage: clipferry-mp4box IN -inter MS -out OUT" << Qt::endl;
        co_return 2;
    }
    co_return co_await interleave(input, output);
}

} // namespace

int main(int argc, char *argv[])
{
    return runStandin(argc, argv, run);
}
