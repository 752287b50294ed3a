// Converting: the encoder's command and its adaptation to the installed
// ffmpeg, reading its output, misbehaving tools, and real conversions.

#include "pipeline/ExecRunner.h"
#include "pipeline/FfmpegCapabilities.h"
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
        writeScript(QDir(fakeToolDir()).filePath(name), body.toUtf8());
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
        m_interlaced = m_dir.filePath(u"interlaced.mp4"_s);
        QCOMPARE(makeVideo(m_interlaced, 3, {640, 480}, 25, true), QString());
        m_mkv = m_dir.filePath(u"small.mkv"_s);
        QCOMPARE(makeVideo(m_mkv, 3), QString());
        QCOMPARE(probe(m_interlaced, u"stream=field_order"_s), u"tt"_s);
    }

    void cleanup()
    {
        qputenv("CLIPFERRY_TOOLS", m_tools);
        QDir(fakeToolDir()).removeRecursively();
    }

    // A five-minute source at 90.5 s: pass 1 weighs a quarter, pass 2 the rest.
    void readChunk()
    {
        const struct
        {
            qint16 pass;
            QString time;
            double elapsed;
            QString lastTime, label;
        } cases[] = {
            {1, u"00:01:30.50"_s, 10, u"90.5"_s, u"Conv 00:05:00 (remains 2 mins, 7.55%)"_s},
            {2, u"00:01:30.50"_s, 10, u"90.5"_s, u"Conv 00:05:00 (remains <1 mins, 47.65%)"_s},
            {0, u"-577014:32:22.77"_s, 1, u"-2077248457.23"_s, u"Conv 00:05:00 (remains -- mins, 0%)"_s},
            // 150 s remain: 2.5 minutes go to the even 2.
            {0, u"00:02:30.00"_s, 150, u"150"_s, u"Conv 00:05:00 (remains 2 mins, 50%)"_s},
        };
        for (const auto &c : cases) {
            ExecContext context;
            context.progressCaption = u"Conv"_s;
            context.durationText = u"00:05:00"_s;
            context.durationSeconds = 300;
            context.pass = c.pass;
            context.parseProgress = true;
            context.remainingMinutes = u"--"_s;
            const QString chunk =
                u"frame=  10 fps=0.0 q=0.0 size=0kB time=%1 bitrate=N/A speed=1x\r"_s.arg(c.time);
            const ChunkVerdict verdict = ExecRunner::readChunk(context, chunk, c.elapsed);
            // The row's pass and time lead both lists, so a failure names it.
            QCOMPARE((QStringList{QString::number(c.pass), c.time, QString::number(context.errorCode),
                                  QString::number(verdict.failed), context.lastTime, verdict.label}),
                     (QStringList{QString::number(c.pass), c.time, u"1"_s, u"0"_s, c.lastTime, c.label}));
        }
    }

    // Earlier output is bounded; the newest chunk is kept whole.
    void keptOutput()
    {
        QString kept(5000, u'a');
        ExecRunner::appendKeptOutput(kept, QString(6000, u'b'));
        QCOMPARE(kept, QString(4096, u'a') + QString(6000, u'b'));
    }

    // The whole first pass, byte for byte; the second pass and blanks in the paths against it.
    void encoderCommand()
    {
        VideoConversion::EncodeJob job{.ffmpeg = u"/opt/clipferry/ffmpeg"_s,
                                       .source = u"/media/in put.mpg"_s,
                                       .destination = u"/tmp/w/video.mp4"_s,
                                       .width = 720,
                                       .height = 540,
                                       .videoBitRate = u"586k"_s,
                                       .audioBitRate = u"64k"_s,
                                       .durationSeconds = 35 * 60};
        const QString pass1 =
            "/opt/clipferry/ffmpeg -y -deinterlace -i \"/media/in put.mpg\" -map_chapters -1 "
            "-acodec libfaac -ac 2 -b:a 64k -ar 44100 -vcodec libx264 -pix_fmt yuv420p -threads 1 "
            "-vsync 1 -s 720x600 -aspect 720:540 -b:v 586k -r 30 -g 90 -level 30 -coder 1 "
            "-flags +loop -partitions +parti4x4+parti8x8+partp8x8+partb8x8 -me_method umh -subq 7 "
            "-me_range 16 -i_qfactor 0.71 -b_strategy 2 -qcomp 0.6 -qmin 10 -qmax 51 -qdiff 4 -bf 1 "
            "-refs 1 -trellis 2 -wpredp 2 -pass 1 -passlogfile /tmp/w/log \"/tmp/w/video.mp4\"";
        QCOMPARE(VideoConversion::encoderCommand(job, 1, true), pass1);
        job.width = 1920;
        job.height = 1080;
        QString pass2 = QString(pass1).remove(u"-deinterlace "_s).replace(u"-pass 1"_s, u"-pass 2"_s);
        QCOMPARE(VideoConversion::encoderCommand(job, 2, false),
                 pass2.replace(u"720x600 -aspect 720:540"_s, u"1920x1080 -aspect 1920:1080"_s));
        job.ffmpeg = u"/opt/clip ferry/ffmpeg"_s;
        job.destination = u"/tmp/a b/video.mp4"_s;
        const QString blanks = VideoConversion::encoderCommand(job, 1, false);
        QVERIFY(blanks.startsWith(u"\"/opt/clip ferry/ffmpeg\" -y -i "_s));
        QVERIFY(blanks.endsWith(u" -passlogfile \"/tmp/a b/log\" \"/tmp/a b/video.mp4\""_s));
        QCOMPARE(commandSpec(blanks).program, u"/opt/clip ferry/ffmpeg"_s);
    }

    // Options the installed ffmpeg lacks become the names it knows; no answer changes nothing.
    void adaptation()
    {
        const QString help = "-y  overwrite\n-map_chapters  x\n-acodec  x\n-vsync  x\n  -b  <int>\n-s  x\n"
                             "  -me_method  <int>\n-vf  x\n";
        const QString encoders = " A..... aac                  AAC\n";
        const QString command = "ffmpeg -y -deinterlace -i \"/a b/in.mpg\" -map_chapters -1 -acodec libfaac "
                                "-b:a 64k -vsync 1 -s 320x240 -me_method umh -wpredp 2 \"/w/video.mp4\"";
        const struct
        {
            QString help, encoders, expected;
        } cases[] = {
            {help, encoders,
             u"ffmpeg -y -i \"/a b/in.mpg\" -vf yadif -map_chapters -1 -acodec aac -b:a 64k -vsync 1 "
             "-s 320x240 -me_method umh \"/w/video.mp4\""_s},
            {help + "-deinterlace x\n  -wpredp  <string>\n", encoders + " A..... libfaac  FAAC\n", command},
            {u"-y x\n-map_chapters x\n-acodec x\n-fps_mode x\n  -b <int>\n-s x\n  -motion-est  <int>\n"
             "  -weightp  <int>\n-deinterlace x\n"_s,
             encoders,
             u"ffmpeg -y -deinterlace -i \"/a b/in.mpg\" -map_chapters -1 -acodec aac -b:a 64k -fps_mode cfr "
             "-s 320x240 -motion-est umh -weightp 2 \"/w/video.mp4\""_s},
            {{}, {}, command},
        };
        for (const auto &c : cases) {
            const FfmpegCapabilities caps =
                FfmpegCapabilities::parse(c.help, c.encoders, " TS. yadif   V->V  Deinterlace\n");
            QCOMPARE(caps.adapt(command), c.expected);
        }
    }

    // A failure in the output ends the tool at once; a decode error near the end does not.
    void captureFailures()
    {
        const QString progress = "printf 'frame=  1 fps=0.0 size=0kB time=%s bitrate=N/A\\r' ";
        const QString decodeError = u"; echo; echo 'Error while decoding stream #0:0'"_s;
        const QList<QPair<QString, int>> cases{
            {progress + "00:00:01.00" + decodeError + "; exec sleep 30", -3},
            {u"echo 'Resampling with input channels greater than 2 unsupported.'; exec sleep 30"_s, -8},
            {progress + "12.5; exec sleep 30", -2},
            {progress + "00:00:09.00" + decodeError, 1},
        };
        for (const auto &[script, errorCode] : cases) {
            fakeTool(u"misbehaving"_s, "echo $$ > \"" + m_dir.filePath(u"pid"_s) + "\"\n" + script);
            Converter c(m_rig.session, m_options);
            c.runner.context.durationSeconds = 10;
            c.runner.context.parseProgress = true;
            QCoro::waitFor(c.runner.ExecCapture(u"misbehaving -i \"x\""_s, false, {}));
            QVERIFY2(c.runner.context.errorCode == errorCode, qPrintable(script));
            QVERIFY2(!processAlive(fakePid()), qPrintable(script));
        }
    }

    // DosOutput.txt keeps the first chunks only; the panel, the last ones.
    void dosOutputKeepsTheFirstChunks()
    {
        const QString work = freshFolder(u"dos"_s);
        fakeTool(u"chatty"_s, u"i=0; while [ $i -lt 2000 ]; do echo \"line $i of the chatty tool's output\"; "
                              "i=$((i+1)); done"_s);
        Converter c(m_rig.session, m_options);
        c.runner.context.workFolder = work;
        QCoro::waitFor(c.runner.ExecCapture(u"chatty"_s, true, {}));
        const QByteArray saved = readFile(QDir(work).filePath(u"DosOutput.txt"_s));
        QVERIFY(saved.size() <= 10 * 4096 && saved.startsWith("line 0 of") &&
                !saved.contains("line 1999 of"));
        QVERIFY(c.view.output.endsWith(u"line 1999 of the chatty tool's output\n"_s));
        QVERIFY(c.view.output.size() <= 2 * 4096);
    }

    // A tool found nowhere; a path that does not hold it is searched by name.
    void missingProgramIsReported()
    {
        const auto log = m_rig.session.messages().record();
        Converter c(m_rig.session, m_options);
        const ProcessResult result =
            QCoro::waitFor(c.runner.ExecCapture(u"clipferry-absent-tool -i x"_s, false, {}));
        QCOMPARE(result.outcome, ProcessOutcome::FailedToStart);
        QVERIFY(result.errorText().contains(u"clipferry-absent-tool"_s));
        QCOMPARE(messageTexts(*log), QStringList{u"CreateProcess failed"_s});
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

        const QString keyframes = QDir(work).filePath(u"video.xml"_s);
        QCOMPARE(xmlTexts(keyframes, {u"flv.width"_s, u"flv.duration"_s}), (QStringList{"320", "3"}));
        const QByteArray times = readFile(keyframes);
        QCOMPARE(times.count("<value id="), probe(video, u"packet=flags"_s).count(u'K'));
        QVERIFY(times.contains("<value id=\"0\">"));
        QCOMPARE(xmlTexts(QDir(work).filePath(u"fileList.xml"_s),
                          {u"video.item.fileName"_s, u"video.item.caption"_s, u"video.item.height"_s}),
                 (QStringList{"video.mp4", "Normal", "240"}));

        // The installed ffmpeg takes -deinterlace as the yadif filter.
        const QStringList started = c.runner.startedCommands().filter(u"-pass"_s);
        QCOMPARE(started.size(), 2);
        QVERIFY(started[0].contains(u"-vf yadif"_s) && started[0].contains(u"-pass 1"_s));
        QVERIFY(started[1].contains(u"-pass 2"_s));
        QVERIFY(c.view.labels.last().endsWith(u" done."_s));
        QVERIFY(!c.view.labels.filter(QRegularExpression(u"\\(remains .* mins, [0-9.]+%\\)$"_s)).isEmpty());
    }

    // A blank in the work folder splits no command; an unconverted copy keeps its container.
    void convertVariants()
    {
        const struct
        {
            QString container, postfix;
            int cvtType;
            bool uploadSource, tmpName;
            QStringList files;
        } cases[] = {
            {u"mp4"_s,
             u"hd"_s,
             0,
             true,
             true,
             {"fileList.xml", "src.mkv", "thumb.jpg", "tmp.mp4", "video_hd.jpg", "video_hd.xml"}},
            {u"flv"_s, u"hd"_s, 0, false, false, {"thumb.jpg", "video.flv", "video.jpg", "video.xml"}},
            {u"mp4"_s,
             {},
             2,
             false,
             false,
             {"fileList.xml", "thumb.jpg", "video.jpg", "video.mp4", "video.xml"}},
        };
        for (const auto &row : cases) {
            const QString work = freshFolder(u"variant work"_s);
            Converter c(m_rig.session, m_options);
            EntryJob job = videoJob(row.cvtType == 2 ? m_interlaced : m_mkv, 320, 240, work);
            job.entry.dstPostfix = row.postfix;
            job.entry.dstCvtType = row.cvtType;
            job.entry.useTmpName = row.tmpName;
            job.videoType = row.container;
            job.uploadSource = row.uploadSource;
            const PrepareResult result = QCoro::waitFor(c.conversion.PrepareVideo(job));
            QVERIFY2(result.ok(), qPrintable(result.text()));
            QCOMPARE(QDir(work).entryList(QDir::Files), row.files);
            QCOMPARE(c.runner.startedCommands().filter(u"-pass"_s).isEmpty(), row.cvtType == 2);
            if (row.container != u"flv")
                continue;
            const QByteArray head = readFile(work + u"/video.flv"_s).left(64 * 1024);
            QVERIFY(head.contains("onMetaData") && head.contains("keyframes") &&
                    head.contains("filepositions"));
            QCOMPARE(xmlTexts(work + u"/video.xml"_s, {u"flv.width"_s, u"flv.height"_s}),
                     (QStringList{"320", "240"}));
            QVERIFY(readFile(work + u"/video.xml"_s).contains("<flv name=\"\">"));
        }
    }

    // A run of the encoder that leaves no video fails the entry, and keeps no DosOutput.txt.
    void encoderWithoutOutputFails()
    {
        const QList<QPair<QString, PrepareFailure>> cases{
            {u"echo 'frame=  1 time=00:00:01.00 bitrate=1'"_s, PrepareFailure::ConvertError},
            {u"printf 'time=00:00:00.50 x\\nError while decoding stream #0:1\\n'"_s,
             PrepareFailure::DecodeStream},
        };
        for (const auto &[script, failure] : cases) {
            fakeTool(u"ffmpeg"_s, script);
            const QString work = freshFolder(u"fails"_s);
            Converter c(m_rig.session, m_options);
            QCOMPARE(QCoro::waitFor(c.conversion.PrepareVideo(videoJob(m_mkv, 320, 240, work))).failure,
                     failure);
            QVERIFY(!QFileInfo::exists(QDir(work).filePath(u"DosOutput.txt"_s)));
        }
    }

    // An ffmpeg refusing -deinterlace runs both passes again without it.
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
        Converter c(m_rig.session, m_options);
        QCOMPARE(QCoro::waitFor(c.runner.captureOutput(u"prober \"a file\""_s, 4)).output,
                 QByteArray("Duration: 00:00:04.00\nsize=1kB time=3.0 bitrate=1\n"));
        QCOMPARE(c.view.progress, 75);
        QCOMPARE(QCoro::waitFor(c.runner.captureOutput(u"clipferry-absent-tool"_s)).outcome,
                 ProcessOutcome::FailedToStart);
    }

    // The keyframe list ends at its first empty line; the file is written whole, byte for byte.
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
        QCOMPARE(readFile(xml), QByteArray("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<fileset>\r\n"
                                           "<flv name=\"video.mp4\">\r\n<hasKeyframes>true</hasKeyframes>\r\n"
                                           "<hasVideo>true</hasVideo>\r\n<hasAudio>true</hasAudio>\r\n"
                                           "<height>720</height>\r\n<width>1280</width>\r\n"
                                           "<duration>125</duration>\r\n<keyframes>\r\n<times>\r\n"
                                           "<value id=\"0\">0</value>\r\n<value id=\"1\">2.5</value>\r\n"
                                           "</times>\r\n</keyframes>\r\n</flv>\r\n</fileset>"));
    }
};

int runPipelineTests(int argc, char *argv[])
{
    TestPipeline tests;
    return QTest::qExec(&tests, argc, argv);
}
#include "test_pipeline.moc"
