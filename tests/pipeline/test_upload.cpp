// Packing and uploading entries, and whole queue runs against the real
// server on loopback with real ffmpeg and zip.

#include "QueueRig.h"
#include "RecordingView.h"
#include "common/FileUtil.h"
#include "common/Lang.h"
#include "common/Settings.h"
#include "common/XmlUtil.h"
#include "pipeline/EntryWork.h"
#include "pipeline/ExecRunner.h"
#include "pipeline/QueueRunner.h"
#include "pipeline/RunnerControls.h"
#include "pipeline/SampleMedia.h"
#include "pipeline/UploadPackage.h"
#include "pipeline/UploadTransaction.h"
#include "platform/Messages.h"
#include "platform/ProcessRunner.h"
#include "queue/QueueModel.h"
#include "recorder/CProjectFile.h"
#include "server/TransferControl.h"
#include "support/CuttingProxy.h"
#include "support/ServerProcess.h"
#include "support/TestFiles.h"
#include "support/TestLanguage.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

using namespace Qt::StringLiterals;

class TestUpload : public QObject
{
    Q_OBJECT

private:
    const LanguageTable m_language{languageFile()};
    Messages::Channel m_messages;
    std::shared_ptr<Messages::RecordingPresenter::Log> m_log = m_messages.record();
    QTemporaryDir m_dir;
    std::unique_ptr<ServerProcess> m_server;
    QString m_folderId;
    QString m_clip;

    CVideoItem entryFor(const QString &source, const QString &title)
    {
        CVideoItem item = demoEntry(source, title, m_server->url().toString(), m_folderId);
        item.duration = QStringLiteral("00:00:02.00");
        item.secDuration = 2;
        item.videoWidth = 160;
        item.videoHeight = 120;
        item.srcVideoWidth = 160;
        item.srcVideoHeight = 120;
        item.vBitRate = QStringLiteral("200k");
        item.aBitRate = QStringLiteral("64k");
        return item;
    }

    QString copyOfClip(const QString &name)
    {
        const QString path = m_dir.filePath(name);
        QFile::remove(path);
        QFile::copy(m_clip, path);
        return path;
    }

    // A clip with bulk after it, uploaded as it is: its upload takes a while.
    QString bulkyClip(const QString &name, int megabytes)
    {
        const QString path = copyOfClip(name);
        QFile file(path);
        if (file.open(QIODevice::Append))
            file.write(QByteArray(megabytes << 20, 'x'));
        return path;
    }

    QStringList contentTitles() const
    {
        const QString list =
            QString::fromUtf8(m_server->admin({QStringLiteral("content"), QStringLiteral("list")}));
        return list.split(u'\n', Qt::SkipEmptyParts);
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        m_server = std::make_unique<ServerProcess>(m_dir.filePath(QStringLiteral("server")));
        QVERIFY(m_server->start({QStringLiteral("--demo")}));
        m_folderId = m_server->addFolder(QStringLiteral("Talks"));
        QVERIFY(!m_folderId.isEmpty());
        m_clip = m_dir.filePath(QStringLiteral("clip.mp4"));
        SampleVideo sample;
        sample.output = m_clip;
        sample.durationSeconds = 2;
        sample.width = 160;
        sample.height = 120;
        ProcessRunner processes;
        auto made = sample.make(&processes);
        QCOMPARE(QCoro::waitFor(made), QString());
    }

    void versionReplies_data()
    {
        QTest::addColumn<QString>("reply");
        QTest::addColumn<qint64>("required");
        QTest::addColumn<QString>("error");
        QTest::addColumn<QString>("quota");
        QTest::addColumn<QString>("overwrite");
        const QString tarnError = UploadTransaction::tarnErrorText(m_language);
        QTest::newRow("unknown error key")
            << "<r><errInfo>77</errInfo></r>" << qint64(0) << "GetVersion: " + tarnError + " (77)"
            << ""
            << "";
        QTest::newRow("not XML goes on") << "<html>oops" << qint64(10) << ""
                                         << ""
                                         << "";
    }
    void versionReplies()
    {
        QFETCH(QString, reply);
        QFETCH(qint64, required);
        QFETCH(QString, error);
        QFETCH(QString, quota);
        QFETCH(QString, overwrite);
        const VersionReply parsed = VersionReply::parse(reply);
        const QString tarnError = UploadTransaction::tarnErrorText(m_language);
        QCOMPARE(parsed.errorText(m_language, tarnError), error);
        QCOMPARE(parsed.quotaFailure(required), quota);
        QCOMPARE(parsed.overwriteRefusal(m_language, tarnError), overwrite);
    }

    void requiredEstimate()
    {
        CVideoItem item;
        item.vBitRate = QStringLiteral("500k");
        item.aBitRate = QStringLiteral("64k");
        item.secDuration = 3600;
        QCOMPARE(UploadTransaction::requiredMegabytes(item), qint64(242));
    }

    void profiles_data()
    {
        QTest::addColumn<int>("cvtType");
        QTest::addColumn<bool>("uploadSource");
        QTest::addColumn<bool>("tmpName");
        QTest::addColumn<QString>("type");
        QTest::addColumn<QString>("srcname");
        QTest::addColumn<bool>("hasSize");
        QTest::newRow("server converts") << 1 << false << false << "Source"
                                         << "src.mp4" << true;
        QTest::newRow("source goes along") << 0 << true << false << "Video"
                                           << "src.mp4" << true;
        QTest::newRow("temporary name") << 0 << false << true << "Video"
                                        << "tmp.mp4" << false;
        QTest::newRow("mp4 kept") << 2 << false << false << "Mp4"
                                  << "" << false;
    }
    void profiles()
    {
        QFETCH(int, cvtType);
        QFETCH(bool, uploadSource);
        QFETCH(bool, tmpName);
        QFETCH(QString, type);
        QFETCH(QString, srcname);
        QFETCH(bool, hasSize);
        QTemporaryDir work;
        EntryJob job{entryFor(m_clip, QStringLiteral("Talk")), work.path(), {}};
        job.entry.dstCvtType = cvtType;
        job.entry.useTmpName = tmpName;
        job.uploadSource = uploadSource;
        // A stub of nine bytes is replaced by the template.
        writeFile(work.filePath(QStringLiteral("tarn_profile.xml")), "<profile>");
        QVERIFY(UploadPackage::CreateProfile(job, QStringLiteral("Video"), nullptr));
        pugi::xml_document doc;
        QVERIFY(Xml::parseFile(doc, work.filePath(QStringLiteral("tarn_profile.xml"))));
        QCOMPARE(Xml::GetTextByPath(doc, QStringLiteral("type")), type);
        QCOMPARE(Xml::GetTextByPath(doc, QStringLiteral("metadata.title")), QStringLiteral("Talk"));
        QCOMPARE(Xml::GetTextByPath(doc, QStringLiteral("metadata.width")), QStringLiteral("160"));
        QCOMPARE(Xml::GetTextByPath(doc, QStringLiteral("metadata.srcname")), srcname);
        QCOMPARE(Xml::GetTextByPath(doc, QStringLiteral("metadata.srcsize")).isEmpty(), !hasSize);
        QVERIFY(readFile(work.filePath(QStringLiteral("tarn_profile.xml"))).contains("</title>\r\n<author>"));
    }

    void existingProfileKeepsItsOtherElements()
    {
        QTemporaryDir work;
        const EntryJob job{entryFor(m_clip, QStringLiteral("New title")), work.path(), {}};
        writeFile(work.filePath(QStringLiteral("tarn_profile.xml")),
                  "<profile><type>Custom</type><metadata><title>old</title></metadata>"
                  "<server><url>u</url><folderID>3</folderID><contentID>9</contentID></server></profile>");
        QVERIFY(UploadPackage::CreateProfile(job, QStringLiteral("Video"), nullptr));
        pugi::xml_document doc;
        QVERIFY(Xml::parseFile(doc, work.filePath(QStringLiteral("tarn_profile.xml"))));
        QCOMPARE(Xml::GetTextByPath(doc, QStringLiteral("type")), QStringLiteral("Custom"));
        QCOMPARE(Xml::GetTextByPath(doc, QStringLiteral("metadata.title")), QStringLiteral("New title"));
        QVERIFY(!Xml::SelectByPath(doc, QStringLiteral("metadata.author")));
        QCOMPARE(Xml::GetTextByPath(doc, QStringLiteral("server.contentID")), QStringLiteral("9"));
    }

    void powerPointBesideTheProject()
    {
        QTemporaryDir root;
        const QString project = root.filePath(QStringLiteral("week1"));
        QVERIFY(QDir().mkpath(project));
        QCOMPARE(UploadPackage::findPowerPoint(project), QString());
        writeFile(root.filePath(QStringLiteral("week1.pptx")), "slides");
        QCOMPARE(UploadPackage::findPowerPoint(project), root.filePath(QStringLiteral("week1.pptx")));
        writeFile(root.filePath(QStringLiteral("week1.ppt")), "slides");
        QCOMPARE(UploadPackage::findPowerPoint(project), root.filePath(QStringLiteral("week1.ppt")));
    }

    // The work folder goes into the archive whole, stored, with subfolders
    // and hidden files; the copied PowerPoint file is gone again afterwards.
    void packFiles()
    {
        QTemporaryDir root;
        const QString work = root.filePath(QStringLiteral("deck"));
        QVERIFY(QDir().mkpath(work + QStringLiteral("/slides")));
        writeFile(QDir(work).filePath(QStringLiteral("video.mp4")), QByteArray(4096, 'v'));
        writeFile(QDir(work).filePath(QStringLiteral("slides/1.jpg")), "jpg");
        writeFile(QDir(work).filePath(QStringLiteral(".hidden")), "h");
        writeFile(root.filePath(QStringLiteral("deck.pptx")), "ppt");
        RunOptions options;
        RecordingView view;
        ProcessRunner processes;
        ExecRunner runner(processes, options, view, m_messages);
        UploadPackage package(runner, view, m_language);
        EntryJob job;
        job.entry.path = QDir(work).filePath(QStringLiteral("project.qvp"));
        job.workFolder = work;
        const QString zipFolder = UploadPackage::newZipFolder();
        auto packed = package.PackFiles(job, QStringLiteral("Corvana"), zipFolder);
        QCOMPARE(QCoro::waitFor(packed).outcome, PackResult::Outcome::Packed);
        const QString archive = QDir(zipFolder).filePath(QStringLiteral("tarn_file.zip"));
        QCOMPARE(zipEntries(archive),
                 (QStringList{".hidden", "deck.pptx", "slides/", "slides/1.jpg", "video.mp4"}));
        QVERIFY(!QFileInfo::exists(QDir(work).filePath(QStringLiteral("deck.pptx"))));
        QVERIFY(view.status.startsWith(m_language.text("frmUpload", "msgPack")));
        // Stored, not deflated: the archive is larger than its content.
        QVERIFY(FileSizeBytes(archive) > 4096);
        DeleteFolderIfExists(zipFolder);
    }

    // Three entries, the second refused by the server: the first and third
    // end "Finished", the second "Failed", one completion message.
    void runsTheQueue()
    {
        Rig rig;
        auto log = rig.messages;
        const QString a = copyOfClip(QStringLiteral("a.mp4"));
        const QString b = copyOfClip(QStringLiteral("b.mp4"));
        const QString c = copyOfClip(QStringLiteral("c.mp4"));
        rig.add(entryFor(a, QStringLiteral("First")));
        CVideoItem refused = entryFor(b, QStringLiteral("Second"));
        refused.folderID = QStringLiteral("987654");
        rig.add(refused);
        rig.add(entryFor(c, QString()));
        const int before = contentTitles().size();
        QVERIFY(rig.runToEnd());
        QCOMPARE(rig.state(a), QStringLiteral("Finished"));
        QCOMPARE(rig.state(b), QStringLiteral("Failed"));
        QVERIFY2(rig.error(b).startsWith(QStringLiteral("GetVersion: ")), qPrintable(rig.error(b)));
        QCOMPARE(rig.state(c), QStringLiteral("Finished"));
        for (int column : {QueueModel::ColCvtBeginTime, QueueModel::ColCvtEndTime,
                           QueueModel::ColUploadBeginTime, QueueModel::ColUploadEndTime})
            QVERIFY(!rig.grid.GetEntryCell(a, column).isEmpty());
        QCOMPARE(log->messages.size(), 1);
        QCOMPARE(log->messages.at(0).text, m_language.text("frmUpload", "msgComplete"));
        const QStringList after = contentTitles();
        QCOMPARE(after.size(), before + 2);
        // An empty title is given one on the way.
        QVERIFY(after.join(u'\n').contains(QStringLiteral("Title, ")));
        QVERIFY(!rig.controls.stop);
        QVERIFY(rig.controls.files);
        // Work folders are left for the close to delete; the zip folders are gone.
        QVERIFY(QDir::temp().entryList({QStringLiteral("_qvVidZip_*")}).isEmpty());
    }

    void sourceChecks_data()
    {
        QTest::addColumn<QString>("change");
        QTest::addColumn<QString>("error");
        QTest::newRow("deleted") << "delete"
                                 << "File not found";
        QTest::newRow("size changed") << "append"
                                      << "File has been modified";
        QTest::newRow("time changed") << "touch"
                                      << "File has been modified";
    }
    void sourceChecks()
    {
        QFETCH(QString, change);
        QFETCH(QString, error);
        Rig rig;
        auto log = rig.messages;
        const QString path = copyOfClip(QStringLiteral("changed.mp4"));
        rig.add(entryFor(path, QStringLiteral("Changed")));
        if (change == QLatin1String("delete")) {
            QFile::remove(path);
        } else if (change == QLatin1String("append")) {
            const QDateTime stamp = QFileInfo(path).lastModified();
            QFile file(path);
            QVERIFY(file.open(QIODevice::Append));
            file.write("x");
            file.setFileTime(stamp, QFileDevice::FileModificationTime);
        } else {
            QFile file(path);
            QVERIFY(file.open(QIODevice::ReadWrite));
            file.setFileTime(QFileInfo(path).lastModified().addSecs(-5), QFileDevice::FileModificationTime);
        }
        QVERIFY(rig.runToEnd());
        QCOMPARE(rig.state(path), QStringLiteral("Failed"));
        QCOMPARE(rig.error(path), error);
        QVERIFY(log->messages.isEmpty());
    }

    void nothingWaiting()
    {
        Rig rig;
        auto log = rig.messages;
        const QString path = copyOfClip(QStringLiteral("done.mp4"));
        rig.add(entryFor(path, QStringLiteral("Done")));
        rig.grid.SetEntryState(path, EntryState::Finished);
        QVERIFY(rig.runToEnd());
        QCOMPARE(log->messages.size(), 1);
        QCOMPARE(log->messages.at(0).text, QStringLiteral("Please add a video file!"));
    }

    // Stop while ffmpeg runs: the entry waits again, its work folder is gone
    // and the run ends.
    void stopDuringConversion()
    {
        Rig rig;
        auto log = rig.messages;
        const QString path = copyOfClip(QStringLiteral("stopped.mp4"));
        const QString other = copyOfClip(QStringLiteral("other.mp4"));
        rig.add(entryFor(path, QStringLiteral("Stopped")));
        rig.add(entryFor(other, QStringLiteral("Other")));
        bool stopped = false;
        rig.view.onOutput = [&](const QString &) {
            if (!stopped) {
                stopped = true;
                rig.queue.Stop();
            }
        };
        QVERIFY(rig.runToEnd());
        QVERIFY(stopped);
        QCOMPARE(rig.state(path), QStringLiteral("Waiting"));
        QCOMPARE(rig.state(other), QStringLiteral("Waiting"));
        QVERIFY(!QFileInfo::exists(rig.queue.workFolder()));
        QVERIFY(rig.controls.start);
        QVERIFY(log->messages.isEmpty());
    }

    // A helper tool that writes something and then fails ends the entry
    // with a text naming its step; the good encode is kept and nothing goes
    // to the server.
    void failingToolFailsItsStep_data()
    {
        QTest::addColumn<QString>("tool");
        QTest::addColumn<QString>("videotype");
        QTest::addColumn<QString>("errorStart");
        // The tools write 100 bytes where their output goes, then exit 1.
        QTest::newRow("MP4Box") << "MP4Box"
                                << "mp4"
                                << "Interleave error: MP4Box ended with exit code 1";
        QTest::newRow("yamdi") << "yamdi"
                               << "flv"
                               << "Inject error";
        QTest::newRow("zip") << "zip"
                             << "mp4" << m_language.text("frmUpload", "msgPackCancel");
    }
    void failingToolFailsItsStep()
    {
        QFETCH(QString, tool);
        QFETCH(QString, videotype);
        QFETCH(QString, errorStart);
        QTemporaryDir fakes;
        // The output path follows "-out", "-o" or is the first quoted argument.
        writeFile(fakes.filePath(tool), "#!/bin/sh\nout=\"\"\nprev=\"\"\nfor a; do\n"
                                        "  case \"$prev\" in -out|-o) out=\"$a\";; esac\n"
                                        "  case \"$a\" in *.zip) out=\"$a\";; esac\n  prev=\"$a\"\ndone\n"
                                        "head -c 100 /dev/zero > \"$out\"\nexit 1\n");
        QFile::setPermissions(fakes.filePath(tool), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        const QByteArray tools = qgetenv("CLIPFERRY_TOOLS");
        qputenv("CLIPFERRY_TOOLS", fakes.path().toUtf8() + ':' + tools);
        m_server->admin(
            {QStringLiteral("setting"), QStringLiteral("set"), QStringLiteral("videotype"), videotype});
        Rig rig;
        const QString path = copyOfClip(QStringLiteral("failing.mp4"));
        rig.add(entryFor(path, QStringLiteral("Failing")));
        const int before = contentTitles().size();
        const bool ended = rig.runToEnd();
        qputenv("CLIPFERRY_TOOLS", tools);
        m_server->admin({QStringLiteral("setting"), QStringLiteral("set"), QStringLiteral("videotype"),
                         QStringLiteral("mp4")});
        QVERIFY(ended);
        QCOMPARE(rig.state(path), QStringLiteral("Failed"));
        QVERIFY2(rig.error(path).startsWith(errorStart), qPrintable(rig.error(path)));
        QCOMPARE(contentTitles().size(), before);
        QVERIFY(QDir::temp().entryList({QStringLiteral("_qvVidZip_*")}).isEmpty());
    }

    // The server stores the content but its reply is lost on the way: the
    // registration is asked again and answers with the same content.
    void registrationReplyLost()
    {
        CuttingProxy proxy(m_server->port(), {});
        proxy.dropReplyOnce("POST /tarn/putFile/ HTTP");
        Rig rig;
        TransferControl::Limits quick;
        quick.firstPause = std::chrono::milliseconds(50);
        rig.tarn.setLimits(quick);
        const QString path = copyOfClip(QStringLiteral("lost.mp4"));
        CVideoItem item = entryFor(path, QStringLiteral("Lost reply"));
        item.Url = QStringLiteral("127.0.0.1:%1").arg(proxy.port());
        rig.add(item);
        const int before = contentTitles().size();
        QVERIFY(rig.runToEnd());
        QCOMPARE(proxy.repliesDropped(), 1);
        QVERIFY2(rig.state(path) == QStringLiteral("Finished"),
                 qPrintable(rig.state(path) + u' ' + rig.error(path)));
        QCOMPARE(contentTitles().size(), before + 1);
    }

    // Uploads a clip once and returns the content id the server gave it.
    QString uploadOnce(const QString &path)
    {
        Rig first;
        first.add(entryFor(path, QStringLiteral("Once")));
        QString stored;
        QObject::connect(&first.queue, &QueueRunner::entryUploaded, &first.queue,
                         [&stored](const QString &, const QString &id) { stored = id; });
        if (!first.runToEnd() || first.state(path) != QLatin1String("Finished"))
            return {};
        return stored;
    }

    // An edited entry that names its earlier content replaces it.
    void replaceByContentId()
    {
        const QString path = copyOfClip(QStringLiteral("again.mp4"));
        const QString storedId = uploadOnce(path);
        QVERIFY(storedId.toInt() > 0);
        const int before = contentTitles().size();
        Rig second;
        CVideoItem again = entryFor(path, QStringLiteral("Replaced title"));
        again.contentID = storedId;
        second.add(again);
        QVERIFY(second.runToEnd());
        QCOMPARE(second.state(path), QStringLiteral("Finished"));
        QCOMPARE(contentTitles().size(), before);
        QVERIFY(contentTitles().join(u'\n').contains(QStringLiteral("Replaced title")));
    }

    // Overwrite by document URL: the server finds the content and the user
    // is asked, with the source path as the title. Only Yes replaces it:
    // without a folder there is nowhere to upload it as new.
    void overwriteQuestion_data()
    {
        QTest::addColumn<int>("answer");
        QTest::addColumn<QString>("state");
        QTest::newRow("Yes: replaced") << int(Messages::Answer::Yes) << "Finished";
        QTest::newRow("No: kept") << int(Messages::Answer::No) << "Canceled";
        QTest::newRow("Cancel: kept") << int(Messages::Answer::Cancel) << "Canceled";
    }
    void overwriteQuestion()
    {
        QFETCH(int, answer);
        QFETCH(QString, state);
        const QString path = copyOfClip(QStringLiteral("byurl.mp4"));
        const QString storedId = uploadOnce(path);
        QVERIFY(storedId.toInt() > 0);
        const int before = contentTitles().size();
        Rig second;
        auto log = second.messages;
        log->script = {Messages::Answer(answer)};
        const QString title = QString::fromLatin1(QTest::currentDataTag());
        CVideoItem again = entryFor(path, title);
        again.OverwriteUrl = m_server->url().toString() + QStringLiteral("/content/") + storedId;
        second.add(again);
        QVERIFY(second.runToEnd());
        QCOMPARE(second.state(path), state);
        QCOMPARE(contentTitles().size(), before);
        QCOMPARE(contentTitles().join(u'\n').contains(title), state == u"Finished");
        QVERIFY(!log->messages.isEmpty());
        QCOMPARE(log->messages.at(0).text, m_language.text("frmUpload", "msgOverwriteUrl"));
        QCOMPARE(log->messages.at(0).title, path);
        QCOMPARE(log->messages.at(0).buttons, Messages::Buttons::YesNoCancel);
    }

    // The files the server extracted from an uploaded package.
    QStringList storedFiles(const QString &contentId) const
    {
        QDir files(m_server->dataDir() + QStringLiteral("/contents/") + contentId + QStringLiteral("/files"));
        QStringList names = files.entryList(QDir::Files);
        names.sort();
        return names;
    }

    // What goes to the server for each way of converting, checked file by
    // file on the server's side.
    void conversionKinds_data()
    {
        QTest::addColumn<int>("cvtType");
        QTest::addColumn<QString>("videotype");
        QTest::addColumn<QStringList>("files");
        QTest::newRow("local, MP4") << 0 << "mp4"
                                    << QStringList{"fileList.xml", "tarn_profile.xml", "thumb.jpg",
                                                   "video.jpg",    "video.mp4",        "video.xml"};
        QTest::newRow("local, FLV") << 0 << "flv"
                                    << QStringList{"tarn_profile.xml", "thumb.jpg", "video.flv", "video.jpg",
                                                   "video.xml"};
        QTest::newRow("server converts") << 1 << "mp4" << QStringList{"src.mp4", "tarn_profile.xml"};
    }
    void conversionKinds()
    {
        QFETCH(int, cvtType);
        QFETCH(QString, videotype);
        QFETCH(QStringList, files);
        m_server->admin(
            {QStringLiteral("setting"), QStringLiteral("set"), QStringLiteral("videotype"), videotype});
        Rig rig;
        const QString path = copyOfClip(QStringLiteral("kind.mp4"));
        CVideoItem item = entryFor(path, QStringLiteral("Kind"));
        item.dstCvtType = cvtType;
        rig.add(item);
        QString contentId;
        connect(&rig.queue, &QueueRunner::entryUploaded, this,
                [&contentId](const QString &, const QString &id) { contentId = id; });
        const bool ended = rig.runToEnd();
        m_server->admin({QStringLiteral("setting"), QStringLiteral("set"), QStringLiteral("videotype"),
                         QStringLiteral("mp4")});
        QVERIFY(ended);
        QCOMPARE(rig.state(path), QStringLiteral("Finished"));
        QVERIFY(!contentId.isEmpty());
        QCOMPARE(storedFiles(contentId), files);
    }

    void quotaRefusal()
    {
        m_server->admin({QStringLiteral("account"), QStringLiteral("add"), QStringLiteral("tight"),
                         QStringLiteral("pw"), QStringLiteral("--quota"), QStringLiteral("1")});
        Rig rig;
        const QString path = copyOfClip(QStringLiteral("quota.mp4"));
        CVideoItem item = entryFor(path, QStringLiteral("Quota"));
        item.account = QStringLiteral("tight");
        item.password = QStringLiteral("pw");
        item.secDuration = 3600; // an hour at these rates needs 116 MB
        rig.add(item);
        QVERIFY(rig.runToEnd());
        QCOMPARE(rig.state(path), QStringLiteral("Failed"));
        QVERIFY2(rig.error(path).startsWith(QStringLiteral("No enough space to upload data, total=1MB")),
                 qPrintable(rig.error(path)));
    }

    // Stop while the archive travels: the entry waits again and the server
    // keeps nothing.
    void stopDuringUpload()
    {
        Rig rig;
        const QString path = m_dir.filePath(QStringLiteral("large.mp4"));
        QFile::remove(path);
        QVERIFY(QFile::copy(m_clip, path));
        {
            // Bulk after the clip makes the upload last long enough to be stopped.
            QFile file(path);
            QVERIFY(file.open(QIODevice::Append));
            file.write(QByteArray(48 << 20, 'x'));
        }
        CVideoItem item = entryFor(path, QStringLiteral("Large"));
        item.dstCvtType = 1;
        rig.add(item);
        bool stopped = false;
        const QString uploading = m_language.text("frmUpload", "msgUpload");
        rig.view.onStatus = [&](const QString &text) {
            if (!stopped && text.startsWith(uploading) && text.endsWith(u'%')) {
                stopped = true;
                rig.queue.Stop();
            }
        };
        const int before = contentTitles().size();
        QVERIFY(rig.runToEnd());
        QVERIFY(stopped);
        QCOMPARE(rig.state(path), QStringLiteral("Waiting"));
        QCOMPARE(contentTitles().size(), before);
        QVERIFY(QDir::temp().entryList({QStringLiteral("_qvVidZip_*")}).isEmpty());
    }

    // Each entry's steps in the order the grid showed them: a new state, a
    // time cell filled.
    static std::shared_ptr<QStringList> logSteps(QueueModel &grid)
    {
        auto steps = std::make_shared<QStringList>();
        auto seen = std::make_shared<QHash<QString, QStringList>>();
        QObject::connect(&grid, &QAbstractItemModel::dataChanged, &grid, [&grid, steps, seen] {
            static const QList<QPair<int, QString>> columns{
                {QueueModel::ColCvtBeginTime, u"convert begin"_s},
                {QueueModel::ColCvtEndTime, u"convert end"_s},
                {QueueModel::ColUploadBeginTime, u"upload begin"_s},
                {QueueModel::ColUploadEndTime, u"upload end"_s}};
            for (const QueueEntry &entry : grid.entries()) {
                const QString name = QFileInfo(entry.key).baseName();
                QStringList now{grid.GetEntryCell(entry.key, QueueModel::ColState)};
                for (const auto &[column, step] : columns)
                    now.append(grid.GetEntryCell(entry.key, column).isEmpty() ? QString() : step);
                const QStringList before = seen->value(entry.key, {u"Waiting"_s, {}, {}, {}, {}});
                for (int i = 0; i < now.size(); ++i) {
                    if (now.at(i) != before.at(i) && !now.at(i).isEmpty())
                        steps->append(name + u' ' + now.at(i));
                }
                seen->insert(entry.key, now);
            }
        });
        return steps;
    }

    // One at a time, each entry goes through every step before the next is
    // taken; converting while uploading, the next is taken as soon as the
    // upload before it begins. Either way one completion message.
    void stepOrder_data()
    {
        QTest::addColumn<bool>("overlap");
        QTest::newRow("one at a time") << false;
        QTest::newRow("converting while uploading") << true;
    }
    void stepOrder()
    {
        QFETCH(bool, overlap);
        Rig rig;
        rig.session.options().convertWhileUploading = overlap;
        const QString a = copyOfClip(QStringLiteral("first.mp4"));
        const QString b = copyOfClip(QStringLiteral("second.mp4"));
        rig.add(entryFor(a, QStringLiteral("First")));
        rig.add(entryFor(b, QStringLiteral("Second")));
        const auto steps = logSteps(rig.grid);
        QVERIFY(rig.runToEnd());
        const QStringList one{u"first Transfering"_s,   u"first convert begin"_s,  u"first convert end"_s,
                              u"first upload begin"_s,  u"first upload end"_s,     u"first Finished"_s,
                              u"second Transfering"_s,  u"second convert begin"_s, u"second convert end"_s,
                              u"second upload begin"_s, u"second upload end"_s,    u"second Finished"_s};
        if (overlap) {
            QVERIFY2(steps->indexOf(u"second Transfering"_s) == steps->indexOf(u"first upload begin"_s) + 1,
                     qPrintable(steps->join(u", ")));
            QStringList sorted = *steps, expected = one;
            sorted.sort();
            expected.sort();
            QCOMPARE(sorted, expected);
        } else {
            QCOMPARE(steps->join(u", "), one.join(u", "));
        }
        QCOMPARE(rig.messages->messages.size(), 1);
    }

    // Stop while the next entry, packed ahead, waits for the upload before
    // it: both wait again, nothing reaches the server, and the packed entry
    // keeps its work, which the next run uploads as it is.
    void stopWhilePackedAhead()
    {
        CuttingProxy slow(m_server->port(), {});
        slow.setPace(2 << 20);
        Rig rig;
        const QString a = bulkyClip(QStringLiteral("slow.mp4"), 12);
        CVideoItem first = entryFor(a, QStringLiteral("Slow"));
        first.dstCvtType = 1;
        first.Url = QStringLiteral("127.0.0.1:%1").arg(slow.port());
        rig.add(first);
        const QString b = copyOfClip(QStringLiteral("ahead.mp4"));
        rig.add(entryFor(b, QStringLiteral("Ahead")));
        const QString record = QDir(EntryWork(rig.queue.workRoot(), b).folder()).filePath(u"state.json"_s);
        bool whileUploading = false;
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, &poll, [&] {
            QFile file(record);
            if (file.open(QIODevice::ReadOnly) && file.readAll().contains("\"package\"")) {
                poll.stop();
                whileUploading = rig.state(a) == QLatin1String("Transfering");
                rig.queue.Stop();
            }
        });
        poll.start(20);
        const int before = contentTitles().size();
        QVERIFY(rig.runToEnd());
        QVERIFY(whileUploading);
        QCOMPARE(rig.state(a), QStringLiteral("Waiting"));
        QCOMPARE(rig.state(b), QStringLiteral("Waiting"));
        QCOMPARE(contentTitles().size(), before);

        slow.setPace(0);
        QVERIFY(rig.runToEnd());
        QCOMPARE(rig.state(a), QStringLiteral("Finished"));
        QCOMPARE(rig.state(b), QStringLiteral("Finished"));
        QVERIFY(rig.view.notes.contains(u"Archive kept from an earlier run"_s));
        QCOMPARE(contentTitles().size(), before + 2);
    }

    // The upload before fails while the next entry converts: it fails alone,
    // the next finishes its preparation and waits with its work kept, the
    // run ends there and the entry after it is not taken.
    void uploadFailsWhileNextConverts()
    {
        CuttingProxy cutting(m_server->port(), {1 << 20});
        cutting.setRefuseAfterCut(true);
        Rig rig;
        TransferControl::Limits once;
        once.retries = 0;
        rig.tarn.setLimits(once);
        const QString a = bulkyClip(QStringLiteral("cut.mp4"), 3);
        CVideoItem first = entryFor(a, QStringLiteral("Cut"));
        first.dstCvtType = 1;
        first.Url = QStringLiteral("127.0.0.1:%1").arg(cutting.port());
        rig.add(first);
        const QString b = copyOfClip(QStringLiteral("next.mp4"));
        const QString c = copyOfClip(QStringLiteral("later.mp4"));
        rig.add(entryFor(b, QStringLiteral("Next")));
        rig.add(entryFor(c, QStringLiteral("Later")));
        QVERIFY(rig.runToEnd());
        QCOMPARE(rig.state(a), QStringLiteral("Failed"));
        QCOMPARE(rig.state(b), QStringLiteral("Waiting"));
        QFile record(QDir(EntryWork(rig.queue.workRoot(), b).folder()).filePath(u"state.json"_s));
        QVERIFY(record.open(QIODevice::ReadOnly));
        QVERIFY(record.readAll().contains("\"package\""));
        QCOMPARE(rig.state(c), QStringLiteral("Waiting"));
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
