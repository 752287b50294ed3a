#include "AddTests.h"
#include "add/SourceLoader.h"
#include "add/VideoProbe.h"
#include "pipeline/ExecRunner.h"
#include "pipeline/ProgressView.h"
#include "pipeline/RunOptions.h"
#include "platform/Messages.h"
#include "recorder/SampleRecording.h"
#include "server/ServerSettings.h"
#include "support/TestFiles.h"
#include "support/TestLanguage.h"

#include <QJsonDocument>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

namespace {

// An ffmpeg report; the grabbed frame's, the audio and a repeated stream are no second video.
QString report(const QString &duration, const QString &videoLine)
{
    return u"Input #0, mov,mp4, from 'a.mp4':\r\n  Duration: %1, start: 0.000000, bitrate: 500 kb/s\r\n"
           u"  Stream #0:0(und): %2\r\n  Stream #0:1(und): Audio: aac (LC), 44100 Hz, stereo\r\n"
           u"  Stream #0:0(und): %2\r\n"
           u"Output #0, image2, to 'vu_1.bmp':\r\n  Stream #0:0: Video: bmp, bgr24, 320x240\r\n"_s.arg(
               duration, videoLine);
}

const QString kH264 =
    u"Video: h264 (High) (avc1 / 0x31637661), yuv420p, 1280x720 [PAR 1:1 DAR 16:9], 25 fps"_s;

// clipferry-cli's result on standard output, its messages on standard error.
struct Streams
{
    int exitCode = -1;
    QByteArray out, err;
};
Streams runCliApart(const QStringList &args)
{
    QProcess process;
    process.start(ToolLocator::find(u"clipferry-cli"_s), args);
    const bool ended = process.waitForFinished(300000) && process.exitStatus() == QProcess::NormalExit;
    return {ended ? process.exitCode() : -1, process.readAllStandardOutput(), process.readAllStandardError()};
}

} // namespace

class TestAdd : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QString m_clip; // 2 s, 320x240, made once and copied
    std::unique_ptr<ServerProcess> m_server;
    const LanguageTable m_language{languageFile()};
    Messages::Channel m_messages;

    bool startServer()
    {
        if (m_server)
            return true;
        m_server = std::make_unique<ServerProcess>(m_dir.filePath(u"server"_s));
        return m_server->start({u"--demo"_s}) &&
               !m_server->admin({u"setting"_s, u"set"_s, u"qvpver"_s, u"7"_s}).isNull();
    }

    // A source: "mp4", recording "7", "8" or "zdm", "interlaced", "twostreams", "text", "missing".
    QString makeSource(const QString &dir, const QString &kind)
    {
        QDir().mkpath(dir);
        const QString path = dir + (kind == u"mp4" ? u"/clip.mp4"_s : u"/clip.mkv"_s);
        if (kind == u"mp4")
            return QFile::copy(m_clip, path) ? path : QString();
        if (kind == u"text")
            writeFile(path, "this is not a video\n");
        if (kind == u"interlaced" || kind == u"twostreams") {
            SampleVideo sample;
            sample.output = path;
            sample.durationSeconds = 2;
            sample.interlaced = kind == u"interlaced";
            sample.videoStreams = kind == u"twostreams" ? 2 : 1;
            return QCoro::waitFor(sample.make(testProcesses())).isEmpty() ? path : QString();
        }
        if (kind == u"text" || kind == u"missing")
            return path;
        SampleRecordingOptions options;
        options.singleFile = kind == u"zdm";
        options.version = options.singleFile ? 8 : kind.toInt();
        return QCoro::waitFor(makeSampleRecording(testProcesses(), dir, options)).path;
    }

private Q_SLOTS:
    void initTestCase()
    {
        m_clip = m_dir.filePath(u"clip.mp4"_s);
        QCOMPARE(makeVideo(m_clip), QString());
    }

    // What the loader refuses by the name alone (the empty refusal: none).
    void sourceRefusals()
    {
        const QString dir = m_dir.filePath(u"refusals/"_s);
        const auto text = [this](const char *key) {
            return m_language.text(u"frmAdd"_s, QString::fromLatin1(key));
        };
        const struct
        {
            QString name, refusal;
        } cases[] = {
            {u"gone.mp4"_s, u'"' + dir + u"gone.mp4\" does not exists!"_s},
            {u"clip.rm"_s, text("msg_rm_and_rmvb")},
            {u"clip.RMVB"_s, text("msg_rm_and_rmvb")},
            {u"video_ts.vob"_s, text("msg_VIDEO_TS_VOB")},
            {u"VTS_01_1.VOB"_s, QString()}, // a title set, not the menu
            {u"lonely/project.qvp"_s, text("msg_noMediaQv")},
            {u"fine.mkv"_s, QString()},
        };
        for (const auto &c : cases) {
            const QString path = dir + c.name;
            QDir().mkpath(QFileInfo(path).absolutePath());
            if (c.name != u"gone.mp4")
                writeFile(path, "x");
            const QString refusal = SourceLoader::check(m_language, path).value_or(SourceFailure{}).text;
            QVERIFY2(refusal == c.refusal, qPrintable(c.name + u": "_s + refusal));
        }
    }

    // upload refuses as the dialog does: a too new project, a folder without uploads.
    void uploadCommand()
    {
        QVERIFY(startServer());
        const QString tooNew =
            m_language.text(u"frmCommon"_s, u"msgUnsupportQvpVer"_s).replace(u"%s"_s, u"8"_s);
        const QString grey = QString::fromLatin1(
            m_server->admin({u"folder"_s, u"add"_s, u"0"_s, u"Grey"_s, u"--no-upload"_s}).trimmed());
        const struct
        {
            QString source, folder;
            int exitCode;
            QString printed;
        } cases[] = {
            {u"mp4"_s, {}, 0, u"queued (00:00:02.00, 320x240)"_s},
            {u"7"_s, {}, 0, u"queued (recording \"Sample recording\")"_s},
            {u"8"_s, {}, 1, tooNew},
            {u"zdm"_s, {}, 1, tooNew},
            {u"mp4"_s, grey, 1, u"takes no upload"_s},
        };
        for (const auto &c : cases) {
            const QString dir = m_dir.filePath(u"upload-%1%2"_s.arg(c.source, c.folder));
            const QString queue = dir + u"/queue.xml"_s;
            QStringList args = uploadArgs(*m_server, queue) << makeSource(dir, c.source) << u"--queue-only"_s;
            if (!c.folder.isEmpty())
                args << u"--folder"_s << c.folder;
            const ToolRun run = runCli(args);
            QVERIFY2(run.exitCode == c.exitCode && run.output.contains(c.printed), qPrintable(run.output));
            QVERIFY2(QFileInfo::exists(queue) == (c.exitCode == 0), qPrintable(run.output));
            QCOMPARE(QDir::temp().entryList({u"tmp_zdm_*"_s, u"_qvClipFerry_*"_s},
                                            QDir::AllEntries | QDir::NoDotAndDotDot),
                     QStringList());
        }
    }

    // A killed upload goes on from its journal and sends only the second source.
    void killedUploadGoesOnFromJournal()
    {
        QVERIFY(startServer());
        const QDir dir(m_dir.filePath(u"killed"_s));
        QVERIFY(dir.mkpath(u"."_s));
        const QStringList sources{dir.filePath(u"first.mp4"_s), dir.filePath(u"second.mp4"_s)};
        for (const QString &source : sources)
            QVERIFY(QFile::copy(m_clip, source));
        const QString queue = dir.filePath(u"Q.xml"_s);
        QProcess upload;
        upload.start(ToolLocator::find(u"clipferry-cli"_s), uploadArgs(*m_server, queue) << sources);
        QByteArray out;
        while (!out.contains("first.mp4: Finished")) {
            QVERIFY2(upload.waitForReadyRead(120000), out.constData());
            out += upload.readAllStandardOutput();
        }
        upload.kill();
        QVERIFY(upload.waitForFinished());
        QVERIFY(QFileInfo::exists(queue + u".journal"_s));

        const ToolRun run = runCli({u"run"_s, queue});
        QVERIFY2(run.exitCode == 0 && !run.output.contains(u"first.mp4: Transfering"_s),
                 qPrintable(run.output));
        const QByteArray contents = m_server->admin({u"content"_s, u"list"_s});
        QCOMPARE((QList{contents.count("\tfirst\t"), contents.count("\tsecond\t")}),
                 (QList<qsizetype>{1, 1}));
        QVERIFY(!QFileInfo::exists(queue) && !QFileInfo::exists(queue + u".journal"_s));
    }

    // convert takes the stored high-speed choice or --high-speed; odd sizes convert.
    void convertCommand()
    {
        // x264 takes odd sides only outside 4:2:0.
        const QString source = m_dir.filePath(u"odd.mkv"_s);
        QCOMPARE(QProcess::execute(u"ffmpeg"_s, {u"-v"_s, u"error"_s, u"-f"_s, u"lavfi"_s, u"-i"_s,
                                                 u"testsrc2=size=853x481:rate=25:duration=2"_s, u"-pix_fmt"_s,
                                                 u"yuv444p"_s, source}),
                 0);
        const struct
        {
            QByteArray stored;
            QString option;
            bool highSpeed;
        } cases[] = {{"0", {}, false}, {"0", u"yes"_s, true}, {"1", u"no"_s, false}};
        for (const auto &c : cases) {
            const QString home =
                m_dir.filePath(u"convert-%1%2"_s.arg(QString::fromLatin1(c.stored), c.option));
            QVERIFY(QDir().mkpath(home));
            writeFile(home + u"/Corvana5.ini"_s, "[clipFerry]\nchkHighSpeed=" + c.stored + '\n');
            QStringList args{u"convert"_s, source, u"--work"_s, home};
            if (!c.option.isEmpty())
                args << u"--high-speed"_s << c.option;
            QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
            environment.insert(u"CLIPFERRY_HOME"_s, home);
            const ToolRun run = runCli(args, environment);
            const RunOptions expected{.highSpeed = c.highSpeed, .cpuCount = QThread::idealThreadCount()};
            const QString said = u"high speed %1: %2 encoder threads"_s.arg(c.highSpeed ? u"yes"_s : u"no"_s)
                                     .arg(expected.encoderThreads());
            QVERIFY2(run.exitCode == 0 && run.output.contains(said), qPrintable(run.output));
        }
    }

    // What the parser reads ("duration seconds frame aspect display") or why it refuses.
    void parsesReport()
    {
        using enum ProbeFailure;
        const struct
        {
            ProbeFailure failure;
            const char *read;
            QString text;
            bool batch = false;
        } cases[] = {
            {None, "00:01:30.50 90 1280x720 16:9 1280x720", report(u"00:01:30.50"_s, kH264)},
            // PAL 16:9: the odd display height goes down.
            {None, "01:00:00.00 3600 720x576 16:9 720x404",
             report(u"01:00:00.00"_s, u"Video: mpeg2video (Main), yuv420p(tv, top first), 720x576 "
                                      u"[SAR 64:45 DAR 16:9], 25 fps"_s)},
            {None, "00:00:02.00 2 853x481 853:481 852x480",
             report(
                 u"00:00:02.00"_s,
                 u"Video: h264 (High 4:4:4 Predictive), yuv444p, 853x481 [SAR 1:1 DAR 853:481], 25 fps"_s)},
            // wmv3: the aspect from the frame.
            {None, "00:00:10.00 10 720x480 720:480 720x480",
             report(u"00:00:10.00"_s,
                    u"Video: wmv3 (Main) (WMV3 / 0x33564D57), yuv420p, 720x480, 1000 kb/s"_s)},
            {None, "00:00:02.00 2 320x240 0:0 320x240",
             report(u"00:00:02.00"_s, u"Video: mpeg4, yuv420p, 320x240, 25 fps"_s)},
            {Duration, "", report(u"N/A"_s, kH264)},
            {BatchDuration, "", u"Input #0, avi\r\n"_s, true},
            {BatchEmpty, "", QString(), true},
            // A zero side is no size, and the line's last word is never read.
            {Size, "", report(u"00:00:02.00"_s, u"Video: rawvideo, 320x0, yuv420p 320x240"_s)},
            {UnknownFormat, "", u"a.mp4: Invalid data found when processing input\r\n"_s},
            {OpenError, "", u"error while opening file x\r\nNo such file or directory"_s},
            {NoSuchFile, "", u"a.mp4: No such file or directory\r\n"_s},
            {MultiStream, "",
             u"  Duration: 00:00:01.00, start\r\n  Stream #0.0: Video: mpeg4, 320x240\r\n"
             u"  Stream #0.1: Video: mpeg4, 320x240\r\n"_s},
        };
        for (const auto &c : cases) {
            ProbeResult r;
            const ProbeFailure failure = VideoProbe::parseReport(c.text, c.batch, r);
            const auto n = [](auto value) { return QString::number(value); };
            const QString read =
                failure != None
                    ? QString()
                    : u"%1 %2 %3x%4 %5:%6 %7x%8"_s.arg(r.durationText, n(r.durationSeconds), n(r.frameWidth),
                                                       n(r.frameHeight), n(r.aspectNum), n(r.aspectDen),
                                                       n(r.displayWidth), n(r.displayHeight));
            QVERIFY2(failure == c.failure && read == QLatin1String(c.read),
                     qPrintable(u"%1\nfailure %2, read %3"_s.arg(c.text).arg(int(failure)).arg(read)));
        }
    }

    // The real tools through clipferry-cli probe and the loader (one message, not two).
    void probeRealFiles()
    {
        const QByteArray json = R"({"durationText":"00:00:02.00","durationSeconds":2,"frameWidth":320,)"
                                R"("frameHeight":240,"aspectNum":4,"aspectDen":3,"displayWidth":320,)"
                                R"("displayHeight":240,"interlaced":false})";
        const struct
        {
            QString kind;
            ProbeFailure failure;
            QByteArray json;
        } cases[] = {
            {u"mp4"_s, ProbeFailure::None, json},
            {u"interlaced"_s, ProbeFailure::None,
             QByteArray(json).replace("02.00", "02.02").replace("false", "true")},
            {u"twostreams"_s, ProbeFailure::MultiStream, {}},
            {u"text"_s, ProbeFailure::UnknownFormat, {}},
            {u"missing"_s, ProbeFailure::NoSuchFile, {}},
        };
        for (const auto &c : cases) {
            const QString path = makeSource(m_dir.filePath(u"probe-"_s + c.kind), c.kind);
            const bool ok = c.failure == ProbeFailure::None;
            const QString message = ok ? QString() : VideoProbe::failureText(m_language, c.failure);
            const Streams cli = runCliApart({u"probe"_s, path});
            QCOMPARE(cli.exitCode, ok ? 0 : 1);
            QCOMPARE(cli.out, ok ? QJsonDocument::fromJson(c.json).toJson() : QByteArray());
            QCOMPARE(QString::fromUtf8(cli.err), ok ? QString() : message + u'\n');
            if (c.kind == u"missing") // the loader refuses it before any probe: sourceRefusals
                continue;

            auto log = m_messages.record();
            RunOptions options;
            SilentProgressView view;
            ExecRunner runner(*testProcesses(), options, view, m_messages);
            SourceLoader loader(runner, m_language, m_messages);
            int busyChanges = 0;
            connect(&loader, &SourceLoader::busyChanged, this, [&busyChanges] { ++busyChanges; });
            const LoadedSource loaded = QCoro::waitFor(loader.load(path, ServerSettings{}, false, QString()));
            QCOMPARE(loaded.loaded, ok);
            QCOMPARE(busyChanges, 2);
            QStringList shown;
            for (const Messages::Message &m : log->messages)
                shown << m.text;
            QCOMPARE(shown, ok ? QStringList() : QStringList{message});
            QCOMPARE(loaded.failure.value_or(SourceFailure{}).text, message);
            if (ok)
                QCOMPARE((QList<int>{loaded.probe.frameWidth, loaded.probe.frameHeight,
                                     loaded.probe.durationSeconds, loaded.probe.interlaced}),
                         (QList<int>{320, 240, 2, c.kind == u"interlaced"}));
            QCOMPARE(QDir::temp().entryList({u"vu_*"_s}), QStringList());
        }
        const Streams bare = runCliApart({u"probe"_s});
        QVERIFY2(bare.exitCode == 2 && bare.out.isEmpty() && bare.err.contains("name one video file"),
                 bare.err.constData());
    }
};

int runProbeTests(int argc, char *argv[])
{
    TestAdd tests;
    return QTest::qExec(&tests, argc, argv);
}

#include "test_add.moc"
