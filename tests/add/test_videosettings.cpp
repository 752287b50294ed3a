#include "add/VideoSettings.h"
#include "server/ServerSettings.h"

#include <QTest>

using namespace VideoSettings;

Q_DECLARE_METATYPE(QSize)

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
    // Output size, audio + video rate and file name suffix of a resolution:
    // the video rate runs on straight lines between measured points.
    void ratesOfResolutions_data()
    {
        QTest::addColumn<ProbeResult>("source");
        QTest::addColumn<int>("resType");
        QTest::addColumn<QSize>("output");
        QTest::addColumn<QString>("kbps");
        QTest::addColumn<QString>("postfix");
        QTest::newRow("below the first point") << probe(160, 120, 60) << 0 << QSize(160, 120) << "64+336"
                                               << "";
        QTest::newRow("first segment") << probe(400, 300, 60) << 0 << QSize(400, 300) << "64+406"
                                       << "";
        QTest::newRow("720p source") << probe(1280, 720, 60) << 0 << QSize(1280, 720) << "128+1845"
                                     << "src";
        const ProbeResult anamorphic = probe(720, 576, 60, 16, 9);
        QTest::newRow("16:9 PAL source") << anamorphic << 0 << QSize(720, 404) << "96+690"
                                         << "src";
        QTest::newRow("16:9 PAL standard") << anamorphic << 2 << QSize(640, 360) << "64+586"
                                           << "";
        // Narrower than the high width: not shrunk, only made even.
        QTest::newRow("odd frame at high") << probe(853, 481, 60) << 1 << QSize(852, 480) << "96+893"
                                           << "src";
        QTest::newRow("1440p source fits 1920")
            << probe(2560, 1440, 60) << 0 << QSize(1920, 1080) << "128+4072"
            << "src";
        QTest::newRow("beyond the last point")
            << probe(1920, 1440, 60) << 0 << QSize(1920, 1440) << "128+5408"
            << "src";
    }
    void ratesOfResolutions()
    {
        QFETCH(ProbeResult, source);
        QFETCH(int, resType);
        QFETCH(QSize, output);
        QFETCH(QString, kbps);
        QFETCH(QString, postfix);
        const ServerSettings s = server(1024, 640);
        const Rates rates = ComputeRates(source, 0, {LocalConversion, resType, 0}, s);
        QCOMPARE(rates.output, output);
        QCOMPARE(u"%1+%2"_qs.arg(rates.audioKbps).arg(rates.videoKbps), kbps);
        QCOMPARE(rates.totalKbps, rates.audioKbps + rates.videoKbps);
        QCOMPARE(Postfix(output.width(), s), postfix);
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

    // Which resolutions can be chosen, by server kind and frame width,
    // as flags for source, high, standard.
    void resolutionRules_data()
    {
        QTest::addColumn<bool>("newServer");
        QTest::addColumn<int>("width");
        QTest::addColumn<int>("cvtType");
        QTest::addColumn<QString>("enabled");
        QTest::newRow("new, wider than high") << true << 1280 << 0 << u"111"_qs;
        QTest::newRow("new, exactly high") << true << 1024 << 0 << u"011"_qs;
        QTest::newRow("new, between") << true << 800 << 0 << u"101"_qs;
        QTest::newRow("new, exactly standard") << true << 640 << 0 << u"001"_qs;
        QTest::newRow("new, narrow") << true << 320 << 0 << u"100"_qs;
        QTest::newRow("old, wider than high") << false << 1280 << 0 << u"011"_qs;
        QTest::newRow("old, between") << false << 800 << 0 << u"101"_qs;
        QTest::newRow("old, exactly standard") << false << 640 << 0 << u"001"_qs;
        QTest::newRow("old, narrow") << false << 320 << 0 << u"100"_qs;
    }
    void resolutionRules()
    {
        QFETCH(bool, newServer);
        QFETCH(int, width);
        QFETCH(int, cvtType);
        QFETCH(QString, enabled);
        QCOMPARE(flags(ResolutionsEnabled(width, cvtType, server(1024, 640, newServer))), enabled);
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
