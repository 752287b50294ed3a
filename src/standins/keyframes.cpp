// clipferry-keyframes MP4 OUT.txt: stands in for mp4GetKeyFrame. Writes the
// presentation time of every key frame of the first video stream, in
// seconds, one a line, read by ffprobe from the packet flags (no decoding).

#include "platform/ProcessRunner.h"
#include "standins/StandinMain.h"
#include "platform/ToolLocator.h"

#include <QCoreApplication>
#include <QSaveFile>
#include <QTextStream>
#include <QTimer>
#include <algorithm>

using namespace std::chrono_literals;
using namespace Qt::StringLiterals;

namespace {

// "4.033000" -> "4.033", "2.000000" -> "2".
QString secondsText(double seconds)
{
    QString text = QString::number(seconds, 'f', 3);
    while (text.endsWith(u'0'))
        text.chop(1);
    if (text.endsWith(u'.'))
        text.chop(1);
    return text;
}

// ffprobe's "pts_time,flags" lines; a key frame's flags hold "K".
QList<double> keyFrameTimes(const QByteArray &csv)
{
    QList<double> times;
    for (const QByteArray &line : csv.split('\n')) {
        const QList<QByteArray> fields = line.trimmed().split(',');
        bool ok = false;
        const double time = fields.value(0).toDouble(&ok);
        if (ok && fields.size() > 1 && fields[1].contains('K'))
            times.append(time);
    }
    std::sort(times.begin(), times.end());
    return times;
}

QCoro::Task<int> listKeyFrames(QString input, QString output)
{
    QTextStream err(stderr);
    const QString ffprobe = ToolLocator::find(u"ffprobe"_s);
    if (ffprobe.isEmpty()) {
        err << ToolLocator::missingMessage(u"ffprobe"_s) << Qt::endl;
        co_return 1;
    }
    const QStringList args{u"-v"_s,  u"error"_s,         u"-select_streams"_s,
                           u"v:0"_s, u"-show_entries"_s, u"packet=pts_time,flags"_s,
                           u"-of"_s, u"csv=p=0"_s,       input};
    ProcessSpec spec = ProcessSpec::of(ffprobe, args);
    spec.timeout = -1ms;
    spec.keepOutput = 256 * 1024 * 1024;
    ProcessRunner processes;
    const ProcessResult listed = co_await processes.run(std::move(spec));
    if (!listed.ok()) {
        err << "clipferry-keyframes: ffprobe could not read " << input << ": " << listed.errorText()
            << Qt::endl;
        co_return 1;
    }
    // Lines that are not "time,flags" (a warning) are passed over.
    const QList<double> times = keyFrameTimes(listed.output);
    if (times.isEmpty()) {
        err << "clipferry-keyframes: " << input << " has no video key frames" << Qt::endl;
        co_return 1;
    }
    QSaveFile file(output);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Text)) {
        err << "clipferry-keyframes: " << file.errorString() << Qt::endl;
        co_return 1;
    }
    QTextStream out(&file);
    for (double time : times)
        out << secondsText(time) << '\n';
    out.flush();
    if (!file.commit()) {
        err << "clipferry-keyframes: cannot write " << output << Qt::endl;
        co_return 1;
    }
    co_return 0;
}

QCoro::Task<int> run(QStringList args)
{
    if (args.size() != 2) {
        QTextStream(stderr) << "usage: clipferry-keyframes MP4 OUT.txt" << Qt::endl;
        co_return 2;
    }
    co_return co_await listKeyFrames(args[0], args[1]);
}

} // namespace

int main(int argc, char *argv[])
{
    return runStandin(argc, argv, run);
}
