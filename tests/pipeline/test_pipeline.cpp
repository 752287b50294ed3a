#include "RecordingView.h"
#include "common/XmlUtil.h"
#include "pipeline/ExecRunner.h"
#include "pipeline/FfmpegCapabilities.h"
#include "pipeline/ProgressView.h"
#include "pipeline/SampleMedia.h"
#include "pipeline/VideoConversion.h"
#include "platform/Messages.h"
#include "platform/ProcessRunner.h"
#include "platform/ToolLocator.h"
#include "queue/QueueModel.h"
#include "support/TestLanguage.h"
#include "support/TestProcesses.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <functional>

namespace {

QString probe(const QString &file, const QString &entries, const QString &stream = "v:0")
{
    QProcess ffprobe;
    ffprobe.start("ffprobe", {"-v", "error", "-select_streams", stream, "-show_entries", entries, "-of",
                              "default=noprint_wrappers=1:nokey=1", file});
    ffprobe.waitForFinished(30000);
    return QString::fromUtf8(ffprobe.readAllStandardOutput()).trimmed();
}

int keyFrameCount(const QString &file)
{
    QProcess ffprobe;
    ffprobe.start("ffprobe", {"-v", "error", "-select_streams", "v:0", "-show_entries", "packet=flags", "-of",
                              "csv=p=0", file});
    ffprobe.waitForFinished(30000);
    return int(QString::fromUtf8(ffprobe.readAllStandardOutput()).count(u'K'));
}

// Processes whose command line names `text`.
QStringList processesMentioning(const QString &text)
{
    QStringList found;
    const QStringList pids = QDir("/proc").entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &pid : pids) {
        QFile cmdline("/proc/" + pid + "/cmdline");
        if (pid.toLongLong() > 0 && processAlive(pid.toLongLong()) && cmdline.open(QIODevice::ReadOnly) &&
            cmdline.readAll().contains(text.toUtf8()))
            found.append(pid);
    }
    return found;
}

} // namespace

class TestPipeline : public QObject
{
    Q_OBJECT

    const LanguageTable m_language{languageFile()};
    Messages::Channel m_messages;
    std::shared_ptr<Messages::RecordingPresenter::Log> m_log = m_messages.record();

    QTemporaryDir m_dir;
    QString m_interlaced; // 640x480, interlaced, 3 s
    QString m_mkv;        // 320x240, 3 s
    ProcessRunner m_processes;
    RunOptions m_options{false, 2};

    QByteArray m_tools; // CLIPFERRY_TOOLS as the test started

    QString fakeToolDir() { return m_dir.filePath("fake"); }

    // The fake tools are found before the real ones until the test ends.
    void useFakeTools() { qputenv("CLIPFERRY_TOOLS", (fakeToolDir() + ':').toUtf8() + m_tools); }

    // A misbehaving tool: a shell script found before the real one.
    void writeFakeTool(const QString &name, const QString &body)
    {
        QDir().mkpath(fakeToolDir());
        QFile script(QDir(fakeToolDir()).filePath(name));
        QVERIFY(script.open(QIODevice::WriteOnly));
        script.write(("#!/bin/sh\n" + body + "\n").toUtf8());
        script.close();
        script.setPermissions(script.permissions() | QFileDevice::ExeOwner);
    }

    QString freshFolder(const QString &name)
    {
        const QString path = m_dir.filePath(name);
        QDir(path).removeRecursively();
        QDir().mkpath(path);
        return path;
    }

    static CVideoItem videoEntry(const QString &path, int width, int height)
    {
        CVideoItem item;
        item.path = path;
        item.fileName = QFileInfo(path).fileName();
        item.duration = "00:00:03";
        item.secDuration = 3;
        item.videoWidth = width;
        item.videoHeight = height;
        item.vBitRate = "300k";
        item.aBitRate = "64k";
        return item;
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        m_tools = qgetenv("CLIPFERRY_TOOLS");
        SampleVideo interlaced;
        interlaced.output = m_dir.filePath("interlaced.mp4");
        interlaced.width = 640;
        interlaced.height = 480;
        interlaced.interlaced = true;
        QCOMPARE(QCoro::waitFor(interlaced.make(&m_processes)), QString());
        m_interlaced = interlaced.output;
        SampleVideo small;
        small.output = m_dir.filePath("small.mkv");
        QCOMPARE(QCoro::waitFor(small.make(&m_processes)), QString());
        m_mkv = small.output;
        QCOMPARE(probe(m_interlaced, "stream=field_order"), QString("tt"));
    }

    void cleanup()
    {
        qputenv("CLIPFERRY_TOOLS", m_tools);
        QDir(fakeToolDir()).removeRecursively();
    }

    void readChunk_data()
    {
        QTest::addColumn<int>("pass");
        QTest::addColumn<int>("duration");
        QTest::addColumn<bool>("parse");
        QTest::addColumn<QString>("chunk");
        QTest::addColumn<double>("elapsed");
        QTest::addColumn<int>("errorCode");
        QTest::addColumn<QString>("lastTime");
        QTest::addColumn<QString>("label");

        const QString line = "frame=  10 fps=0.0 q=0.0 size=0kB time=%1 bitrate=N/A speed=1x\r";
        QTest::newRow("pass 1 weighs a quarter")
            << 1 << 300 << true << line.arg("00:01:30.50") << 10.0 << 1 << "90.5"
            << "Conv 00:05:00 (remains 2 mins, 7.55%)";
        QTest::newRow("pass 2 weighs the rest")
            << 2 << 300 << true << line.arg("00:01:30.50") << 10.0 << 1 << "90.5"
            << "Conv 00:05:00 (remains <1 mins, 47.65%)";
        QTest::newRow("negative start time")
            << 0 << 300 << true << line.arg("-577014:32:22.77") << 1.0 << 1 << "-2077248457.23"
            << "Conv 00:05:00 (remains -- mins, 0%)";
        // 150 s remain: 2.5 minutes go to the even 2.
        QTest::newRow("half a minute down to even")
            << 0 << 300 << true << line.arg("00:02:30.00") << 150.0 << 1 << "150"
            << "Conv 00:05:00 (remains 2 mins, 50%)";
    }

    void readChunk()
    {
        QFETCH(int, pass);
        QFETCH(int, duration);
        QFETCH(bool, parse);
        QFETCH(QString, chunk);
        QFETCH(double, elapsed);
        QFETCH(int, errorCode);
        QFETCH(QString, lastTime);
        QFETCH(QString, label);
        ExecContext context;
        context.progressCaption = "Conv";
        context.durationText = "00:05:00";
        context.durationSeconds = duration;
        context.pass = qint16(pass);
        context.parseProgress = parse;
        context.remainingMinutes = "--";
        const ChunkVerdict verdict = ExecRunner::readChunk(context, chunk, elapsed);
        QCOMPARE(context.errorCode, errorCode);
        QCOMPARE(verdict.failed, errorCode != 1);
        QCOMPARE(context.lastTime, lastTime);
        QCOMPARE(verdict.label, label);
    }

    void keptOutput()
    {
        QString kept;
        ExecRunner::appendKeptOutput(kept,
                                     u"Input #0\nframe=  1 fps=0 time=00:00:00.04 \rframe=  2 fps=0 time=0");
        ExecRunner::appendKeptOutput(kept, u"0:00:00.08 \r");
        const QStringList lines = kept.split(QRegularExpression("[\r\n]+"), Qt::SkipEmptyParts);
        QCOMPARE(lines, QStringList({"Input #0", "frame=  1 fps=0 time=00:00:00.04 ",
                                     "frame=  2 fps=0 time=00:00:00.08 "}));

        // Earlier output is bounded; the newest chunk is kept whole.
        kept = QString(5000, u'a');
        const QString chunk = QString(6000, u'b');
        ExecRunner::appendKeptOutput(kept, chunk);
        QCOMPARE(kept.size(), 4096 + 6000);
        QVERIFY(kept.startsWith(QString(4096, u'a')));
    }

    void encoderCommand()
    {
        VideoConversion::EncodeJob job{"/opt/clipferry/ffmpeg",
                                       "/media/in put.mpg",
                                       "/tmp/w/video.mp4",
                                       720,
                                       540,
                                       "586k",
                                       "64k",
                                       35 * 60,
                                       1};
        QCOMPARE(
            VideoConversion::encoderCommand(job, 1, true),
            QString("/opt/clipferry/ffmpeg -y -deinterlace -i \"/media/in put.mpg\" -map_chapters -1 "
                    "-acodec libfaac -ac 2 -b:a 64k -ar 44100 -vcodec libx264 -pix_fmt yuv420p -threads 1 "
                    "-vsync 1 -s 720x600 -aspect 720:540 -b:v 586k -r 30 -g 90 -level 30 -coder 1 "
                    "-flags +loop -partitions +parti4x4+parti8x8+partp8x8+partb8x8 -me_method umh -subq 7 "
                    "-me_range 16 -i_qfactor 0.71 -b_strategy 2 -qcomp 0.6 -qmin 10 -qmax 51 -qdiff 4 -bf 1 "
                    "-refs 1 -trellis 2 -wpredp 2 -pass 1 -passlogfile /tmp/w/log \"/tmp/w/video.mp4\""));
        job.width = 1920;
        job.height = 1080;
        const QString pass2 = VideoConversion::encoderCommand(job, 2, false);
        QVERIFY(pass2.startsWith("/opt/clipferry/ffmpeg -y -i "));
        QVERIFY(pass2.contains(" -s 1920x1080 -aspect 1920:1080 "));
        QVERIFY(pass2.contains(" -wpredp 2 -pass 2 -passlogfile /tmp/w/log "));
        job.ffmpeg = "/opt/clip ferry/ffmpeg";
        job.destination = "/tmp/a b/video.mp4";
        const QString blanks = VideoConversion::encoderCommand(job, 1, false);
        QVERIFY(blanks.startsWith("\"/opt/clip ferry/ffmpeg\" -y -i "));
        QVERIFY(blanks.endsWith(" -passlogfile \"/tmp/a b/log\" \"/tmp/a b/video.mp4\""));
        QCOMPARE(commandSpec(blanks).program, QString("/opt/clip ferry/ffmpeg"));
    }

    void adaptation_data()
    {
        QTest::addColumn<QString>("help");
        QTest::addColumn<QString>("encoders");
        QTest::addColumn<QString>("expected");
        const QString help = "-y  overwrite\n-map_chapters  x\n-acodec  x\n-vsync  x\n  -b  <int>\n-s  x\n"
                             "  -me_method  <int>\n-vf  x\n";
        const QString encoders = " A..... aac                  AAC\n";
        const QString command = "ffmpeg -y -deinterlace -i \"/a b/in.mpg\" -map_chapters -1 -acodec libfaac "
                                "-b:a 64k -vsync 1 -s 320x240 -me_method umh -wpredp 2 \"/w/video.mp4\"";
        QTest::newRow("old options replaced") << help << encoders
                                              << "ffmpeg -y -i \"/a b/in.mpg\" -vf yadif -map_chapters -1 "
                                                 "-acodec aac -b:a 64k -vsync 1 -s 320x240 "
                                                 "-me_method umh \"/w/video.mp4\"";
        QTest::newRow("known options kept") << help + "-deinterlace x\n  -wpredp  <string>\n"
                                            << encoders + " A..... libfaac  FAAC\n"
                                            << command;
        QTest::newRow("newer names")
            << "-y x\n-map_chapters x\n-acodec x\n-fps_mode x\n  -b <int>\n-s x\n  -motion-est  <int>\n"
               "  -weightp  <int>\n-deinterlace x\n"
            << encoders
            << "ffmpeg -y -deinterlace -i \"/a b/in.mpg\" -map_chapters -1 -acodec aac -b:a 64k -fps_mode "
               "cfr "
               "-s 320x240 -motion-est umh -weightp 2 \"/w/video.mp4\"";
        QTest::newRow("no answer, no change") << ""
                                              << "" << command;
    }

    void adaptation()
    {
        QFETCH(QString, help);
        QFETCH(QString, encoders);
        QFETCH(QString, expected);
        const FfmpegCapabilities caps =
            FfmpegCapabilities::parse(help, encoders, " TS. yadif   V->V  Deinterlace\n");
        const QString command = "ffmpeg -y -deinterlace -i \"/a b/in.mpg\" -map_chapters -1 -acodec libfaac "
                                "-b:a 64k -vsync 1 -s 320x240 -me_method umh -wpredp 2 \"/w/video.mp4\"";
        QCOMPARE(caps.adapt(command), expected);
    }

    void installedFfmpegAdaptation()
    {
        RecordingView view;
        ExecRunner runner(m_processes, m_options, view, m_messages);
        const FfmpegCapabilities caps = QCoro::waitFor(FfmpegCapabilities::query(runner, "ffmpeg"));
        QVERIFY(caps.known());
        QVERIFY(caps.encoders.contains("libx264"));
        QVERIFY(caps.filters.contains("yadif"));
        VideoConversion::EncodeJob job{"ffmpeg", "in.mpg", "/w/video.mp4", 320, 240, "586k", "64k", 60, 2};
        const QString adapted = caps.adapt(VideoConversion::encoderCommand(job, 1, true));
        QVERIFY2(adapted.startsWith("ffmpeg -y -i \"in.mpg\" -vf yadif -map_chapters -1"),
                 qPrintable(adapted));
        QCOMPARE(adapted.contains("libfaac"), !caps.encoders.contains("aac"));
    }

    void resolveProgram_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("fileName");
        QTest::newRow("MP4Box") << "MP4Box"
                                << "clipferry-mp4box";
        QTest::newRow("MP4Box.exe") << "MP4Box.exe"
                                    << "clipferry-mp4box";
        QTest::newRow("mp4GetKeyFrame") << "mp4GetKeyFrame"
                                        << "clipferry-keyframes";
        QTest::newRow("ffmpeg in a folder without it") << "/nowhere/ffmpeg"
                                                       << "ffmpeg";
        QTest::newRow("absent") << "clipferry-absent-tool"
                                << "";
    }

    void resolveProgram()
    {
        QFETCH(QString, name);
        QFETCH(QString, fileName);
        const QString program = ToolLocator::resolve(name);
        QCOMPARE(program.isEmpty() ? QString() : QFileInfo(program).fileName(), fileName);
    }

    void captureFailures_data()
    {
        QTest::addColumn<QString>("script");
        QTest::addColumn<int>("errorCode");
        const QString progress = "printf 'frame=  1 fps=0.0 size=0kB time=%s bitrate=N/A\\r' ";
        QTest::newRow("decode error early is killed")
            << progress + "00:00:01.00; echo; echo 'Error while decoding stream #0:0'; exec sleep 30" << -3;
        QTest::newRow("resampling is killed")
            << "echo 'Resampling with input channels greater than 2 unsupported.'; exec sleep 30" << -8;
        QTest::newRow("malformed time is killed") << progress + "12.5; exec sleep 30" << -2;
        QTest::newRow("decode error at the end is ignored")
            << progress + "00:00:09.00; echo; echo 'Error while decoding stream #0:0'" << 1;
    }

    void captureFailures()
    {
        QFETCH(QString, script);
        QFETCH(int, errorCode);
        writeFakeTool("misbehaving", "echo $$ > \"" + m_dir.filePath("pid") + "\"\n" + script);
        useFakeTools();
        RecordingView view;
        ExecRunner runner(m_processes, m_options, view, m_messages);
        runner.context.durationSeconds = 10;
        runner.context.parseProgress = true;
        runner.context.errorCode = 1;
        QCoro::waitFor(runner.ExecCapture("misbehaving -i \"x\"", false, {}));
        QCOMPARE(runner.context.errorCode, errorCode);
        QFile pidFile(m_dir.filePath("pid"));
        QVERIFY(pidFile.open(QIODevice::ReadOnly));
        QVERIFY(!processAlive(pidFile.readAll().trimmed().toLongLong()));
    }

    void stopKillsCapture()
    {
        writeFakeTool("endless",
                      "echo $$ > \"" + m_dir.filePath("pid") + "\"\necho 'frame=  1'\nexec sleep 30");
        useFakeTools();
        StopSource stop;
        RecordingView view;
        view.onOutput = [&stop](const QString &) { stop.requestStop(); };
        ExecRunner runner(m_processes, m_options, view, m_messages);
        const ProcessResult result = QCoro::waitFor(runner.ExecCapture("endless", false, stop.token()));
        QCOMPARE(result.outcome, ProcessOutcome::Stopped);
        QVERIFY(view.output.contains("frame=  1"));
        QFile pidFile(m_dir.filePath("pid"));
        QVERIFY(pidFile.open(QIODevice::ReadOnly));
        QVERIFY(!processAlive(pidFile.readAll().trimmed().toLongLong()));
    }

    void dosOutputKeepsTheFirstChunks()
    {
        const QString work = freshFolder("dos");
        writeFakeTool("chatty",
                      "i=0; while [ $i -lt 2000 ]; do echo \"line $i of the chatty tool's output\"; "
                      "i=$((i+1)); done");
        useFakeTools();
        RecordingView view;
        ExecRunner runner(m_processes, m_options, view, m_messages);
        runner.context.workFolder = work;
        QCoro::waitFor(runner.ExecCapture("chatty", true, {}));
        QFile dos(QDir(work).filePath("DosOutput.txt"));
        QVERIFY(dos.open(QIODevice::ReadOnly));
        const QByteArray saved = dos.readAll();
        QVERIFY(!saved.isEmpty());
        QVERIFY(saved.size() <= 10 * 4096);
        QVERIFY(saved.startsWith("line 0 of"));
        QVERIFY(!saved.contains("line 1999 of"));
        QVERIFY(view.output.endsWith("line 1999 of the chatty tool's output\n"));
        QVERIFY(view.output.size() <= 2 * 4096);
    }

    void missingProgramIsReported()
    {
        auto log = m_messages.record();
        RecordingView view;
        ExecRunner runner(m_processes, m_options, view, m_messages);
        const ProcessResult result =
            QCoro::waitFor(runner.ExecCapture("clipferry-absent-tool -i x", false, {}));
        QCOMPARE(result.outcome, ProcessOutcome::FailedToStart);
        QVERIFY(result.errorText().contains("clipferry-absent-tool"));
        QCOMPARE(log->messages.size(), 1);
        QCOMPARE(log->messages.first().text, QString("CreateProcess failed"));
        QCOMPARE(log->messages.first().title, QString("Message"));
    }

    void convertMp4Interlaced()
    {
        const QString work = freshFolder("mp4");
        RecordingView view;
        ExecRunner runner(m_processes, m_options, view, m_messages);
        VideoConversion conversion(runner, m_options, view, m_language);
        QSignalSpy began(&conversion, &VideoConversion::conversionStarted);
        QSignalSpy ended(&conversion, &VideoConversion::conversionEnded);
        EntryJob job{videoEntry(m_interlaced, 320, 240), work, {}};
        job.entry.bInterlaced = true;
        QVERIFY(QCoro::waitFor(conversion.PrepareVideo(job)).ok());
        QCOMPARE(began.size(), 1);
        QCOMPARE(ended.size(), 1);

        const QString video = QDir(work).filePath("video.mp4");
        QCOMPARE(probe(video, "stream=codec_name,width,height,r_frame_rate"),
                 QString("h264\n320\n240\n30/1"));
        QCOMPARE(probe(video, "stream=codec_name,sample_rate,channels", "a:0"), QString("aac\n44100\n2"));
        QCOMPARE(probe(QDir(work).filePath("video.jpg"), "stream=width,height"), QString("320\n240"));
        QCOMPARE(probe(QDir(work).filePath("thumb.jpg"), "stream=width,height"), QString("160\n120"));
        QCOMPARE(QDir(work).entryList(QDir::Files),
                 QStringList({"fileList.xml", "thumb.jpg", "video.jpg", "video.mp4", "video.xml"}));

        pugi::xml_document keyframes;
        QVERIFY(Xml::parseFile(keyframes, QDir(work).filePath("video.xml")));
        const pugi::xml_node flv = keyframes.document_element().child("flv");
        QCOMPARE(Xml::toQ(flv.child_value("width")), QString("320"));
        QCOMPARE(Xml::toQ(flv.child_value("duration")), QString("3"));
        const auto values = flv.child("keyframes").child("times").select_nodes("value");
        QCOMPARE(int(values.size()), keyFrameCount(video));
        QCOMPARE(Xml::toQ(values.first().node().attribute("id").value()), QString("0"));

        pugi::xml_document fileList;
        QVERIFY(Xml::parseFile(fileList, QDir(work).filePath("fileList.xml")));
        const pugi::xml_node item = fileList.document_element().child("video").child("item");
        QCOMPARE(Xml::toQ(item.child_value("fileName")), QString("video.mp4"));
        QCOMPARE(Xml::toQ(item.child_value("caption")), QString("Normal"));
        QCOMPARE(Xml::toQ(item.child_value("height")), QString("240"));

        // The deinterlace option became the yadif filter, and pass 2 followed pass 1.
        const QStringList started = runner.startedCommands().filter("-pass");
        QCOMPARE(started.size(), 2);
        QVERIFY(started[0].contains("-vf yadif") && started[0].contains("-pass 1"));
        QVERIFY(started[1].contains("-pass 2"));
        QVERIFY(view.labels.last().endsWith(" done."));
        QVERIFY(view.labels.filter(QRegularExpression("\\(remains .* mins, [0-9.]+%\\)$")).size() > 0);
    }

    void convertVariants_data()
    {
        QTest::addColumn<QString>("container");
        QTest::addColumn<QString>("postfix");
        QTest::addColumn<int>("cvtType");
        QTest::addColumn<bool>("uploadSource");
        QTest::addColumn<bool>("tmpName");
        QTest::addColumn<QStringList>("files");
        QTest::newRow("postfix, source copy, tmp name")
            << "mp4"
            << "hd" << 0 << true << true
            << QStringList(
                   {"fileList.xml", "src.mkv", "thumb.jpg", "tmp.mp4", "video_hd.jpg", "video_hd.xml"});
        QTest::newRow("flv with yamdi") << "flv"
                                        << "hd" << 0 << false << false
                                        << QStringList({"thumb.jpg", "video.flv", "video.jpg", "video.xml"});
        QTest::newRow("no conversion")
            << "mp4"
            << "" << 2 << false << false
            << QStringList({"fileList.xml", "thumb.jpg", "video.jpg", "video.mp4", "video.xml"});
    }

    void convertVariants()
    {
        QFETCH(QString, container);
        QFETCH(QString, postfix);
        QFETCH(int, cvtType);
        QFETCH(bool, uploadSource);
        QFETCH(bool, tmpName);
        QFETCH(QStringList, files);
        // A blank in the work folder must not split a command line.
        const QString work = freshFolder("variant work");
        // An unconverted copy keeps the source's own container.
        const QString source = cvtType == 2 ? m_interlaced : m_mkv;
        RecordingView view;
        ExecRunner runner(m_processes, m_options, view, m_messages);
        VideoConversion conversion(runner, m_options, view, m_language);
        EntryJob job{videoEntry(source, 320, 240), work, {}};
        job.entry.dstPostfix = postfix;
        job.entry.dstCvtType = cvtType;
        job.entry.useTmpName = tmpName;
        job.videoType = container;
        job.uploadSource = uploadSource;
        const PrepareResult result = QCoro::waitFor(conversion.PrepareVideo(job));
        QVERIFY2(result.ok(), qPrintable(result.text()));
        QCOMPARE(QDir(work).entryList(QDir::Files), files);
        QCOMPARE(runner.startedCommands().filter("-pass").isEmpty(), cvtType == 2);
        if (container == "flv") {
            QFile flv(QDir(work).filePath("video.flv"));
            QVERIFY(flv.open(QIODevice::ReadOnly));
            const QByteArray head = flv.read(64 * 1024);
            QVERIFY(head.contains("onMetaData"));
            QVERIFY(head.contains("keyframes"));
            QVERIFY(head.contains("filepositions"));
            pugi::xml_document xml;
            QVERIFY(Xml::parseFile(xml, QDir(work).filePath("video.xml")));
            const pugi::xml_node node = xml.document_element().child("flv");
            QCOMPARE(Xml::toQ(node.first_attribute().value()), QString());
            QCOMPARE(Xml::toQ(node.child_value("width")), QString("320"));
            QCOMPARE(Xml::toQ(node.child_value("height")), QString("240"));
        }
    }

    void stopDuringFirstPass()
    {
        const QString work = freshFolder("stopped");
        RecordingView view;
        ExecRunner runner(m_processes, m_options, view, m_messages);
        VideoConversion conversion(runner, m_options, view, m_language);
        StopSource stop;
        const EntryJob job{videoEntry(m_interlaced, 640, 480), work, stop.token()};
        QCoro::waitFor(conversion.ensureCapabilities());
        // Stop is pressed as soon as the encoder says anything.
        view.onOutput = [&stop](const QString &) { stop.requestStop(); };
        QCoro::waitFor(conversion.PrepareVideo(job));
        const QStringList started = runner.startedCommands().filter("ffmpeg");
        QCOMPARE(started.filter("-pass").size(), 1);
        QVERIFY(started.filter("-pass").first().contains("-pass 1"));
        QVERIFY(runner.startedCommands().filter("MP4Box").isEmpty());
        // The killed encoder is gone, not left running in the background.
        QVERIFY(processesMentioning(work).isEmpty());
        QVERIFY(!QFileInfo::exists(QDir(work).filePath("DosOutput.txt")));
        QVERIFY(!QFileInfo::exists(QDir(work).filePath("log-0.log")));
    }

    void encoderWithoutOutputFails_data()
    {
        QTest::addColumn<QString>("script");
        QTest::addColumn<int>("result");
        QTest::newRow("no destination") << "echo 'frame=  1 time=00:00:01.00 bitrate=1'" << -2;
        QTest::newRow("decode error")
            << "printf 'time=00:00:00.50 x\\nError while decoding stream #0:1\\n'" << -3;
    }

    void encoderWithoutOutputFails()
    {
        QFETCH(QString, script);
        QFETCH(int, result);
        writeFakeTool("ffmpeg", script);
        useFakeTools();
        const QString work = freshFolder("fails");
        RecordingView view;
        ExecRunner runner(m_processes, m_options, view, m_messages);
        VideoConversion conversion(runner, m_options, view, m_language);
        const EntryJob job{videoEntry(m_mkv, 320, 240), work, {}};
        QCOMPARE(static_cast<int>(QCoro::waitFor(conversion.PrepareVideo(job)).failure), result);
        QVERIFY(!QFileInfo::exists(QDir(work).filePath("DosOutput.txt")));
    }

    // An ffmpeg that cannot open the input with the deinterlace option runs
    // both passes again without it.
    void deinterlaceRetry()
    {
        writeFakeTool("ffmpeg",
                      "case \"$*\" in *-deinterlace*) echo 'Error while opening file x'; exit 1;; esac\n"
                      "for last; do :; done; : > \"$last\"");
        useFakeTools();
        const QString work = freshFolder("retry");
        RecordingView view;
        ExecRunner runner(m_processes, m_options, view, m_messages);
        VideoConversion conversion(runner, m_options, view, m_language);
        EntryJob job{videoEntry(m_mkv, 320, 240), work, {}};
        job.entry.bInterlaced = true;
        // The empty "video" cannot be interlaced by MP4Box.
        QCOMPARE(QCoro::waitFor(conversion.PrepareVideo(job)).failure, PrepareFailure::Interleave);
        const QStringList passes = runner.startedCommands().filter("-pass ");
        QCOMPARE(passes.size(), 3);
        QVERIFY(passes[0].contains("-deinterlace") && passes[0].contains("-pass 1"));
        QVERIFY(!passes[1].contains("-deinterlace") && passes[1].contains("-pass 1"));
        QVERIFY(!passes[2].contains("-deinterlace") && passes[2].contains("-pass 2"));
    }

    // The probing form: whole output back, plain seconds as the progress.
    void captureOutputForProbing()
    {
        writeFakeTool("prober", "printf 'Duration: 00:00:04.00\\nsize=1kB time=3.0 bitrate=1\\n'");
        useFakeTools();
        RecordingView view;
        ExecRunner runner(m_processes, m_options, view, m_messages);
        const ProcessResult output = QCoro::waitFor(runner.captureOutput("prober \"a file\"", 4));
        QCOMPARE(output.output, QByteArray("Duration: 00:00:04.00\nsize=1kB time=3.0 bitrate=1\n"));
        QCOMPARE(view.progress, 75);
        QCOMPARE(QCoro::waitFor(runner.captureOutput("clipferry-absent-tool")).outcome,
                 ProcessOutcome::FailedToStart);
    }

    void keyframeListStopsAtEmptyLine()
    {
        const QString work = freshFolder("keys");
        const QString xml = QDir(work).filePath("video.xml");
        const QString list = QDir(work).filePath("keyframe.txt");
        QVERIFY(QFile::copy(QDir(QCoreApplication::applicationDirPath()).filePath("default_video.xml"), xml));
        QFile file(list);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(" 0 \n2.5\n\n7\n");
        file.close();
        CVideoItem entry = videoEntry(m_mkv, 1280, 720);
        entry.duration = "00:02:05";
        QVERIFY(VideoConversion::WriteKeyframeXml(entry, xml, list).ok());
        pugi::xml_document doc;
        QVERIFY(Xml::parseFile(doc, xml));
        const pugi::xml_node flv = doc.document_element().child("flv");
        QCOMPARE(Xml::toQ(flv.child_value("duration")), QString("125"));
        QCOMPARE(Xml::toQ(flv.child_value("height")), QString("720"));
        const auto values = flv.child("keyframes").child("times").select_nodes("value");
        QCOMPARE(int(values.size()), 2);
        QCOMPARE(Xml::toQ(values[1].node().attribute("id").value()), QString("1"));
        QCOMPARE(Xml::toQ(values[1].node().child_value()), QString("2.5"));
        QFile saved(xml);
        QVERIFY(saved.open(QIODevice::ReadOnly));
        QVERIFY(saved.readAll().contains("</value>\r\n<value id=\"1\">"));
    }
};

int runPipelineTests(int argc, char *argv[])
{
    TestPipeline tests;
    return QTest::qExec(&tests, argc, argv);
}
#include "test_pipeline.moc"
