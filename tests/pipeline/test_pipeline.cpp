// Converting: the encoder's command and its adaptation to the installed
// ffmpeg, reading its output, misbehaving tools, and real conversions.

#include "common/XmlUtil.h"
#include "pipeline/ExecRunner.h"
#include "pipeline/FfmpegCapabilities.h"
#include "pipeline/SampleMedia.h"
#include "pipeline/VideoConversion.h"
#include "support/Rig.h"

#include <QCoreApplication>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {

// What ffprobe says of `entries` in `stream`, a value a line.
QString probe(const QString &file, const QString &entries, const QString &stream = u"v:0"_s)
{
    return runProgram(u"ffprobe"_s, {u"-v"_s, u"error"_s, u"-select_streams"_s, stream, u"-show_entries"_s,
                                     entries, u"-of"_s, u"default=noprint_wrappers=1:nokey=1"_s, file})
        .output.trimmed();
}

// A conversion with what it works with, shown in a view of its own.
struct Converter
{
    Converter(Session &session, const RunOptions &options)
        : runner(session.processes(), options, view, session.messages()),
          conversion(runner, options, view, session.language())
    {}
    RecordingView view;
    ExecRunner runner;
    VideoConversion conversion;
};

} // namespace

class TestPipeline : public QObject
{
    Q_OBJECT

    Rig m_rig;
    QTemporaryDir m_dir;
    QString m_interlaced; // 640x480, interlaced, 3 s
    QString m_mkv;        // 320x240, 3 s
    RunOptions m_options{false, 2};
    QByteArray m_tools; // CLIPFERRY_TOOLS as the test started

    QString fakeToolDir() const { return m_dir.filePath(u"fake"_s); }

    // A misbehaving tool: a shell script found before the real one until the test ends.
    void fakeTool(const QString &name, const QString &body)
    {
        QDir().mkpath(fakeToolDir());
        const QString path = QDir(fakeToolDir()).filePath(name);
        writeFile(path, ("#!/bin/sh\n" + body + "\n").toUtf8());
        QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        qputenv("CLIPFERRY_TOOLS", (fakeToolDir() + ':').toUtf8() + m_tools);
    }
    qint64 fakePid() const { return readFile(m_dir.filePath(u"pid"_s)).trimmed().toLongLong(); }

    QString freshFolder(const QString &name)
    {
        const QString path = m_dir.filePath(name);
        QDir(path).removeRecursively();
        QDir().mkpath(path);
        return path;
    }

    static EntryJob videoJob(const QString &path, int width, int height, const QString &work)
    {
        EntryJob job{{}, work, {}};
        job.entry.path = path;
        job.entry.fileName = QFileInfo(path).fileName();
        job.entry.duration = u"00:00:03"_s;
        job.entry.secDuration = 3;
        job.entry.videoWidth = width;
        job.entry.videoHeight = height;
        job.entry.vBitRate = u"300k"_s;
        job.entry.aBitRate = u"64k"_s;
        return job;
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        m_tools = qgetenv("CLIPFERRY_TOOLS");
        SampleVideo interlaced;
        interlaced.output = m_interlaced = m_dir.filePath(u"interlaced.mp4"_s);
        interlaced.width = 640;
        interlaced.height = 480;
        interlaced.interlaced = true;
        QCOMPARE(QCoro::waitFor(interlaced.make(testProcesses())), QString());
        SampleVideo small;
        small.output = m_mkv = m_dir.filePath(u"small.mkv"_s);
        QCOMPARE(QCoro::waitFor(small.make(testProcesses())), QString());
        QCOMPARE(probe(m_interlaced, u"stream=field_order"_s), u"tt"_s);
    }

    void cleanup()
    {
        qputenv("CLIPFERRY_TOOLS", m_tools);
        QDir(fakeToolDir()).removeRecursively();
    }

    // A five-minute source at 90.5 s: pass 1 weighs a quarter, pass 2 the rest.
    void readChunk_data()
    {
        QTest::addColumn<int>("pass");
        QTest::addColumn<QString>("time");
        QTest::addColumn<double>("elapsed");
        QTest::addColumn<QString>("lastTime");
        QTest::addColumn<QString>("label");
        QTest::newRow("pass 1") << 1 << u"00:01:30.50"_s << 10.0 << u"90.5"_s
                                << u"Conv 00:05:00 (remains 2 mins, 7.55%)"_s;
        QTest::newRow("pass 2") << 2 << u"00:01:30.50"_s << 10.0 << u"90.5"_s
                                << u"Conv 00:05:00 (remains <1 mins, 47.65%)"_s;
        QTest::newRow("negative start time") << 0 << u"-577014:32:22.77"_s << 1.0 << u"-2077248457.23"_s
                                             << u"Conv 00:05:00 (remains -- mins, 0%)"_s;
        // 150 s remain: 2.5 minutes go to the even 2.
        QTest::newRow("half a minute down to even")
            << 0 << u"00:02:30.00"_s << 150.0 << u"150"_s << u"Conv 00:05:00 (remains 2 mins, 50%)"_s;
    }
    void readChunk()
    {
        QFETCH(int, pass);
        QFETCH(QString, time);
        QFETCH(double, elapsed);
        QFETCH(QString, lastTime);
        QFETCH(QString, label);
        ExecContext context;
        context.progressCaption = u"Conv"_s;
        context.durationText = u"00:05:00"_s;
        context.durationSeconds = 300;
        context.pass = qint16(pass);
        context.parseProgress = true;
        context.remainingMinutes = u"--"_s;
        const QString chunk = u"frame=  10 fps=0.0 q=0.0 size=0kB time=%1 bitrate=N/A speed=1x\r"_s.arg(time);
        const ChunkVerdict verdict = ExecRunner::readChunk(context, chunk, elapsed);
        QCOMPARE(context.errorCode, 1);
        QVERIFY(!verdict.failed);
        QCOMPARE(context.lastTime, lastTime);
        QCOMPARE(verdict.label, label);
    }

    // Earlier output is bounded; the newest chunk is kept whole.
    void keptOutput()
    {
        QString kept(5000, u'a');
        ExecRunner::appendKeptOutput(kept, QString(6000, u'b'));
        QCOMPARE(kept, QString(4096, u'a') + QString(6000, u'b'));
    }

    void encoderCommand()
    {
        VideoConversion::EncodeJob job{u"/opt/clipferry/ffmpeg"_s,
                                       u"/media/in put.mpg"_s,
                                       u"/tmp/w/video.mp4"_s,
                                       720,
                                       540,
                                       u"586k"_s,
                                       u"64k"_s,
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
        QVERIFY(pass2.startsWith(u"/opt/clipferry/ffmpeg -y -i "_s));
        QVERIFY(pass2.contains(u" -s 1920x1080 -aspect 1920:1080 "_s));
        QVERIFY(pass2.contains(u" -wpredp 2 -pass 2 -passlogfile /tmp/w/log "_s));
        job.ffmpeg = u"/opt/clip ferry/ffmpeg"_s;
        job.destination = u"/tmp/a b/video.mp4"_s;
        const QString blanks = VideoConversion::encoderCommand(job, 1, false);
        QVERIFY(blanks.startsWith(u"\"/opt/clip ferry/ffmpeg\" -y -i "_s));
        QVERIFY(blanks.endsWith(u" -passlogfile \"/tmp/a b/log\" \"/tmp/a b/video.mp4\""_s));
        QCOMPARE(commandSpec(blanks).program, u"/opt/clip ferry/ffmpeg"_s);
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
        QTest::newRow("old options replaced")
            << help << encoders
            << u"ffmpeg -y -i \"/a b/in.mpg\" -vf yadif -map_chapters -1 -acodec aac -b:a 64k -vsync 1 "
               "-s 320x240 -me_method umh \"/w/video.mp4\""_s;
        QTest::newRow("known options kept") << help + "-deinterlace x\n  -wpredp  <string>\n"
                                            << encoders + " A..... libfaac  FAAC\n"
                                            << command;
        QTest::newRow("newer names")
            << u"-y x\n-map_chapters x\n-acodec x\n-fps_mode x\n  -b <int>\n-s x\n  -motion-est  <int>\n"
               "  -weightp  <int>\n-deinterlace x\n"_s
            << encoders
            << u"ffmpeg -y -deinterlace -i \"/a b/in.mpg\" -map_chapters -1 -acodec aac -b:a 64k -fps_mode "
               u"cfr "
               "-s 320x240 -motion-est umh -weightp 2 \"/w/video.mp4\""_s;
        QTest::newRow("no answer, no change") << QString() << QString() << command;
    }
    void adaptation()
    {
        QFETCH(QString, help);
        QFETCH(QString, encoders);
        QFETCH(QString, expected);
        const FfmpegCapabilities caps =
            FfmpegCapabilities::parse(help, encoders, " TS. yadif   V->V  Deinterlace\n");
        QCOMPARE(caps.adapt("ffmpeg -y -deinterlace -i \"/a b/in.mpg\" -map_chapters -1 -acodec libfaac "
                            "-b:a 64k -vsync 1 -s 320x240 -me_method umh -wpredp 2 \"/w/video.mp4\""),
                 expected);
    }

    // A failure in the output ends the tool at once; a decode error near the end does not.
    void captureFailures_data()
    {
        QTest::addColumn<QString>("script");
        QTest::addColumn<int>("errorCode");
        const QString progress = "printf 'frame=  1 fps=0.0 size=0kB time=%s bitrate=N/A\\r' ";
        QTest::newRow("decode error early is killed")
            << progress + "00:00:01.00; echo; echo 'Error while decoding stream #0:0'; exec sleep 30" << -3;
        QTest::newRow("resampling is killed")
            << u"echo 'Resampling with input channels greater than 2 unsupported.'; exec sleep 30"_s << -8;
        QTest::newRow("malformed time is killed") << progress + "12.5; exec sleep 30" << -2;
        QTest::newRow("decode error at the end is ignored")
            << progress + "00:00:09.00; echo; echo 'Error while decoding stream #0:0'" << 1;
    }
    void captureFailures()
    {
        QFETCH(QString, script);
        QFETCH(int, errorCode);
        fakeTool(u"misbehaving"_s, "echo $$ > \"" + m_dir.filePath(u"pid"_s) + "\"\n" + script);
        RecordingView view;
        ExecRunner runner(m_rig.session.processes(), m_options, view, m_rig.session.messages());
        runner.context.durationSeconds = 10;
        runner.context.parseProgress = true;
        runner.context.errorCode = 1;
        QCoro::waitFor(runner.ExecCapture(u"misbehaving -i \"x\""_s, false, {}));
        QCOMPARE(runner.context.errorCode, errorCode);
        QVERIFY(!processAlive(fakePid()));
    }

    // DosOutput.txt keeps the first chunks only; the panel, the last ones.
    void dosOutputKeepsTheFirstChunks()
    {
        const QString work = freshFolder(u"dos"_s);
        fakeTool(u"chatty"_s, u"i=0; while [ $i -lt 2000 ]; do echo \"line $i of the chatty tool's output\"; "
                              "i=$((i+1)); done"_s);
        RecordingView view;
        ExecRunner runner(m_rig.session.processes(), m_options, view, m_rig.session.messages());
        runner.context.workFolder = work;
        QCoro::waitFor(runner.ExecCapture(u"chatty"_s, true, {}));
        const QByteArray saved = readFile(QDir(work).filePath(u"DosOutput.txt"_s));
        QVERIFY(saved.size() <= 10 * 4096);
        QVERIFY(saved.startsWith("line 0 of"));
        QVERIFY(!saved.contains("line 1999 of"));
        QVERIFY(view.output.endsWith(u"line 1999 of the chatty tool's output\n"_s));
        QVERIFY(view.output.size() <= 2 * 4096);
    }

    // A tool found nowhere; one named by a path that does not hold it is
    // looked for by its name.
    void missingProgramIsReported()
    {
        const auto log = m_rig.session.messages().record();
        RecordingView view;
        ExecRunner runner(m_rig.session.processes(), m_options, view, m_rig.session.messages());
        const ProcessResult result =
            QCoro::waitFor(runner.ExecCapture(u"clipferry-absent-tool -i x"_s, false, {}));
        QCOMPARE(result.outcome, ProcessOutcome::FailedToStart);
        QVERIFY(result.errorText().contains(u"clipferry-absent-tool"_s));
        QCOMPARE(log->messages.size(), 1);
        QCOMPARE(log->messages.first().text, u"CreateProcess failed"_s);
        QCOMPARE(log->messages.first().title, u"Message"_s);
        QCOMPARE(QFileInfo(ToolLocator::resolve(u"/nowhere/ffmpeg"_s)).fileName(), u"ffmpeg"_s);
    }

    void convertMp4Interlaced()
    {
        const QString work = freshFolder(u"mp4"_s);
        Converter c(m_rig.session, m_options);
        QSignalSpy began(&c.conversion, &VideoConversion::conversionStarted);
        QSignalSpy ended(&c.conversion, &VideoConversion::conversionEnded);
        EntryJob job = videoJob(m_interlaced, 320, 240, work);
        job.entry.bInterlaced = true;
        QVERIFY(QCoro::waitFor(c.conversion.PrepareVideo(job)).ok());
        QCOMPARE(began.size(), 1);
        QCOMPARE(ended.size(), 1);

        const QString video = QDir(work).filePath(u"video.mp4"_s);
        QCOMPARE(probe(video, u"stream=codec_name,width,height,r_frame_rate"_s), u"h264\n320\n240\n30/1"_s);
        QCOMPARE(probe(video, u"stream=codec_name,sample_rate,channels"_s, u"a:0"_s), u"aac\n44100\n2"_s);
        QCOMPARE(probe(QDir(work).filePath(u"video.jpg"_s), u"stream=width,height"_s), u"320\n240"_s);
        QCOMPARE(probe(QDir(work).filePath(u"thumb.jpg"_s), u"stream=width,height"_s), u"160\n120"_s);
        QCOMPARE(QDir(work).entryList(QDir::Files),
                 QStringList({"fileList.xml", "thumb.jpg", "video.jpg", "video.mp4", "video.xml"}));

        pugi::xml_document keyframes;
        QVERIFY(Xml::parseFile(keyframes, QDir(work).filePath(u"video.xml"_s)));
        const pugi::xml_node flv = keyframes.document_element().child("flv");
        QCOMPARE(Xml::toQ(flv.child_value("width")), u"320"_s);
        QCOMPARE(Xml::toQ(flv.child_value("duration")), u"3"_s);
        const auto values = flv.child("keyframes").child("times").select_nodes("value");
        QCOMPARE(values.size(), size_t(probe(video, u"packet=flags"_s).count(u'K')));
        QCOMPARE(Xml::toQ(values.first().node().attribute("id").value()), u"0"_s);

        pugi::xml_document fileList;
        QVERIFY(Xml::parseFile(fileList, QDir(work).filePath(u"fileList.xml"_s)));
        const pugi::xml_node item = fileList.document_element().child("video").child("item");
        QCOMPARE(Xml::toQ(item.child_value("fileName")), u"video.mp4"_s);
        QCOMPARE(Xml::toQ(item.child_value("caption")), u"Normal"_s);
        QCOMPARE(Xml::toQ(item.child_value("height")), u"240"_s);

        // The installed ffmpeg took the deinterlace option as the yadif
        // filter, and pass 2 followed pass 1.
        const QStringList started = c.runner.startedCommands().filter(u"-pass"_s);
        QCOMPARE(started.size(), 2);
        QVERIFY(started[0].contains(u"-vf yadif"_s) && started[0].contains(u"-pass 1"_s));
        QVERIFY(started[1].contains(u"-pass 2"_s));
        QVERIFY(c.view.labels.last().endsWith(u" done."_s));
        QVERIFY(!c.view.labels.filter(QRegularExpression(u"\\(remains .* mins, [0-9.]+%\\)$"_s)).isEmpty());
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
            << u"mp4"_s << u"hd"_s << 0 << true << true
            << QStringList(
                   {"fileList.xml", "src.mkv", "thumb.jpg", "tmp.mp4", "video_hd.jpg", "video_hd.xml"});
        QTest::newRow("flv with yamdi") << u"flv"_s << u"hd"_s << 0 << false << false
                                        << QStringList({"thumb.jpg", "video.flv", "video.jpg", "video.xml"});
        QTest::newRow("no conversion")
            << u"mp4"_s << QString() << 2 << false << false
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
        // A blank in the work folder must not split a command line; an
        // unconverted copy keeps the source's own container.
        const QString work = freshFolder(u"variant work"_s);
        Converter c(m_rig.session, m_options);
        EntryJob job = videoJob(cvtType == 2 ? m_interlaced : m_mkv, 320, 240, work);
        job.entry.dstPostfix = postfix;
        job.entry.dstCvtType = cvtType;
        job.entry.useTmpName = tmpName;
        job.videoType = container;
        job.uploadSource = uploadSource;
        const PrepareResult result = QCoro::waitFor(c.conversion.PrepareVideo(job));
        QVERIFY2(result.ok(), qPrintable(result.text()));
        QCOMPARE(QDir(work).entryList(QDir::Files), files);
        QCOMPARE(c.runner.startedCommands().filter(u"-pass"_s).isEmpty(), cvtType == 2);
        if (container == u"flv") {
            const QByteArray head = readFile(QDir(work).filePath(u"video.flv"_s)).left(64 * 1024);
            QVERIFY(head.contains("onMetaData") && head.contains("keyframes") &&
                    head.contains("filepositions"));
            pugi::xml_document xml;
            QVERIFY(Xml::parseFile(xml, QDir(work).filePath(u"video.xml"_s)));
            const pugi::xml_node node = xml.document_element().child("flv");
            QCOMPARE(Xml::toQ(node.first_attribute().value()), QString());
            QCOMPARE(Xml::toQ(node.child_value("width")), u"320"_s);
            QCOMPARE(Xml::toQ(node.child_value("height")), u"240"_s);
        }
    }

    void encoderWithoutOutputFails_data()
    {
        QTest::addColumn<QString>("script");
        QTest::addColumn<int>("result");
        QTest::newRow("no destination") << u"echo 'frame=  1 time=00:00:01.00 bitrate=1'"_s << -2;
        QTest::newRow("decode error")
            << u"printf 'time=00:00:00.50 x\\nError while decoding stream #0:1\\n'"_s << -3;
    }
    void encoderWithoutOutputFails()
    {
        QFETCH(QString, script);
        QFETCH(int, result);
        fakeTool(u"ffmpeg"_s, script);
        const QString work = freshFolder(u"fails"_s);
        Converter c(m_rig.session, m_options);
        const EntryJob job = videoJob(m_mkv, 320, 240, work);
        QCOMPARE(static_cast<int>(QCoro::waitFor(c.conversion.PrepareVideo(job)).failure), result);
        QVERIFY(!QFileInfo::exists(QDir(work).filePath(u"DosOutput.txt"_s)));
    }

    // An ffmpeg that cannot open the input with the deinterlace option runs
    // both passes again without it.
    void deinterlaceRetry()
    {
        fakeTool(u"ffmpeg"_s,
                 u"case \"$*\" in *-deinterlace*) echo 'Error while opening file x'; exit 1;; esac\n"
                 "for last; do :; done; : > \"$last\""_s);
        Converter c(m_rig.session, m_options);
        EntryJob job = videoJob(m_mkv, 320, 240, freshFolder(u"retry"_s));
        job.entry.bInterlaced = true;
        // The empty "video" cannot be interlaced by MP4Box.
        QCOMPARE(QCoro::waitFor(c.conversion.PrepareVideo(job)).failure, PrepareFailure::Interleave);
        const QStringList passes = c.runner.startedCommands().filter(u"-pass "_s);
        QCOMPARE(passes.size(), 3);
        QVERIFY(passes[0].contains(u"-deinterlace"_s) && passes[0].contains(u"-pass 1"_s));
        QVERIFY(!passes[1].contains(u"-deinterlace"_s) && passes[1].contains(u"-pass 1"_s));
        QVERIFY(!passes[2].contains(u"-deinterlace"_s) && passes[2].contains(u"-pass 2"_s));
    }

    // The probing form: whole output back, plain seconds as the progress.
    void captureOutputForProbing()
    {
        fakeTool(u"prober"_s, u"printf 'Duration: 00:00:04.00\\nsize=1kB time=3.0 bitrate=1\\n'"_s);
        RecordingView view;
        ExecRunner runner(m_rig.session.processes(), m_options, view, m_rig.session.messages());
        const ProcessResult output = QCoro::waitFor(runner.captureOutput(u"prober \"a file\""_s, 4));
        QCOMPARE(output.output, QByteArray("Duration: 00:00:04.00\nsize=1kB time=3.0 bitrate=1\n"));
        QCOMPARE(view.progress, 75);
        QCOMPARE(QCoro::waitFor(runner.captureOutput(u"clipferry-absent-tool"_s)).outcome,
                 ProcessOutcome::FailedToStart);
    }

    void keyframeListStopsAtEmptyLine()
    {
        const QString work = freshFolder(u"keys"_s);
        const QString xml = QDir(work).filePath(u"video.xml"_s);
        const QString list = QDir(work).filePath(u"keyframe.txt"_s);
        QVERIFY(
            QFile::copy(QDir(QCoreApplication::applicationDirPath()).filePath(u"default_video.xml"_s), xml));
        writeFile(list, " 0 \n2.5\n\n7\n");
        CVideoItem entry = videoJob(m_mkv, 1280, 720, work).entry;
        entry.duration = u"00:02:05"_s;
        QVERIFY(VideoConversion::WriteKeyframeXml(entry, xml, list).ok());
        pugi::xml_document doc;
        QVERIFY(Xml::parseFile(doc, xml));
        const pugi::xml_node flv = doc.document_element().child("flv");
        QCOMPARE(Xml::toQ(flv.child_value("duration")), u"125"_s);
        QCOMPARE(Xml::toQ(flv.child_value("height")), u"720"_s);
        const auto values = flv.child("keyframes").child("times").select_nodes("value");
        QCOMPARE(int(values.size()), 2);
        QCOMPARE(Xml::toQ(values[1].node().attribute("id").value()), u"1"_s);
        QCOMPARE(Xml::toQ(values[1].node().child_value()), u"2.5"_s);
        QVERIFY(readFile(xml).contains("</value>\r\n<value id=\"1\">"));
    }
};

int runPipelineTests(int argc, char *argv[])
{
    TestPipeline tests;
    return QTest::qExec(&tests, argc, argv);
}
#include "test_pipeline.moc"
