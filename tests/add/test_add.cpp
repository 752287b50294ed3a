#include "AddTests.h"
#include "add/SourceLoader.h"
#include "add/VideoProbe.h"
#include "common/Lang.h"
#include "pipeline/ExecRunner.h"
#include "pipeline/ProgressView.h"
#include "pipeline/RunOptions.h"
#include "platform/Messages.h"
#include "recorder/SampleRecording.h"
#include "server/ServerSettings.h"
#include "support/TestFiles.h"
#include "support/TestLanguage.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

namespace {

// An ffmpeg input report with the given duration and video line. The grabbed
// frame's stream, the audio stream and the video stream listed a second time
// are no second video stream.
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

} // namespace

Q_DECLARE_METATYPE(ProbeFailure)

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

private Q_SLOTS:
    void initTestCase()
    {
        m_clip = m_dir.filePath(u"clip.mp4"_s);
        QCOMPARE(makeClip(m_clip), QString());
    }

    void sourceRefusals_data()
    {
        const auto text = [this](const char *key) {
            return m_language.text(u"frmAdd"_s, QString::fromLatin1(key));
        };
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("create");
        QTest::addColumn<QString>("refusal");
        QTest::newRow("missing") << u"gone.mp4"_s << false << u"DOES_NOT_EXIST"_s;
        QTest::newRow("rm") << u"clip.rm"_s << true << text("msg_rm_and_rmvb");
        QTest::newRow("RMVB capitals") << u"clip.RMVB"_s << true << text("msg_rm_and_rmvb");
        QTest::newRow("dvd menu") << u"video_ts.vob"_s << true << text("msg_VIDEO_TS_VOB");
        QTest::newRow("title set") << u"VTS_01_1.VOB"_s << true << QString();
        QTest::newRow("project without media") << u"lonely/project.qvp"_s << true << text("msg_noMediaQv");
        QTest::newRow("video") << u"fine.mkv"_s << true << QString();
    }
    void sourceRefusals()
    {
        QFETCH(QString, name);
        QFETCH(bool, create);
        QFETCH(QString, refusal);
        const QString path = m_dir.filePath(u"refusals/"_s + name);
        if (create) {
            QDir().mkpath(QFileInfo(path).absolutePath());
            writeFile(path, "x");
        }
        if (refusal == u"DOES_NOT_EXIST")
            refusal = u'"' + path + u"\" does not exists!"_s;
        QCOMPARE(SourceLoader::check(m_language, path).value_or(SourceFailure{}).text, refusal);
    }

    // clipferry-cli upload loads its sources as the add dialog does: a
    // project newer than the server takes is refused with the dialog's
    // message, and the destination must be a folder that takes uploads.
    void uploadCommand_data()
    {
        QTest::addColumn<QString>("source");
        QTest::addColumn<QString>("folder");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("printed");
        QTest::addColumn<bool>("queueOnly");
        const QString tooNew =
            m_language.text(u"frmCommon"_s, u"msgUnsupportQvpVer"_s).replace(u"%s"_s, u"8"_s);
        QTest::newRow("video") << "mp4" << QString() << 0 << "queued (00:00:02.00, 320x240)" << true;
        QTest::newRow("version 7 project")
            << "7" << QString() << 0 << "queued (recording \"Sample recording\")" << true;
        QTest::newRow("version 8 project") << "8" << QString() << 1 << tooNew << true;
        QTest::newRow("single-file project") << "zdm" << QString() << 1 << tooNew << true;
        QTest::newRow("folder without uploads") << "mp4"
                                                << "grey" << 1 << "takes no upload" << true;
    }
    void uploadCommand()
    {
        QFETCH(QString, source);
        QFETCH(QString, folder);
        QFETCH(int, exitCode);
        QFETCH(QString, printed);
        QFETCH(bool, queueOnly);
        QVERIFY(startServer());
        const QString folderDir = m_dir.filePath(u"upload-"_s + QString::fromUtf8(QTest::currentDataTag()));
        QVERIFY(QDir().mkpath(folderDir));
        QString path = QDir(folderDir).filePath(u"clip.mp4"_s);
        if (source == u"mp4") {
            QVERIFY(QFile::copy(m_clip, path));
        } else {
            SampleRecordingOptions options;
            options.singleFile = source == u"zdm";
            options.version = options.singleFile ? 8 : source.toInt();
            const SampleRecordingResult made =
                QCoro::waitFor(makeSampleRecording(testProcesses(), folderDir, options));
            QVERIFY2(!made.path.isEmpty(), qPrintable(made.error));
            path = made.path;
        }
        if (folder == u"grey")
            folder = QString::fromLatin1(
                m_server->admin({u"folder"_s, u"add"_s, u"0"_s, u"Grey"_s, u"--no-upload"_s}).trimmed());
        const QString queue = QDir(folderDir).filePath(u"queue.xml"_s);
        QStringList args = uploadArgs(*m_server, queue) << path;
        if (queueOnly)
            args << u"--queue-only"_s;
        if (!folder.isEmpty())
            args << u"--folder"_s << folder;
        const CliRun run = runCli(args);
        QCOMPARE(run.exitCode, exitCode);
        QVERIFY2(run.all().contains(printed), qPrintable(run.all()));
        // Nothing is queued after a refusal (a finished queue is not kept),
        // and nothing stays in the temporary folder.
        QCOMPARE(QFileInfo::exists(queue), exitCode == 0 && queueOnly);
        QCOMPARE(QDir::temp().entryList({u"tmp_zdm_*"_s, u"_qvClipFerry_*"_s},
                                        QDir::AllEntries | QDir::NoDotAndDotDot),
                 QStringList());
    }

    // clipferry-cli killed right after its first source finished: the run
    // goes on from the journal the killed one left beside its queue file,
    // and sends only the second.
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

        const CliRun run = runCli({u"run"_s, queue});
        QVERIFY2(run.exitCode == 0, qPrintable(run.all()));
        QVERIFY2(!run.all().contains(u"first.mp4: Transfering"_s), qPrintable(run.all()));
        const QByteArray contents = m_server->admin({u"content"_s, u"list"_s});
        QCOMPARE(contents.count("\tfirst\t"), 1);
        QCOMPARE(contents.count("\tsecond\t"), 1);
        QVERIFY(!QFileInfo::exists(queue));
        QVERIFY(!QFileInfo::exists(queue + u".journal"_s));
    }

    // clipferry-cli convert encodes with the stored high-speed choice (on
    // unless stored off), or --high-speed over it; an odd-sized source
    // converts at an even size.
    void convertCommand_data()
    {
        QTest::addColumn<QString>("stored");
        QTest::addColumn<QString>("option");
        QTest::addColumn<bool>("highSpeed");
        QTest::newRow("stored off") << "0" << QString() << false;
        QTest::newRow("option over stored off") << "0"
                                                << "yes" << true;
        QTest::newRow("option over stored on") << "1"
                                               << "no" << false;
    }
    void convertCommand()
    {
        QFETCH(QString, stored);
        QFETCH(QString, option);
        QFETCH(bool, highSpeed);
        const QString home = m_dir.filePath(u"convert-"_s + QString::fromUtf8(QTest::currentDataTag()));
        QVERIFY(QDir().mkpath(home));
        writeFile(QDir(home).filePath(u"Corvana5.ini"_s),
                  "[clipFerry]\nchkHighSpeed=" + stored.toUtf8() + '\n');
        // x264 takes odd sides only outside 4:2:0.
        const QString source = m_dir.filePath(u"odd.mkv"_s);
        if (!QFileInfo::exists(source))
            QCOMPARE(QProcess::execute(u"ffmpeg"_s, {u"-v"_s, u"error"_s, u"-f"_s, u"lavfi"_s, u"-i"_s,
                                                     u"testsrc2=size=853x481:rate=25:duration=2"_s,
                                                     u"-pix_fmt"_s, u"yuv444p"_s, source}),
                     0);
        QStringList args{u"convert"_s, source, u"--work"_s, home};
        if (!option.isEmpty())
            args << u"--high-speed"_s << option;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(u"CLIPFERRY_HOME"_s, home);
        const CliRun run = runCli(args, environment);
        RunOptions expected;
        expected.highSpeed = highSpeed;
        expected.cpuCount = QThread::idealThreadCount();
        QVERIFY2(run.all().contains(u"high speed %1: %2 encoder threads"_s.arg(highSpeed ? u"yes"_s : u"no"_s)
                                        .arg(expected.encoderThreads())),
                 qPrintable(run.all()));
        QVERIFY2(run.exitCode == 0, qPrintable(run.all()));
    }

    // A good report: "duration seconds frame aspect display".
    void readsReport_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("read");
        QTest::newRow("16:9 stream") << report(u"00:01:30.50"_s, kH264)
                                     << "00:01:30.50 90 1280x720 16:9 1280x720";
        QTest::newRow("PAL 16:9 odd height goes down")
            << report(
                   u"01:00:00.00"_s,
                   u"Video: mpeg2video (Main), yuv420p(tv, top first), 720x576 [SAR 64:45 DAR 16:9], 25 fps"_s)
            << "01:00:00.00 3600 720x576 16:9 720x404";
        QTest::newRow("odd frame kept even")
            << report(
                   u"00:00:02.00"_s,
                   u"Video: h264 (High 4:4:4 Predictive), yuv444p, 853x481 [SAR 1:1 DAR 853:481], 25 fps"_s)
            << "00:00:02.00 2 853x481 853:481 852x480";
        QTest::newRow("wmv3 aspect from frame")
            << report(u"00:00:10.00"_s,
                      u"Video: wmv3 (Main) (WMV3 / 0x33564D57), yuv420p, 720x480, 1000 kb/s"_s)
            << "00:00:10.00 10 720x480 720:480 720x480";
        QTest::newRow("no DAR") << report(u"00:00:02.00"_s, u"Video: mpeg4, yuv420p, 320x240, 25 fps"_s)
                                << "00:00:02.00 2 320x240 0:0 320x240";
    }
    void readsReport()
    {
        QFETCH(QString, text);
        QFETCH(QString, read);
        ProbeResult r;
        QCOMPARE(VideoProbe::parseReport(text, false, r), ProbeFailure::None);
        QCOMPARE(u"%1 %2 %3x%4 %5:%6 %7x%8"_s.arg(r.durationText)
                     .arg(r.durationSeconds)
                     .arg(r.frameWidth)
                     .arg(r.frameHeight)
                     .arg(r.aspectNum)
                     .arg(r.aspectDen)
                     .arg(r.displayWidth)
                     .arg(r.displayHeight),
                 read);
    }

    void refusesReport_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("batch");
        QTest::addColumn<ProbeFailure>("failure");
        QTest::newRow("duration N/A") << report(u"N/A"_s, kH264) << false << ProbeFailure::Duration;
        QTest::newRow("no duration, batch") << u"Input #0, avi\r\n"_s << true << ProbeFailure::BatchDuration;
        QTest::newRow("empty, batch") << QString() << true << ProbeFailure::BatchEmpty;
        // A zero side is no size, and the line's last word is never read.
        QTest::newRow("no size") << report(u"00:00:02.00"_s, u"Video: rawvideo, 320x0, yuv420p 320x240"_s)
                                 << false << ProbeFailure::Size;
        QTest::newRow("invalid data") << u"a.mp4: Invalid data found when processing input\r\n"_s << false
                                      << ProbeFailure::UnknownFormat;
        QTest::newRow("open error before missing")
            << u"error while opening file x\r\nNo such file or directory"_s << false
            << ProbeFailure::OpenError;
        QTest::newRow("missing file")
            << u"a.mp4: No such file or directory\r\n"_s << false << ProbeFailure::NoSuchFile;
        QTest::newRow("two video streams dotted")
            << u"  Duration: 00:00:01.00, start\r\n  Stream #0.0: Video: "
               u"mpeg4, 320x240\r\n  Stream #0.1: Video: mpeg4, 320x240\r\n"_s
            << false << ProbeFailure::MultiStream;
        QTest::newRow("two video streams colon")
            << u"  Duration: 00:00:01.00, start\n  Stream #0:0: Video: h264, "
               u"320x240\n  Stream #0:1: Video: h264, 320x240\n"_s
            << false << ProbeFailure::MultiStream;
    }
    void refusesReport()
    {
        QFETCH(QString, text);
        QFETCH(bool, batch);
        QFETCH(ProbeFailure, failure);
        ProbeResult r;
        QCOMPARE(VideoProbe::parseReport(text, batch, r), failure);
    }

    // The real tools on small generated files, through the loader (the
    // probe's one message, not shown again) and through clipferry-cli probe
    // (JSON on success, the probe's message and a failed exit status otherwise).
    void probeRealFiles_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<ProbeFailure>("failure");
        QTest::addColumn<QByteArray>("json");
        const QByteArray json = R"({"durationText":"00:00:02.00","durationSeconds":2,"frameWidth":320,)"
                                R"("frameHeight":240,"aspectNum":4,"aspectDen":3,"displayWidth":320,)"
                                R"("displayHeight":240,"interlaced":false})";
        QTest::newRow("progressive mp4") << "mp4" << ProbeFailure::None << json;
        QTest::newRow("interlaced mkv")
            << "interlaced" << ProbeFailure::None
            << QByteArray(json).replace("02.00", "02.02").replace("false", "true");
        QTest::newRow("two video streams") << "twostreams" << ProbeFailure::MultiStream << QByteArray();
        QTest::newRow("not a video") << "text" << ProbeFailure::UnknownFormat << QByteArray();
        QTest::newRow("missing") << "missing" << ProbeFailure::NoSuchFile << QByteArray();
    }
    void probeRealFiles()
    {
        QFETCH(QString, kind);
        QFETCH(ProbeFailure, failure);
        QFETCH(QByteArray, json);
        QTemporaryDir dir;
        const QString path = dir.filePath(kind == u"mp4" ? u"clip.mp4"_s : u"clip.mkv"_s);
        if (kind == u"mp4") {
            QVERIFY(QFile::copy(m_clip, path));
        } else if (kind == u"text") {
            writeFile(path, "this is not a video\n");
        } else if (kind != u"missing") {
            SampleVideo sample;
            sample.output = path;
            sample.durationSeconds = 2;
            sample.interlaced = kind == u"interlaced";
            sample.videoStreams = kind == u"twostreams" ? 2 : 1;
            QCOMPARE(QCoro::waitFor(sample.make(testProcesses())), QString());
        }

        const CliRun cli = runCli({u"probe"_s, path});
        if (failure == ProbeFailure::None) {
            QCOMPARE(cli.exitCode, 0);
            QCOMPARE(QJsonDocument::fromJson(cli.out).object(), QJsonDocument::fromJson(json).object());
            QVERIFY2(cli.err.isEmpty(), cli.err.constData());
        } else {
            QCOMPARE(cli.exitCode, 1);
            QVERIFY(cli.out.isEmpty());
            QVERIFY2(cli.all().contains(VideoProbe::failureText(m_language, failure)), cli.err.constData());
        }
        if (kind == u"missing") // the loader refuses it before any probe: sourceRefusals
            return;

        auto log = m_messages.record();
        RunOptions options;
        SilentProgressView view;
        ExecRunner runner(*testProcesses(), options, view, m_messages);
        SourceLoader loader(runner, m_language, m_messages);
        int busyChanges = 0;
        connect(&loader, &SourceLoader::busyChanged, this, [&busyChanges] { ++busyChanges; });
        const LoadedSource loaded = QCoro::waitFor(loader.load(path, ServerSettings{}, false, QString()));
        QCOMPARE(loaded.loaded, failure == ProbeFailure::None);
        QCOMPARE(busyChanges, 2);
        if (failure != ProbeFailure::None) {
            QCOMPARE(log->messages.size(), 1);
            QCOMPARE(log->messages.at(0).text, VideoProbe::failureText(m_language, failure));
            QCOMPARE(loaded.failure->text, log->messages.at(0).text);
            return;
        }
        QVERIFY(log->messages.isEmpty());
        QCOMPARE(QSize(loaded.probe.frameWidth, loaded.probe.frameHeight), QSize(320, 240));
        QCOMPARE(loaded.probe.durationSeconds, 2);
        QCOMPARE(loaded.probe.interlaced, kind == u"interlaced");
        // The grabbed frame is gone again.
        QVERIFY(QDir::temp().entryList({u"vu_*"_s}).isEmpty());
    }

    void probeWithoutFile()
    {
        const CliRun cli = runCli({u"probe"_s});
        QCOMPARE(cli.exitCode, 2);
        QVERIFY(cli.out.isEmpty());
        QVERIFY2(cli.err.contains("name one video file"), cli.err.constData());
    }
};

int runProbeTests(int argc, char *argv[])
{
    TestAdd tests;
    return QTest::qExec(&tests, argc, argv);
}

#include "test_add.moc"
