#include "add/VideoSettings.h"

#include "common/FileUtil.h"
#include "common/Lang.h"
#include "common/TextUtil.h"
#include "queue/CVideoItem.h"
#include "server/ServerSettings.h"

#include <QFileInfo>

using namespace Qt::StringLiterals;

namespace VideoSettings {

namespace {

const QString kSection = QStringLiteral("frmAdd");

QSize fitted(const ProbeResult &probe, int maxWidth)
{
    qint32 width = probe.frameWidth;
    qint32 height = probe.frameHeight;
    VideoProbe::FitToWidth(width, height, maxWidth, probe.aspectNum, probe.aspectDen);
    return {width, height};
}

QString sizeText(QSize size)
{
    return QString::number(size.width()) + u'x' + QString::number(size.height());
}

int limitWidth(int resType, const ServerSettings &server)
{
    switch (resType) {
    case HighResolution:
        return server.secondRes;
    case StandardResolution:
        return server.thirdRes;
    default:
        return kMaxSourceWidth;
    }
}

} // namespace

int AudioBitRate(int width, const ServerSettings &server)
{
    if (width <= server.thirdRes)
        return 64;
    if (width <= server.secondRes)
        return 96;
    return 128;
}

int VideoBitRate(int width, int height)
{
    // Measured points of pixels per frame against kbps; straight lines between.
    struct Point
    {
        double pixels;
        double kbps;
    };
    static constexpr Point points[] = {{76800, 336}, {230400, 586}, {589824, 1204}, {2073600, 4072}};
    const double p = static_cast<double>(width) * height;
    if (p < 76801)
        return 336;
    int segment = 0;
    while (segment < 2 && p > points[segment + 1].pixels)
        ++segment;
    const Point &a = points[segment];
    const Point &b = points[segment + 1];
    return static_cast<int>(
        RoundHalfEven(a.kbps + (p - a.pixels) * (b.kbps - a.kbps) / (b.pixels - a.pixels)));
}

QSize OutputSize(const ProbeResult &probe, int resType, const ServerSettings &server)
{
    if (resType == SourceResolution && probe.displayWidth <= kMaxSourceWidth)
        return {probe.displayWidth, probe.displayHeight};
    return fitted(probe, limitWidth(resType, server));
}

Rates ComputeRates(const ProbeResult &probe, qint64 sourceBytes, const Choice &choice,
                   const ServerSettings &server)
{
    Rates rates;
    if (choice.cvtType == NoConversion) {
        rates.output = {probe.displayWidth, probe.displayHeight};
        if (probe.durationSeconds > 0)
            rates.totalKbps = static_cast<int>(
                RoundHalfEven(static_cast<double>(sourceBytes) * 8.0 / (probe.durationSeconds * 1000.0)));
        return rates;
    }
    rates.output = OutputSize(probe, choice.resType, server);
    rates.audioKbps = AudioBitRate(rates.output.width(), server);
    rates.videoKbps = choice.customBps > 0 ? choice.customBps - rates.audioKbps
                                           : VideoBitRate(rates.output.width(), rates.output.height());
    rates.totalKbps = rates.videoKbps + rates.audioKbps;
    return rates;
}

qint64 BytesOf(qint64 totalKbps, qint64 seconds)
{
    return totalKbps * 1000 / 8 * seconds;
}

qint64 EstimatedSize(const ProbeResult &probe, qint64 sourceBytes, const Choice &choice,
                     const ServerSettings &server)
{
    if (choice.cvtType != LocalConversion)
        return sourceBytes;
    const Rates rates = ComputeRates(probe, sourceBytes, choice, server);
    return BytesOf(rates.totalKbps, probe.durationSeconds);
}

QString GiBText(qint64 bytes)
{
    return QString::number(static_cast<double>(bytes) / (1024.0 * 1024.0 * 1024.0), 'f', 2);
}

QString SizeText(qint64 bytes)
{
    if (bytes < 1024LL * 1024 * 1024)
        return QString::number(RoundHalfEven(static_cast<double>(bytes) / (1024.0 * 1024.0))) + u" MB"_s;
    return GiBText(bytes) + u" GB"_s;
}

std::array<bool, 3> ConversionsEnabled(const ServerSettings &server, const QString &extension)
{
    if (server.serverSysVer.isEmpty())
        return {true, false, false};
    return {true, true, server.noCvtForMp4 && extension.compare(u"mp4"_s, Qt::CaseInsensitive) == 0};
}

std::array<bool, 3> ResolutionsEnabled(int frameWidth, int cvtType, const ServerSettings &server)
{
    if (cvtType == NoConversion)
        return {false, false, false};
    const int w = frameWidth;
    const int high = server.secondRes;
    const int standard = server.thirdRes;
    if (!server.serverSysVer.isEmpty())
        return {w != high && w != standard, w >= high, w >= standard};
    if (w >= high)
        return {false, true, true};
    if (w >= standard)
        return {w > standard, false, true};
    return {true, false, false};
}

int KeepEnabled(int selected, const std::array<bool, 3> &enabled)
{
    for (int step = 0; step < 3; ++step) {
        const int option = (selected + step) % 3;
        if (enabled[static_cast<size_t>(option)])
            return option;
    }
    return selected;
}

QString ResolutionCaption(const LanguageTable &language, int resType, bool enabled, const ProbeResult &probe,
                          const ServerSettings &server)
{
    if (resType == SourceResolution) {
        if (probe.displayWidth <= kMaxSourceWidth)
            return language.text(kSection, u"optSrcRes"_s) + u" ("_s +
                   sizeText({probe.displayWidth, probe.displayHeight}) + u')';
        return language.text(kSection, u"optFullHiRes"_s) + u" ("_s +
               sizeText(fitted(probe, kMaxSourceWidth)) + u')';
    }
    const QString name = language.text(kSection, resType == HighResolution ? u"optHiRes"_s : u"optStdRes"_s);
    const int limit = limitWidth(resType, server);
    if (enabled)
        return name + u" ("_s + sizeText(fitted(probe, limit)) + u')';
    return name + u" ("_s +
           language.text(kSection, u"lWidthAtLeast"_s, u"width at least %s"_s)
               .replace(u"%s"_s, QString::number(limit)) +
           u')';
}

QString Postfix(int outputWidth, const ServerSettings &server)
{
    if (server.serverSysVer.isEmpty())
        return outputWidth > server.thirdRes ? u"hd"_s : QString();
    if (outputWidth <= server.thirdRes)
        return {};
    return outputWidth == server.secondRes ? u"hd"_s : u"src"_s;
}

QString KbpsText(int kbps)
{
    return QString::number(kbps) + u'k';
}

void ApplyToEntry(CVideoItem &entry, const ProbeResult &probe, const Choice &choice,
                  const ServerSettings &server)
{
    const qint64 sourceBytes = FileSizeBytes(entry.path);
    const Rates rates = ComputeRates(probe, sourceBytes, choice, server);
    entry.duration = probe.durationText;
    entry.secDuration = probe.durationSeconds;
    entry.videoWidth = rates.output.width();
    entry.videoHeight = rates.output.height();
    entry.srcVideoWidth = probe.frameWidth;
    entry.srcVideoHeight = probe.frameHeight;
    entry.vBitRate = KbpsText(rates.videoKbps);
    entry.aBitRate = KbpsText(rates.audioKbps);
    entry.dstCvtType = choice.cvtType;
    entry.dstResType = choice.resType;
    entry.dstPostfix = Postfix(rates.output.width(), server);
    entry.customBps = choice.customBps;
    entry.bInterlaced = probe.interlaced;
    entry.fileSize = sourceBytes;
    entry.dateLastModified = LastModifiedText(entry.path);
    entry.useTmpName = !server.resolutionList.isEmpty();
}

} // namespace VideoSettings
