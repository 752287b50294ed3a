#include "add/SourceLoader.h"
#include "add/VideoProbe.h"
#include "common/Lang.h"
#include "pipeline/ExecRunner.h"
#include "pipeline/ProgressView.h"
#include "pipeline/RunOptions.h"
#include "pipeline/SampleMedia.h"
#include "platform/Messages.h"
#include "platform/ToolLocator.h"
#include "recorder/SampleRecording.h"
#include "server/ServerSettings.h"
#include "support/ServerProcess.h"
#include "support/TestFiles.h"
#include "support/TestLanguage.h"
#include "support/TestProcesses.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

namespace {

// An ffmpeg input report with the given duration and video line.
QString report(const QString &duration, const QString &videoLine)
{
    return QStringLiteral(
               "Input #0, mov,mp4, from 'a.mp4':\r\n  Duration: %1, start: 0.000000, bitrate: 500 kb/s\r\n"
               "  Stream #0:0(und): %2\r\n  Stream #0:1(und): Audio: aac (LC), 44100 Hz, stereo\r\n"
               "Output #0, image2, to 'vu_1.bmp':\r\n  Stream #0:0: Video: bmp, bgr24, 320x240\r\n")
        .arg(duration, videoLine);
}

} // namespace

class TestAdd : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    std::unique_ptr<ServerProcess> m_server;
    const LanguageTable m_language{languageFile()};
    Messages::Channel m_messages;

    bool startServer()
    {
        if (m_server)
            return true;
        m_server = std::make_unique<ServerProcess>(m_dir.filePath(QStringLiteral("server")));
        return m_server->start({QStringLiteral("--demo")}) &&
               !m_server
                    ->admin({QStringLiteral("setting"), QStringLiteral("set"), QStringLiteral("qvpver"),
                             QStringLiteral("7")})
                    .isNull();
    }
    QStringList uploadArgs(const QString &queue) const
    {
        return {QStringLiteral("upload"),    QStringLiteral("--server"), m_server->address(),
                QStringLiteral("--account"), QStringLiteral("demo"),     QStringLiteral("--password"),
                QStringLiteral("demo"),      QStringLiteral("--queue"),  queue};
    }

private Q_SLOTS:
    void sourceRefusals_data()
    {
        const auto text = [this](const char *key) {
            return m_language.text(QStringLiteral("frmAdd"), QString::fromLatin1(key));
        };
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("create");
        QTest::addColumn<QString>("refusal");
        QTest::newRow("missing") << QStringLiteral("gone.mp4") << false << QStringLiteral("DOES_NOT_EXIST");
        QTest::newRow("rm") << QStringLiteral("clip.rm") << true << text("msg_rm_and_rmvb");
        QTest::newRow("RMVB capitals") << QStringLiteral("clip.RMVB") << true << text("msg_rm_and_rmvb");
        QTest::newRow("dvd menu") << QStringLiteral("video_ts.vob") << true << text("msg_VIDEO_TS_VOB");
        QTest::newRow("title set") << QStringLiteral("VTS_01_1.VOB") << true << QString();
        QTest::newRow("project without media")
            << QStringLiteral("lonely/project.qvp") << true << text("msg_noMediaQv");
        QTest::newRow("video") << QStringLiteral("fine.mkv") << true << QString();
    }
    void sourceRefusals()
    {
        QFETCH(QString, name);
        QFETCH(bool, create);
        QFETCH(QString, refusal);
        const QString path = m_dir.filePath(QStringLiteral("refusals/") + name);
        if (create) {
            QDir().mkpath(QFileInfo(path).absolutePath());
            writeFile(path, "x");
        }
        if (refusal == QLatin1String("DOES_NOT_EXIST"))
            refusal = u'"' + path + QStringLiteral("\" does not exists!");
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
            m_language.text(QStringLiteral("frmCommon"), QStringLiteral("msgUnsupportQvpVer"))
                .replace(QStringLiteral("%s"), QStringLiteral("8"));
        QTest::newRow("video") << "mp4" << QString() << 0 << "queued (00:00:02.00, 320x240)" << true;
        QTest::newRow("video uploaded") << "mp4" << QString() << 0 << "stored as content" << false;
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
        const QString folderDir =
            m_dir.filePath(QStringLiteral("upload-") + QString::fromUtf8(QTest::currentDataTag()));
        QVERIFY(QDir().mkpath(folderDir));
        QString path = QDir(folderDir).filePath(QStringLiteral("clip.mp4"));
        if (source == QLatin1String("mp4")) {
            SampleVideo sample;
            sample.durationSeconds = 2;
            sample.output = path;
            QCOMPARE(QCoro::waitFor(sample.make(testProcesses())), QString());
        } else {
            SampleRecordingOptions options;
            options.singleFile = source == QLatin1String("zdm");
            options.version = options.singleFile ? 8 : source.toInt();
            const SampleRecordingResult made =
                QCoro::waitFor(makeSampleRecording(testProcesses(), folderDir, options));
            QVERIFY2(!made.path.isEmpty(), qPrintable(made.error));
            path = made.path;
        }
        if (folder == QLatin1String("grey"))
            folder = QString::fromLatin1(
                m_server
                    ->admin({QStringLiteral("folder"), QStringLiteral("add"), QStringLiteral("0"),
                             QStringLiteral("Grey"), QStringLiteral("--no-upload")})
                    .trimmed());
        const QString queue = QDir(folderDir).filePath(QStringLiteral("queue.xml"));
        QStringList args = uploadArgs(queue) << path;
        if (queueOnly)
            args << QStringLiteral("--queue-only");
        if (!folder.isEmpty())
            args << QStringLiteral("--folder") << folder;
        QProcess process;
        process.start(ToolLocator::find(QStringLiteral("clipferry-cli")), args);
        QVERIFY(process.waitForFinished(120000));
        const QString out =
            QString::fromUtf8(process.readAllStandardOutput() + process.readAllStandardError());
        QCOMPARE(process.exitCode(), exitCode);
        QVERIFY2(out.contains(printed), qPrintable(out));
        // Nothing is queued after a refusal (a finished queue is not kept),
        // and nothing stays in the temporary folder.
        QCOMPARE(QFileInfo::exists(queue), exitCode == 0 && queueOnly);
        QCOMPARE(QDir::temp().entryList({QStringLiteral("tmp_zdm_*"), QStringLiteral("_qvClipFerry_*")},
                                        QDir::AllEntries | QDir::NoDotAndDotDot),
                 QStringList());
    }

    // clipferry-cli killed right after its first source finished: the run
    // goes on from the journal the killed one left beside its queue file,
    // and sends only the second.
    void killedUploadGoesOnFromJournal()
    {
        QVERIFY(startServer());
        const QDir dir(m_dir.filePath(QStringLiteral("killed")));
        QVERIFY(dir.mkpath(QStringLiteral(".")));
        QStringList sources;
        for (const char *name : {"first", "second"}) {
            SampleVideo sample;
            sample.durationSeconds = 2;
            sample.output = dir.filePath(QString::fromLatin1(name) + QStringLiteral(".mp4"));
            QCOMPARE(QCoro::waitFor(sample.make(testProcesses())), QString());
            sources << sample.output;
        }
        const QString queue = dir.filePath(QStringLiteral("Q.xml"));
        const QString cli = ToolLocator::find(QStringLiteral("clipferry-cli"));
        QProcess upload;
        upload.start(cli, uploadArgs(queue) << sources);
        QByteArray out;
        while (!out.contains("first.mp4: Finished")) {
            QVERIFY2(upload.waitForReadyRead(120000), out.constData());
            out += upload.readAllStandardOutput();
        }
        upload.kill();
        QVERIFY(upload.waitForFinished());
        QVERIFY(QFileInfo::exists(queue + QStringLiteral(".journal")));

        QProcess run;
        run.start(cli, {QStringLiteral("run"), queue});
        QVERIFY(run.waitForFinished(120000));
        out = run.readAllStandardOutput() + run.readAllStandardError();
        QVERIFY2(run.exitCode() == 0, out.constData());
        QVERIFY2(!out.contains("first.mp4: Transfering"), out.constData());
        const QByteArray contents = m_server->admin({QStringLiteral("content"), QStringLiteral("list")});
        QCOMPARE(contents.count("\tfirst\t"), 1);
        QCOMPARE(contents.count("\tsecond\t"), 1);
        QVERIFY(!QFileInfo::exists(queue));
        QVERIFY(!QFileInfo::exists(queue + QStringLiteral(".journal")));
    }

    // clipferry-cli convert encodes with the stored high-speed choice, or
    // --high-speed over it; an odd-sized source converts at an even size.
    void convertCommand_data()
    {
        QTest::addColumn<QString>("stored");
        QTest::addColumn<QString>("option");
        QTest::addColumn<bool>("highSpeed");
        QTest::newRow("stored on") << "1" << QString() << true;
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
        const QString home =
            m_dir.filePath(QStringLiteral("convert-") + QString::fromUtf8(QTest::currentDataTag()));
        QVERIFY(QDir().mkpath(home));
        writeFile(QDir(home).filePath(QStringLiteral("Corvana5.ini")),
                  "[clipFerry]\nchkHighSpeed=" + stored.toUtf8() + '\n');
        // x264 takes odd sides only outside 4:2:0.
        const QString source = m_dir.filePath(QStringLiteral("odd.mkv"));
        if (!QFileInfo::exists(source))
            QCOMPARE(QProcess::execute(QStringLiteral("ffmpeg"),
                                       {QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-f"),
                                        QStringLiteral("lavfi"), QStringLiteral("-i"),
                                        QStringLiteral("testsrc2=size=853x481:rate=25:duration=2"),
                                        QStringLiteral("-pix_fmt"), QStringLiteral("yuv444p"), source}),
                     0);
        QStringList args{QStringLiteral("convert"), source, QStringLiteral("--work"), home};
        if (!option.isEmpty())
            args << QStringLiteral("--high-speed") << option;
        QProcess process;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("CLIPFERRY_HOME"), home);
        process.setProcessEnvironment(environment);
        process.start(ToolLocator::find(QStringLiteral("clipferry-cli")), args);
        QVERIFY(process.waitForFinished(120000));
        const QString out =
            QString::fromUtf8(process.readAllStandardOutput() + process.readAllStandardError());
        RunOptions expected;
        expected.highSpeed = highSpeed;
        expected.cpuCount = QThread::idealThreadCount();
        QVERIFY2(out.contains(QStringLiteral("%1 encoder threads").arg(expected.encoderThreads())),
                 qPrintable(out));
        QVERIFY2(out.contains(QStringLiteral("high speed ") +
                              (expected.highSpeed ? QStringLiteral("yes") : QStringLiteral("no"))),
                 qPrintable(out));
        QVERIFY2(process.exitCode() == 0, qPrintable(out));
    }

    void parseReport_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("batch");
        QTest::addColumn<int>("failure");
        QTest::addColumn<QString>("durationText");
        QTest::addColumn<int>("seconds");
        QTest::addColumn<QSize>("frame");
        QTest::addColumn<QSize>("aspect");
        QTest::addColumn<QSize>("display");
        const QString h264 = QStringLiteral(
            "Video: h264 (High) (avc1 / 0x31637661), yuv420p, 1280x720 [PAR 1:1 DAR 16:9], 25 fps");
        QTest::newRow("16:9 stream") << report("00:01:30.50", h264) << false << int(ProbeFailure::None)
                                     << "00:01:30.50" << 90 << QSize(1280, 720) << QSize(16, 9)
                                     << QSize(1280, 720);
        QTest::newRow("PAL 16:9 odd height goes down")
            << report(
                   "01:00:00.00",
                   "Video: mpeg2video (Main), yuv420p(tv, top first), 720x576 [SAR 64:45 DAR 16:9], 25 fps")
            << false << int(ProbeFailure::None) << "01:00:00.00" << 3600 << QSize(720, 576) << QSize(16, 9)
            << QSize(720, 404);
        QTest::newRow("odd frame kept even")
            << report("00:00:02.00", "Video: h264 (High 4:4:4 Predictive), yuv444p, 853x481 [SAR 1:1 DAR "
                                     "853:481], 25 fps")
            << false << int(ProbeFailure::None) << "00:00:02.00" << 2 << QSize(853, 481) << QSize(853, 481)
            << QSize(852, 480);
        QTest::newRow("wmv3 aspect from frame")
            << report("00:00:10.00", "Video: wmv3 (Main) (WMV3 / 0x33564D57), yuv420p, 720x480, 1000 kb/s")
            << false << int(ProbeFailure::None) << "00:00:10.00" << 10 << QSize(720, 480) << QSize(720, 480)
            << QSize(720, 480);
        QTest::newRow("no DAR") << report("00:00:02.00", "Video: mpeg4, yuv420p, 320x240, 25 fps") << false
                                << int(ProbeFailure::None) << "00:00:02.00" << 2 << QSize(320, 240)
                                << QSize(0, 0) << QSize(320, 240);
        QTest::newRow("duration N/A") << report("N/A", h264) << false << int(ProbeFailure::Duration) << "N/A"
                                      << 0 << QSize() << QSize() << QSize();
        QTest::newRow("no duration, batch")
            << QStringLiteral("Input #0, avi\r\n") << true << int(ProbeFailure::BatchDuration) << "" << 0
            << QSize() << QSize() << QSize();
        QTest::newRow("empty, batch")
            << QString() << true << int(ProbeFailure::BatchEmpty) << "" << 0 << QSize() << QSize() << QSize();
        QTest::newRow("no size") << report("00:00:02.00", "Video: h264, yuv420p, 25 fps") << false
                                 << int(ProbeFailure::Size) << "00:00:02.00" << 2 << QSize() << QSize()
                                 << QSize();
        QTest::newRow("invalid data")
            << QStringLiteral("a.mp4: Invalid data found when processing input\r\n") << false
            << int(ProbeFailure::UnknownFormat) << "" << 0 << QSize() << QSize() << QSize();
        QTest::newRow("open error before missing")
            << QStringLiteral("error while opening file x\r\nNo such file or directory") << false
            << int(ProbeFailure::OpenError) << "" << 0 << QSize() << QSize() << QSize();
        QTest::newRow("missing file")
            << QStringLiteral("a.mp4: No such file or directory\r\n") << false
            << int(ProbeFailure::NoSuchFile) << "" << 0 << QSize() << QSize() << QSize();
        QTest::newRow("two video streams dotted")
            << QStringLiteral("  Duration: 00:00:01.00, start\r\n  Stream #0.0: Video: mpeg4, 320x240\r\n"
                              "  Stream #0.1: Video: mpeg4, 320x240\r\n")
            << false << int(ProbeFailure::MultiStream) << "" << 0 << QSize() << QSize() << QSize();
        QTest::newRow("two video streams colon")
            << QStringLiteral("  Duration: 00:00:01.00, start\n  Stream #0:0: Video: h264, 320x240\n"
                              "  Stream #0:1: Video: h264, 320x240\n")
            << false << int(ProbeFailure::MultiStream) << "" << 0 << QSize() << QSize() << QSize();
    }
    void parseReport()
    {
        QFETCH(QString, text);
        QFETCH(bool, batch);
        QFETCH(int, failure);
        QFETCH(QString, durationText);
        QFETCH(int, seconds);
        QFETCH(QSize, frame);
        QFETCH(QSize, aspect);
        QFETCH(QSize, display);
        ProbeResult r;
        QCOMPARE(int(VideoProbe::parseReport(text, batch, r)), failure);
        if (!durationText.isEmpty())
            QCOMPARE(r.durationText, durationText);
        if (failure != int(ProbeFailure::None))
            return;
        QCOMPARE(r.durationSeconds, seconds);
        QCOMPARE(QSize(r.frameWidth, r.frameHeight), frame);
        QCOMPARE(QSize(r.aspectNum, r.aspectDen), aspect);
        QCOMPARE(QSize(r.displayWidth, r.displayHeight), display);
    }

    void countVideoStreams_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("count");
        QTest::newRow("grabbed frame not counted")
            << QStringLiteral("Stream #0.0: Video: a\r\nOutput #0\r\nStream #0.1: Video: b\r\n") << 1;
        QTest::newRow("audio not counted")
            << QStringLiteral("Stream #0.0: Video: a\r\nStream #0.1: Audio: b\r\n") << 1;
        QTest::newRow("repeats once")
            << QStringLiteral("Stream #0.0: Video: a\r\nStream #0.0: Video: a\r\n") << 1;
        QTest::newRow("colon numbering")
            << QStringLiteral("Stream #0:0: Video: a\nStream #0:1: Video: b\n") << 2;
        QTest::newRow("none") << QStringLiteral("Input #0\r\n") << 0;
    }
    void countVideoStreams()
    {
        QFETCH(QString, text);
        QFETCH(int, count);
        QCOMPARE(VideoProbe::CountVideoStreams(text), count);
    }

    void parseFrameSize_data()
    {
        QTest::addColumn<QString>("line");
        QTest::addColumn<QSize>("size");
        QTest::newRow("codec tag passed over")
            << "Video: h264 (avc1 / 0x31637661), 1280x720, 25 fps" << QSize(1280, 720);
        QTest::newRow("comma removed") << "Video: mpeg4, 640x480, 25 fps" << QSize(640, 480);
        QTest::newRow("last word never examined") << "Video: rawvideo 320x240" << QSize(0, 0);
        QTest::newRow("first word never examined") << "320x240 Video: x" << QSize(0, 0);
        QTest::newRow("zero height") << "Video: x 320x0 y" << QSize(0, 0);
    }
    void parseFrameSize()
    {
        QFETCH(QString, line);
        QFETCH(QSize, size);
        qint32 w = -1;
        qint32 h = -1;
        QCOMPARE(VideoProbe::ParseFrameSize(line, w, h), size.width() > 0);
        QCOMPARE(QSize(w, h), size);
    }

    void fitToWidth_data()
    {
        QTest::addColumn<QSize>("in");
        QTest::addColumn<int>("maxWidth");
        QTest::addColumn<QSize>("aspect");
        QTest::addColumn<QSize>("out");
        QTest::newRow("shrinks 16:9") << QSize(1920, 1080) << 1280 << QSize(16, 9) << QSize(1280, 720);
        QTest::newRow("equal takes the shrink path")
            << QSize(854, 480) << 854 << QSize(0, 0) << QSize(854, 480);
        QTest::newRow("aspect changes height") << QSize(720, 576) << 1280 << QSize(16, 9) << QSize(720, 404);
        QTest::newRow("odd frame kept even") << QSize(853, 481) << 1280 << QSize(0, 0) << QSize(852, 480);
    }
    void fitToWidth()
    {
        QFETCH(QSize, in);
        QFETCH(int, maxWidth);
        QFETCH(QSize, aspect);
        QFETCH(QSize, out);
        qint32 w = in.width();
        qint32 h = in.height();
        VideoProbe::FitToWidth(w, h, maxWidth, aspect.width(), aspect.height());
        QCOMPARE(QSize(w, h), out);
    }

    // The real tools on small generated files.
    void probeRealFiles_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<int>("failure");
        QTest::newRow("progressive mp4") << "mp4" << true << int(ProbeFailure::None);
        QTest::newRow("interlaced mkv") << "interlaced" << true << int(ProbeFailure::None);
        QTest::newRow("two video streams") << "twostreams" << false << int(ProbeFailure::MultiStream);
        QTest::newRow("not a video") << "text" << false << int(ProbeFailure::UnknownFormat);
    }
    void probeRealFiles()
    {
        QFETCH(QString, kind);
        QFETCH(bool, ok);
        QFETCH(int, failure);
        QTemporaryDir dir;
        QString path = dir.filePath(QStringLiteral("clip.mp4"));
        SampleVideo sample;
        sample.durationSeconds = 2;
        if (kind == QLatin1String("interlaced")) {
            path = dir.filePath(QStringLiteral("clip.mkv"));
            sample.interlaced = true;
        } else if (kind == QLatin1String("twostreams")) {
            path = dir.filePath(QStringLiteral("clip.mkv"));
            sample.videoStreams = 2;
        }
        sample.output = path;
        if (kind == QLatin1String("text")) {
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write("this is not a video\n");
        } else {
            auto made = sample.make(testProcesses());
            QCOMPARE(QCoro::waitFor(made), QString());
        }

        // Through the loader: the probe's one message, not shown again.
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
        if (!ok) {
            QCOMPARE(log->messages.size(), 1);
            QCOMPARE(log->messages.at(0).text, VideoProbe::failureText(m_language, ProbeFailure(failure)));
            QCOMPARE(loaded.failure->text, log->messages.at(0).text);
            return;
        }
        QVERIFY(log->messages.isEmpty());
        QCOMPARE(loaded.probe.frameWidth, 320);
        QCOMPARE(loaded.probe.frameHeight, 240);
        QCOMPARE(loaded.probe.durationSeconds, 2);
        QCOMPARE(loaded.probe.interlaced, kind == QLatin1String("interlaced"));
        // The grabbed frame is gone again.
        QVERIFY(QDir::temp().entryList({QStringLiteral("vu_*")}).isEmpty());
    }
    // clipferry-cli probe: JSON on success, the probe's message and a
    // failed exit status otherwise.
    void probeCommand_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<QString>("error");
        QTest::newRow("progressive mp4")
            << "mp4" << 0
            << QByteArray(R"({"durationText":"00:00:02.00","durationSeconds":2,"frameWidth":320,)"
                          R"("frameHeight":240,"aspectNum":4,"aspectDen":3,"displayWidth":320,)"
                          R"("displayHeight":240,"interlaced":false})")
            << QString();
        QTest::newRow("missing") << "missing" << 1 << QByteArray()
                                 << VideoProbe::failureText(m_language, ProbeFailure::NoSuchFile);
        QTest::newRow("no file named")
            << "none" << 2 << QByteArray() << QStringLiteral("name one video file");
    }
    void probeCommand()
    {
        QFETCH(QString, kind);
        QFETCH(int, exitCode);
        QFETCH(QByteArray, json);
        QFETCH(QString, error);
        const QString cli = ToolLocator::find(QStringLiteral("clipferry-cli"));
        QVERIFY2(!cli.isEmpty(), "clipferry-cli is not built");
        QTemporaryDir dir;
        SampleVideo sample;
        sample.durationSeconds = 2;
        sample.output = dir.filePath(QStringLiteral("clip.mp4"));
        if (kind == QLatin1String("mp4")) {
            auto made = sample.make(testProcesses());
            QCOMPARE(QCoro::waitFor(made), QString());
        }

        QProcess process;
        process.start(cli, kind == QLatin1String("none")
                               ? QStringList{QStringLiteral("probe")}
                               : QStringList{QStringLiteral("probe"), sample.output});
        QVERIFY(process.waitForFinished(60000));
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        const QByteArray out = process.readAllStandardOutput();
        const QString err = QString::fromUtf8(process.readAllStandardError());
        QCOMPARE(process.exitCode(), exitCode);
        if (exitCode != 0) {
            QVERIFY(out.isEmpty());
            QVERIFY2(err.contains(error), qPrintable(err));
            return;
        }
        QJsonParseError parseError;
        const QJsonDocument printed = QJsonDocument::fromJson(out, &parseError);
        QVERIFY2(parseError.error == QJsonParseError::NoError, out.constData());
        // Every field of the result is printed; the expected ones as given.
        const QJsonObject fields = printed.object();
        QCOMPARE(fields.keys(),
                 (QStringList{"aspectDen", "aspectNum", "displayHeight", "displayWidth", "durationSeconds",
                              "durationText", "frameHeight", "frameWidth", "interlaced"}));
        const QJsonObject expected = QJsonDocument::fromJson(json).object();
        for (auto it = expected.begin(); it != expected.end(); ++it)
            QCOMPARE(fields.value(it.key()), it.value());
        QVERIFY(err.isEmpty());
    }
};

int runProbeTests(int argc, char *argv[])
{
    TestAdd tests;
    return QTest::qExec(&tests, argc, argv);
}

#include "test_add.moc"
