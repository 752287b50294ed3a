// Packing and uploading entries, and whole queue runs against the real
// server on loopback with real ffmpeg and zip.

#include "pipeline/EntryWork.h"
#include "pipeline/ExecRunner.h"
#include "pipeline/UploadPackage.h"
#include "support/CuttingProxy.h"
#include "support/Rig.h"

#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

using namespace Qt::StringLiterals;

class TestUpload : public QObject
{
    Q_OBJECT

    const LanguageTable m_language{languageFile()};
    QTemporaryDir m_dir;
    std::unique_ptr<DemoServer> m_server;
    QString m_clip;
    QString m_stored;   // a clip uploaded once, which later runs replace
    QString m_storedId; // and its content

    CVideoItem entryFor(const QString &source, const QString &title)
    {
        CVideoItem item = m_server->entry(source, title);
        item.duration = u"00:00:02.00"_s;
        item.secDuration = 2;
        item.videoWidth = item.srcVideoWidth = 160;
        item.videoHeight = item.srcVideoHeight = 120;
        item.vBitRate = u"200k"_s;
        item.aBitRate = u"64k"_s;
        return item;
    }

    // A fresh copy of the clip with `megabytes` of bulk after it, which slows its upload.
    CVideoItem clip(const QString &name, const QString &title, int megabytes = 0)
    {
        const QString path = m_dir.filePath(name);
        QFile::remove(path);
        QFile::copy(m_clip, path);
        QFile file(path);
        if (megabytes > 0 && file.open(QIODevice::Append))
            file.write(QByteArray(megabytes << 20, 'x'));
        return entryFor(path, title);
    }

    qsizetype contentCount() const { return m_server->contents().size(); }
    QString viaProxy(quint16 port) const { return u"127.0.0.1:%1"_s.arg(port); }
    QString workRecord(Rig &rig, const QString &path) const
    {
        return QDir(EntryWork(rig.queue.workRoot(), path).folder()).filePath(u"state.json"_s);
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        m_server = std::make_unique<DemoServer>(m_dir.filePath(u"server"_s));
        QVERIFY(m_server->start());
        m_clip = m_dir.filePath(u"clip.mp4"_s);
        QCOMPARE(makeVideo(m_clip, 2, {160, 120}), QString());
        m_stored = clip(u"stored.mp4"_s, {}).path;
    }

    // Each way of converting names the source its own way; a 9-byte stub gives way to the template.
    void profiles()
    {
        const QString size = QString::number(FileSizeBytes(m_clip));
        const struct
        {
            int cvtType;
            bool uploadSource, tmpName;
            QString type, srcname, srcsize;
        } cases[] = {
            {1, false, false, u"Source"_s, u"src.mp4"_s, size}, // the server converts
            {0, true, false, u"Video"_s, u"src.mp4"_s, size},   // the source goes along
            {0, false, true, u"Video"_s, u"tmp.mp4"_s, {}},     // a temporary name
            {2, false, true, u"Mp4"_s, {}, {}},                 // the MP4 is kept
        };
        for (const auto &c : cases) {
            QTemporaryDir work;
            EntryJob job{entryFor(m_clip, u"Talk"_s), work.path(), {}};
            job.entry.dstCvtType = c.cvtType;
            job.entry.useTmpName = c.tmpName;
            job.uploadSource = c.uploadSource;
            const QString file = work.filePath(u"tarn_profile.xml"_s);
            writeFile(file, "<profile>");
            QVERIFY(UploadPackage::CreateProfile(job, u"Video"_s, nullptr));
            QCOMPARE(xmlTexts(file, {u"type"_s, u"metadata.title"_s, u"metadata.width"_s,
                                     u"metadata.srcname"_s, u"metadata.srcsize"_s}),
                     (QStringList{c.type, u"Talk"_s, u"160"_s, c.srcname, c.srcsize}));
            QVERIFY(readFile(file).contains("</title>\r\n<author>"));
        }
    }

    void existingProfileKeepsItsOtherElements()
    {
        QTemporaryDir work;
        const EntryJob job{entryFor(m_clip, u"New title"_s), work.path(), {}};
        writeFile(work.filePath(u"tarn_profile.xml"_s),
                  "<profile><type>Custom</type><metadata><title>old</title></metadata>"
                  "<server><url>u</url><folderID>3</folderID><contentID>9</contentID></server></profile>");
        QVERIFY(UploadPackage::CreateProfile(job, u"Video"_s, nullptr));
        QVERIFY(!readFile(work.filePath(u"tarn_profile.xml"_s)).contains("<author"));
        QCOMPARE(xmlTexts(work.filePath(u"tarn_profile.xml"_s),
                          {u"type"_s, u"metadata.title"_s, u"server.contentID"_s}),
                 (QStringList{"Custom", "New title", "9"}));
    }

    // NAME.ppt beside the project folder NAME, else NAME.pptx.
    void powerPointBesideTheProject()
    {
        QTemporaryDir root;
        const QString project = root.filePath(u"week1"_s);
        QCOMPARE(UploadPackage::findPowerPoint(project), QString());
        writeFile(project + u".pptx"_s, "slides");
        QCOMPARE(UploadPackage::findPowerPoint(project), project + u".pptx"_s);
        writeFile(project + u".ppt"_s, "slides");
        QCOMPARE(UploadPackage::findPowerPoint(project), project + u".ppt"_s);
    }

    // The work folder is archived whole and stored, not deflated; the copied PowerPoint file goes again.
    void packFiles()
    {
        QTemporaryDir root;
        const QDir work(root.filePath(u"deck"_s));
        QVERIFY(work.mkpath(u"slides"_s));
        const QByteArray video = QByteArray(4000, 'v') + QByteArray(96, 'w');
        writeFile(work.filePath(u"video.mp4"_s), video);
        writeFile(work.filePath(u"slides/1.jpg"_s), "jpg");
        writeFile(work.filePath(u".hidden"_s), "h");
        writeFile(root.filePath(u"deck.pptx"_s), "ppt");
        Rig rig;
        ExecRunner runner(rig.session.processes(), rig.session.options(), rig.view, rig.session.messages());
        UploadPackage package(runner, rig.view, m_language);
        EntryJob job;
        job.entry.path = work.filePath(u"project.qvp"_s);
        job.workFolder = work.path();
        const QString zipFolder = root.filePath(u"package"_s);
        QCOMPARE(QCoro::waitFor(package.PackFiles(job, u"Corvana"_s, zipFolder)).outcome,
                 PackResult::Outcome::Packed);
        const QString archive = QDir(zipFolder).filePath(u"tarn_file.zip"_s);
        QCOMPARE(zipEntries(archive),
                 (QStringList{".hidden", "deck.pptx", "slides/", "slides/1.jpg", "video.mp4"}));
        QVERIFY(!QFileInfo::exists(work.filePath(u"deck.pptx"_s)));
        QVERIFY(rig.view.status.startsWith(m_language.text("frmUpload", "msgPack")));
        QVERIFY(readFile(archive).contains(video));
    }

    // An entry the server refuses fails alone and is not taken again.
    void runsTheQueue()
    {
        Rig rig;
        const QString a = rig.add(clip(u"a.mp4"_s, u"First"_s));
        CVideoItem refused = clip(u"b.mp4"_s, u"Second"_s);
        refused.folderID = u"987654"_s;
        const QString b = rig.add(refused);
        const QString c = rig.add(clip(u"c.mp4"_s, QString()));
        const qsizetype before = contentCount();
        QVERIFY(rig.runToEnd());
        QCOMPARE((QStringList{rig.state(a), rig.state(b), rig.state(c)}),
                 (QStringList{"Finished", "Failed", "Finished"}));
        QVERIFY2(rig.error(b).startsWith(u"GetVersion: "_s), qPrintable(rig.error(b)));
        for (int column : {QueueModel::ColCvtBeginTime, QueueModel::ColCvtEndTime,
                           QueueModel::ColUploadBeginTime, QueueModel::ColUploadEndTime})
            QVERIFY(!rig.grid.GetEntryCell(a, column).isEmpty());
        const QString complete = m_language.text("frmUpload", "msgComplete");
        QCOMPARE(messageTexts(*rig.messages), QStringList{complete});
        const QStringList after = m_server->contents();
        QCOMPARE(after.size(), before + 2);
        // An empty title is given one on the way.
        QVERIFY(after.join(u'\n').contains(u"Title, "_s));
        QCOMPARE(rig.uploaded.size(), 2);
        QCOMPARE(m_server->storedFiles(rig.uploaded.at(0)),
                 (QStringList{"fileList.xml", "tarn_profile.xml", "thumb.jpg", "video.jpg", "video.mp4",
                              "video.xml"}));
        QVERIFY(!rig.controls.stop);
        QVERIFY(rig.controls.files);
        // Work folders are left for the close to delete, zip folders not.
        QVERIFY(QDir::temp().entryList({u"_qvVidZip_*"_s}).isEmpty());
        // Nothing waits now: Start says so and sends nothing.
        QVERIFY(rig.runToEnd());
        QCOMPARE(messageTexts(*rig.messages), (QStringList{complete, u"Please add a video file!"_s}));
        QCOMPARE(contentCount(), before + 2);
    }

    // A source deleted, grown at the same time, or touched since it was added.
    void sourceChecks()
    {
        for (const QString &change : {u"delete"_s, u"append"_s, u"touch"_s}) {
            const QString error = change == u"delete" ? u"File not found"_s : u"File has been modified"_s;
            Rig rig;
            const QString path = rig.add(clip(u"changed.mp4"_s, u"Changed"_s));
            const QDateTime stamp = QFileInfo(path).lastModified();
            QFile file(path);
            if (change == u"delete") {
                QFile::remove(path);
            } else {
                QVERIFY(file.open(QIODevice::Append | QIODevice::Unbuffered));
                if (change == u"append")
                    file.write("x");
                file.setFileTime(change == u"append" ? stamp : stamp.addSecs(-5),
                                 QFileDevice::FileModificationTime);
                file.close();
            }
            QVERIFY(rig.runToEnd());
            QCOMPARE((QStringList{rig.state(path), rig.error(path)}), (QStringList{u"Failed"_s, error}));
            QVERIFY(rig.messages->messages.isEmpty());
        }
    }

    // Stop in the first pass kills the encoder, removes the work and ends the run.
    void stopDuringConversion()
    {
        Rig rig;
        const QString path = rig.add(clip(u"stopped.mp4"_s, u"Stopped"_s));
        const QString other = rig.add(clip(u"other.mp4"_s, u"Other"_s));
        QString work;
        rig.view.onOutput = [&](const QString &) {
            if (work.isEmpty()) {
                work = rig.queue.workFolder();
                rig.queue.Stop();
            }
        };
        QVERIFY(rig.runToEnd());
        QCOMPARE((QStringList{rig.state(path), rig.state(other)}), (QStringList{"Waiting", "Waiting"}));
        const QStringList started = rig.session.execRunner()->startedCommands();
        QCOMPARE(started.filter(u"-pass"_s).size(), 1);
        QVERIFY(started.filter(u"-pass"_s).first().contains(u"-pass 1"_s));
        QVERIFY(started.filter(u"MP4Box"_s).isEmpty());
        QCOMPARE(processesMentioning(work), QStringList());
        QVERIFY(!QFileInfo::exists(work));
        QVERIFY(rig.controls.start);
        QVERIFY(rig.messages->messages.isEmpty());
    }

    // A helper tool that writes something and fails ends the entry with its step's text.
    void failingToolFailsItsStep()
    {
        const std::array<std::array<QString, 3>, 3> cases{{
            {u"MP4Box"_s, u"mp4"_s, u"Interleave error: MP4Box ended with exit code 1"_s},
            {u"yamdi"_s, u"flv"_s, u"Inject error"_s},
            {u"zip"_s, u"mp4"_s, m_language.text("frmUpload", "msgPackCancel")},
        }};
        for (const auto &[tool, videotype, errorStart] : cases) {
            QTemporaryDir fakes;
            // 100 bytes where the output goes ("-out", "-o" or the archive), then exit 1.
            writeScript(fakes.filePath(tool),
                        "out=\"\"\nprev=\"\"\nfor a; do\n"
                        "  case \"$prev\" in -out|-o) out=\"$a\";; esac\n"
                        "  case \"$a\" in *.zip) out=\"$a\";; esac\n  prev=\"$a\"\ndone\n"
                        "head -c 100 /dev/zero > \"$out\"\nexit 1");
            const QByteArray tools = qgetenv("CLIPFERRY_TOOLS");
            qputenv("CLIPFERRY_TOOLS", fakes.path().toUtf8() + ':' + tools);
            m_server->setVideoType(videotype);
            Rig rig;
            const QString path = rig.add(clip(u"failing.mp4"_s, u"Failing"_s));
            const qsizetype before = contentCount();
            const bool ended = rig.runToEnd();
            qputenv("CLIPFERRY_TOOLS", tools);
            m_server->setVideoType(u"mp4"_s);
            QVERIFY(ended);
            QCOMPARE(rig.state(path), u"Failed"_s);
            QVERIFY2(rig.error(path).startsWith(errorStart), qPrintable(rig.error(path)));
            QCOMPARE(contentCount(), before);
            QVERIFY(QDir::temp().entryList({u"_qvVidZip_*"_s}).isEmpty());
        }
    }

    // A registration whose reply is lost is asked again and gets the same content.
    void registrationReplyLost()
    {
        CuttingProxy proxy(m_server->process.port(), {});
        proxy.dropReplyOnce("POST /tarn/putFile/ HTTP");
        Rig rig;
        TransferControl::Limits quick;
        quick.firstPause = std::chrono::milliseconds(50);
        rig.tarn.setLimits(quick);
        CVideoItem item = clip(u"lost.mp4"_s, u"Lost reply"_s);
        item.Url = viaProxy(proxy.port());
        const QString path = rig.add(item);
        const qsizetype before = contentCount();
        QVERIFY(rig.runToEnd());
        QCOMPARE(proxy.repliesDropped(), 1);
        QVERIFY2(rig.state(path) == u"Finished"_s, qPrintable(rig.state(path) + u' ' + rig.error(path)));
        QCOMPARE(contentCount(), before + 1);
    }

    // An edited entry that names its earlier content replaces it.
    void replaceByContentId()
    {
        Rig first;
        first.add(entryFor(m_stored, u"Once"_s));
        QVERIFY(first.runToEnd());
        QCOMPARE(first.uploaded.size(), 1);
        m_storedId = first.uploaded.first();
        const qsizetype before = contentCount();
        Rig second;
        CVideoItem again = entryFor(m_stored, u"Replaced title"_s);
        again.contentID = m_storedId;
        second.add(again);
        QVERIFY(second.runToEnd());
        QCOMPARE(second.state(m_stored), u"Finished"_s);
        QCOMPARE(second.uploaded, QStringList{m_storedId});
        QCOMPARE(contentCount(), before);
        QVERIFY(m_server->contents().join(u'\n').contains(u"Replaced title"_s));
    }

    // Overwrite by document URL: only Yes replaces; without a folder, No cannot upload it as new.
    void overwriteQuestion()
    {
        QVERIFY(m_storedId.toInt() > 0);
        for (const auto answer : {Messages::Answer::Yes, Messages::Answer::No}) {
            const QString state = answer == Messages::Answer::Yes ? u"Finished"_s : u"Canceled"_s;
            const qsizetype before = contentCount();
            Rig rig;
            rig.messages->script = {answer};
            const QString title = u"Answered %1"_s.arg(int(answer));
            CVideoItem again = entryFor(m_stored, title);
            again.OverwriteUrl = m_server->process.url().toString() + u"/content/"_s + m_storedId;
            rig.add(again);
            QVERIFY(rig.runToEnd());
            QCOMPARE(rig.state(m_stored), state);
            QCOMPARE(contentCount(), before);
            QCOMPARE(m_server->contents().join(u'\n').contains(title), state == u"Finished");
            QCOMPARE(messageTexts(*rig.messages).value(0), m_language.text("frmUpload", "msgOverwriteUrl"));
            QCOMPARE(rig.messages->messages.at(0).title, m_stored);
            QCOMPARE(rig.messages->messages.at(0).buttons, Messages::Buttons::YesNoCancel);
        }
    }

    // The space an entry needs, from its rates and duration, against the account's free space.
    void quotaRefusal()
    {
        m_server->process.admin({u"account"_s, u"add"_s, u"tight"_s, u"pw"_s, u"--quota"_s, u"1"_s});
        Rig rig;
        CVideoItem item = clip(u"quota.mp4"_s, u"Quota"_s);
        item.account = u"tight"_s;
        item.password = u"pw"_s;
        item.secDuration = 3600; // an hour at 264 kbit/s needs 113 MB
        const QString path = rig.add(item);
        QVERIFY(rig.runToEnd());
        QCOMPARE(
            (QStringList{rig.state(path), rig.error(path)}),
            (QStringList{"Failed", "No enough space to upload data, total=1MB, free=1MB, required=113MB"}));
    }

    // Stop while the archive travels: the entry waits again, the server keeps nothing.
    void stopDuringUpload()
    {
        Rig rig;
        CVideoItem item = clip(u"large.mp4"_s, u"Large"_s, 48);
        item.dstCvtType = 1;
        const QString path = rig.add(item);
        bool stopped = false;
        rig.view.onStatus = [&](const QString &text) {
            if (!stopped && text.startsWith(m_language.text("frmUpload", "msgUpload")) &&
                text.endsWith(u'%')) {
                stopped = true;
                rig.queue.Stop();
            }
        };
        const qsizetype before = contentCount();
        QVERIFY(rig.runToEnd());
        QCOMPARE(rig.state(path), u"Waiting"_s);
        QCOMPARE(contentCount(), before);
        QVERIFY(QDir::temp().entryList({u"_qvVidZip_*"_s}).isEmpty());
    }

    // Converting while uploading takes the next entry as the upload before it begins.
    void stepOrder()
    {
        for (const bool overlap : {false, true}) {
            Rig rig;
            rig.session.options().convertWhileUploading = overlap;
            rig.add(clip(u"first.mp4"_s, u"First"_s));
            rig.add(clip(u"second.mp4"_s, u"Second"_s));
            // Each entry's steps in the order the grid showed them: a new state, a time cell filled.
            QStringList steps;
            QHash<QString, QStringList> seen;
            const QList<QPair<int, QString>> columns{{QueueModel::ColCvtBeginTime, u"convert begin"_s},
                                                     {QueueModel::ColCvtEndTime, u"convert end"_s},
                                                     {QueueModel::ColUploadBeginTime, u"upload begin"_s},
                                                     {QueueModel::ColUploadEndTime, u"upload end"_s}};
            QObject watching;
            connect(&rig.grid, &QAbstractItemModel::dataChanged, &watching, [&] {
                for (const QueueEntry &entry : rig.grid.entries()) {
                    QStringList now{rig.state(entry.key)};
                    for (const auto &[column, step] : columns)
                        now.append(rig.grid.GetEntryCell(entry.key, column).isEmpty() ? QString() : step);
                    const QStringList before = seen.value(entry.key, {u"Waiting"_s, {}, {}, {}, {}});
                    // The finish is recorded before the work goes, or a kill between them uploads it again.
                    if (now.first() == u"Finished" && before.first() != u"Finished" &&
                        !QFileInfo::exists(workRecord(rig, entry.key)))
                        steps.append(entry.key + u" finished with its work gone"_s);
                    for (int i = 0; i < now.size(); ++i) {
                        if (now.at(i) != before.at(i) && !now.at(i).isEmpty())
                            steps.append(QFileInfo(entry.key).baseName() + u' ' + now.at(i));
                    }
                    seen.insert(entry.key, now);
                }
            });
            QVERIFY(rig.runToEnd());
            QStringList one;
            for (const QString &name : {u"first"_s, u"second"_s}) {
                for (const char *step : {"Transfering", "convert begin", "convert end", "upload begin",
                                         "upload end", "Finished"})
                    one.append(name + u' ' + QLatin1String(step));
            }
            if (overlap) {
                QVERIFY2(steps.indexOf(u"second Transfering"_s) == steps.indexOf(u"first upload begin"_s) + 1,
                         qPrintable(steps.join(u", ")));
                steps.sort();
                one.sort();
            }
            QCOMPARE(steps.join(u", "), one.join(u", "));
            QCOMPARE(rig.messages->messages.size(), 1);
        }
    }

    // Stop with the next entry packed ahead: both wait again; the next run uploads its kept package.
    void stopWhilePackedAhead()
    {
        CuttingProxy slow(m_server->process.port(), {});
        slow.setPace(2 << 20);
        Rig rig;
        CVideoItem first = clip(u"slow.mp4"_s, u"Slow"_s, 12);
        first.dstCvtType = 1;
        first.Url = viaProxy(slow.port());
        const QString a = rig.add(first);
        const QString b = rig.add(clip(u"ahead.mp4"_s, u"Ahead"_s));
        bool whileUploading = false;
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, &poll, [&] {
            if (readFile(workRecord(rig, b)).contains("\"package\"")) {
                poll.stop();
                whileUploading = rig.state(a) == u"Transfering";
                rig.queue.Stop();
            }
        });
        poll.start(20);
        const qsizetype before = contentCount();
        QVERIFY(rig.runToEnd());
        QVERIFY(whileUploading);
        QCOMPARE((QStringList{rig.state(a), rig.state(b)}), (QStringList{"Waiting", "Waiting"}));
        QCOMPARE(contentCount(), before);

        slow.setPace(0);
        QVERIFY(rig.runToEnd());
        QCOMPARE((QStringList{rig.state(a), rig.state(b)}), (QStringList{"Finished", "Finished"}));
        QVERIFY(rig.view.notes.contains(u"Archive kept from an earlier run"_s));
        QCOMPARE(contentCount(), before + 2);
        // The source of the one the server converts, the whole kept package of the other.
        QCOMPARE(rig.uploaded.size(), 2);
        QCOMPARE(m_server->storedFiles(rig.uploaded.at(0)), (QStringList{"src.mp4", "tarn_profile.xml"}));
        QCOMPARE(m_server->storedFiles(rig.uploaded.at(1)),
                 (QStringList{"fileList.xml", "tarn_profile.xml", "thumb.jpg", "video.jpg", "video.mp4",
                              "video.xml"}));
    }

    // An upload failing while the next converts fails alone; the next keeps its work; the run ends.
    void uploadFailsWhileNextConverts()
    {
        CuttingProxy cutting(m_server->process.port(), {1 << 20});
        cutting.setRefuseAfterCut(true);
        Rig rig;
        TransferControl::Limits once;
        once.retries = 0;
        rig.tarn.setLimits(once);
        CVideoItem first = clip(u"cut.mp4"_s, u"Cut"_s, 3);
        first.dstCvtType = 1;
        first.Url = viaProxy(cutting.port());
        const QString a = rig.add(first);
        const QString b = rig.add(clip(u"next.mp4"_s, u"Next"_s));
        const QString c = rig.add(clip(u"later.mp4"_s, u"Later"_s));
        QVERIFY(rig.runToEnd());
        QCOMPARE((QStringList{rig.state(a), rig.state(b), rig.state(c)}),
                 (QStringList{"Failed", "Waiting", "Waiting"}));
        QVERIFY(readFile(workRecord(rig, b)).contains("\"package\""));
        QVERIFY(rig.messages->messages.isEmpty());
        QVERIFY(rig.controls.start);
    }
};

int runUploadTests(int argc, char *argv[])
{
    TestUpload tests;
    return QTest::qExec(&tests, argc, argv);
}

#include "test_upload.moc"
