#include "pipeline/SampleMedia.h"

#include "platform/Coro.h"
#include "platform/ProcessRunner.h"
#include "platform/ToolLocator.h"

#include <QFileInfo>
#include <QHash>

using namespace std::chrono_literals;
using namespace Qt::StringLiterals;

namespace {

// ffmpeg's muxer for an extension whose name is not the muxer's own.
QString muxerFor(const QString &extension)
{
    static const QHash<QString, QString> muxers{
        {u"mkv"_s, u"matroska"_s}, {u"m4v"_s, u"mp4"_s},    {u"mpg"_s, u"mpeg"_s},   {u"mpeg"_s, u"mpeg"_s},
        {u"m2ts"_s, u"mpegts"_s},  {u"mts"_s, u"mpegts"_s}, {u"m2t"_s, u"mpegts"_s}, {u"ts"_s, u"mpegts"_s},
        {u"wmv"_s, u"asf"_s},      {u"vob"_s, u"vob"_s}};
    return muxers.value(extension.toLower(), extension.toLower());
}

bool carriesH264(const QString &extension)
{
    static const QStringList h264{u"mp4"_s, u"m4v"_s, u"mov"_s, u"mkv"_s, u"f4v"_s, u"3gp"_s, u"flv"_s};
    return h264.contains(extension.toLower());
}

} // namespace

QStringList SampleVideo::ffmpegArguments() const
{
    const QString extension = format.isEmpty() ? QFileInfo(output).suffix() : format;
    const QString seconds = QString::number(durationSeconds);
    // An interlaced frame weaves two fields, each a frame of the source.
    const double sourceRate = interlaced ? frameRate * 2 : frameRate;
    QStringList args{u"-hide_banner"_s, u"-loglevel"_s, u"error"_s, u"-nostdin"_s, u"-y"_s};
    for (int i = 0; i < videoStreams; ++i)
        args << u"-f"_s << u"lavfi"_s << u"-i"_s
             << u"testsrc2=size=%1x%2:rate=%3:duration=%4"_s.arg(width)
                    .arg(height)
                    .arg(sourceRate)
                    .arg(seconds);
    if (audioChannels > 0)
        args << u"-f"_s << u"lavfi"_s << u"-i"_s
             << u"sine=frequency=440:sample_rate=48000:duration=%1"_s.arg(seconds);
    for (int i = 0; i < videoStreams; ++i)
        args << u"-map"_s << u"%1:v"_s.arg(i);
    if (audioChannels > 0)
        args << u"-map"_s << u"%1:a"_s.arg(videoStreams) << u"-ac"_s << QString::number(audioChannels);
    if (interlaced)
        args << u"-vf"_s << u"tinterlace=mode=interleave_top,setfield=tff"_s << u"-flags"_s
             << u"+ilme+ildct"_s;
    if (carriesH264(extension))
        args << u"-c:v"_s << u"libx264"_s << u"-preset"_s << u"ultrafast"_s << u"-pix_fmt"_s << u"yuv420p"_s
             << u"-c:a"_s << u"aac"_s;
    else if (audioChannels > 2) // the default MP3 and MP2 encoders stop at stereo
        args << u"-c:a"_s << u"ac3"_s;
    args << u"-t"_s << seconds << u"-f"_s << muxerFor(extension) << output;
    return args;
}

QCoro::Task<QString> SampleVideo::make(ProcessRunner *processes) const
{
    ProcessSpec spec = ProcessSpec::of(u"ffmpeg"_s, ffmpegArguments());
    spec.timeout = 600s;
    const ProcessResult made = co_await processes->run(std::move(spec));
    if (made.ok())
        co_return QString();
    const QString said = QString::fromLocal8Bit(made.output).trimmed();
    co_return said.isEmpty() ? u"ffmpeg could not make "_s + output : said;
}
