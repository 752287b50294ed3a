#include "add/VideoSettings.h"
#include "server/ServerSettings.h"

#include <QTest>

using namespace VideoSettings;

namespace {

ServerSettings server(int high, int standard, bool newServer = true)
{
    ServerSettings s;
    s.secondRes = high;
    s.thirdRes = standard;
    s.serverSysVer = newServer ? u"1.0"_qs : QString();
    return s;
}

// What the probe reads from ffmpeg's report on such a source.
ProbeResult probe(int width, int height, int seconds, int aspectNum = 0, int aspectDen = 0)
{
    const QString aspect =
        aspectNum > 0 ? u" [SAR 1:1 DAR %1:%2]"_qs.arg(aspectNum).arg(aspectDen) : QString();
    const QString report =
        u"  Duration: %1:%2:%3.00, start: 0.000000\r\n  Stream #0:0: Video: h264, yuv420p, "
        u"%4x%5%6, 25 fps\r\n"_qs.arg(seconds / 3600, 2, 10, QChar(u'0'))
            .arg(seconds / 60 % 60, 2, 10, QChar(u'0'))
            .arg(seconds % 60, 2, 10, QChar(u'0'))
            .arg(width)
            .arg(height)
            .arg(aspect);
    ProbeResult r;
    VideoProbe::parseReport(report, false, r);
    return r;
}

QString flags(const std::array<bool, 3> &on)
{
    QString text;
    for (bool b : on)
        text += b ? u'1' : u'0';
    return text;
}

} // namespace

class TestVideoSettings : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // Size, audio + video rate and suffix; the video rate runs between measured points.
    void ratesOfResolutions()
    {
        const ProbeResult anamorphic = probe(720, 576, 60, 16, 9);
        const struct
        {
            ProbeResult source;
            int resType;
            const char *expected;
        } cases[] = {
            {probe(160, 120, 60), 0, "160x120 64+336 "}, // below the first point
            {probe(400, 300, 60), 0, "400x300 64+406 "},
            {anamorphic, 0, "720x404 96+690 src"},
            {anamorphic, 2, "640x360 64+586 "},
            // Narrower than the high width: not shrunk, only made even.
            {probe(853, 481, 60), 1, "852x480 96+893 src"},
            {probe(2560, 1440, 60), 0, "1920x1080 128+4072 src"},
            {probe(1920, 1440, 60), 0, "1920x1440 128+5408 src"}, // beyond the last point
        };
        const ServerSettings s = server(1024, 640);
        const auto n = [](int value) { return QString::number(value); };
        for (const auto &c : cases) {
            const Rates r = ComputeRates(c.source, 0, {LocalConversion, c.resType, 0}, s);
            QCOMPARE(u"%1x%2 %3+%4 %5"_qs.arg(n(r.output.width()), n(r.output.height()), n(r.audioKbps),
                                              n(r.videoKbps), Postfix(r.output.width(), s)),
                     QLatin1String(c.expected));
            QCOMPARE(r.totalKbps, r.audioKbps + r.videoKbps);
        }
    }

    // Unconverted: the source's own average, display size.
    void unconverted()
    {
        const Rates plain = ComputeRates(probe(1280, 720, 100), 12'500'000,
                                         {NoConversion, SourceResolution, 0}, server(1024, 640));
        QCOMPARE(plain.totalKbps, 1000);
        QCOMPARE(plain.output, QSize(1280, 720));
        // Just below 1 GiB is still in MB, rounded.
        QCOMPARE(SizeText(1073741823LL), u"1024 MB"_qs);
    }

    void estimateAgainstLimit()
    {
        const ServerSettings s = server(1024, 640);
        // 5000 s of 1080p: standard fits, the source size does not.
        const ProbeResult longFullHd = probe(1920, 1080, 5000);
        QVERIFY(EstimatedSize(longFullHd, 0, {LocalConversion, StandardResolution, 0}, s) <= kLimitBytes);
        QVERIFY(EstimatedSize(longFullHd, 0, {LocalConversion, SourceResolution, 0}, s) > kLimitBytes);
    }

    // Which of source, high, standard can be chosen, by server kind and frame width.
    void resolutionRules()
    {
        const struct
        {
            bool newServer;
            int width;
            QString enabled;
        } cases[] = {
            {true, 1280, u"111"_qs}, {true, 1024, u"011"_qs}, {true, 800, u"101"_qs},
            {true, 640, u"001"_qs},  {true, 320, u"100"_qs},  {false, 1280, u"011"_qs},
            {false, 800, u"101"_qs}, {false, 640, u"001"_qs}, {false, 320, u"100"_qs},
        };
        for (const auto &c : cases)
            QVERIFY2(
                flags(ResolutionsEnabled(c.width, 0, server(1024, 640, c.newServer))) == c.enabled,
                qPrintable(u"%1 server, width %2"_qs.arg(c.newServer ? u"new"_qs : u"old"_qs).arg(c.width)));
    }

    void conversionRulesAndCycle()
    {
        ServerSettings s = server(1024, 640);
        s.noCvtForMp4 = true;
        QCOMPARE(flags(ConversionsEnabled(s, u"mp4"_qs)), u"111"_qs);
        QCOMPARE(flags(ConversionsEnabled(s, u"mkv"_qs)), u"110"_qs);
        s.noCvtForMp4 = false;
        QCOMPARE(flags(ConversionsEnabled(s, u"mp4"_qs)), u"110"_qs);
        QCOMPARE(flags(ConversionsEnabled(server(1024, 640, false), u"mp4"_qs)), u"100"_qs);
        // A disabled choice gives way to the next one in the cycle.
        QCOMPARE(KeepEnabled(StandardResolution, {true, true, false}), int(SourceResolution));
        QCOMPARE(KeepEnabled(SourceResolution, {false, false, true}), int(StandardResolution));
        QCOMPARE(KeepEnabled(HighResolution, {true, true, true}), int(HighResolution));
    }
};

int runVideoSettingsTests(int argc, char *argv[])
{
    TestVideoSettings tests;
    return QTest::qExec(&tests, argc, argv);
}

#include "test_videosettings.moc"
