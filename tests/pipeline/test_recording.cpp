// Recording projects: the reply handling, the slides and their cover, and
// whole runs of folder and single-file projects against the real server,
// on recordings made by the sample generator.

#include "QueueRig.h"
#include "RecordingView.h"
#include "common/FileUtil.h"
#include "common/Lang.h"
#include "common/XmlUtil.h"
#include "pipeline/RecordingPreparation.h"
#include "pipeline/UploadTransaction.h"
#include "platform/Messages.h"
#include "platform/ProcessRunner.h"
#include "recorder/CProjectFile.h"
#include "recorder/MediaLibraries.h"
#include "recorder/SampleRecording.h"
#include "support/ServerProcess.h"
#include "support/TestFiles.h"
#include "support/TestLanguage.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QImageReader>
#include <QTemporaryDir>
#include <QTest>

Q_DECLARE_METATYPE(RecordingVerdict::Next)

namespace {

// One preparation with everything it works with.
struct Preparation
{
    RunOptions options;
    RecordingView view;
    FakeControls controls;
    ProcessRunner processes;
    const LanguageTable language{languageFile()};
    Messages::Channel messages;
    std::shared_ptr<Messages::RecordingPresenter::Log> log = messages.record();
    ExecRunner runner{processes, options, view, messages};
    MediaLibraries libraries{processes};
    CProjectFile project{language, messages};
    RecordingPreparation prep{{view, controls, runner, libraries, project, language}};
    StopSource stop;
    EntryJob job;

    // Loads a folder project and works in its folder.
    bool open(const QString &projectFile)
    {
        job.entry.path = projectFile;
        job.workFolder = QFileInfo(projectFile).absolutePath();
        job.stop = stop.token();
        return project.Load(projectFile, true);
    }
    // The commands of the thumb tool, in order.
    QStringList thumbCommands() const
    {
        QStringList commands = runner.startedCommands();
        commands.removeIf([](const QString &c) { return !c.startsWith(QStringLiteral("thumb.exe ")); });
        return commands;
    }
};

QString makeSample(const QString &folder, SampleRecordingOptions options)
{
    ProcessRunner processes;
    auto made = makeSampleRecording(&processes, folder, options);
    const SampleRecordingResult result = QCoro::waitFor(made);
    if (!result.error.isEmpty())
        qWarning() << result.error;
    return result.path;
}

QSize imageSize(const QString &path)
{
    return QImageReader(path).size();
}

QStringList slideFiles(const QString &workFolder)
{
    QStringList names = QDir(QDir(workFolder).filePath(QStringLiteral("slides"))).entryList(QDir::Files);
    names.sort();
    return names;
}

} // namespace

class TestRecording : public QObject
{
    Q_OBJECT

private:
    const LanguageTable m_language{languageFile()};
    Messages::Channel m_messages;
    std::shared_ptr<Messages::RecordingPresenter::Log> m_log = m_messages.record();
    QTemporaryDir m_dir;
    std::unique_ptr<ServerProcess> m_server;
    QString m_folderId;
    QString m_zdm;
    QString m_slideProject;

    CVideoItem entryFor(const QString &source, const QString &title)
    {
        return demoEntry(source, title, m_server->url().toString(), m_folderId);
    }

    // Runs one entry to its end; the content id the server gave it, if any.
    QString runOne(Rig &rig, const CVideoItem &item)
    {
        rig.add(item);
        QString contentId;
        connect(&rig.queue, &QueueRunner::entryUploaded, this,
                [&contentId](const QString &, const QString &id) { contentId = id; });
        if (!rig.runToEnd())
            return QStringLiteral("(did not end)");
        return contentId;
    }

    // The kind the server stored a content as, from its content list.
    QString contentType(const QString &contentId) const
    {
        const QStringList lines =
            QString::fromUtf8(m_server->admin({QStringLiteral("content"), QStringLiteral("list")}))
                .split(u'\n', Qt::SkipEmptyParts);
        for (const QString &line : lines) {
            const QStringList fields = line.split(u'\t');
            if (fields.size() > 2 && fields.at(0) == contentId)
                return fields.at(2);
        }
        return {};
    }

    int contentCount() const
    {
        return int(m_server->admin({QStringLiteral("content"), QStringLiteral("list")}).count('\n'));
    }

    QString contentFolder(const QString &contentId) const
    {
        return m_server->dataDir() + QStringLiteral("/contents/") + contentId;
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        // Pages become title cards: no browser start-ups in the tests.
        qputenv("CLIPFERRY_BROWSER", "clipferry-no-browser");
        m_server = std::make_unique<ServerProcess>(m_dir.filePath(QStringLiteral("server")));
        QVERIFY(m_server->start({QStringLiteral("--demo")}));
        m_folderId = m_server->addFolder(QStringLiteral("Talks"));
        QVERIFY(!m_folderId.isEmpty());

        SampleRecordingOptions zdm;
        zdm.singleFile = true;
        zdm.mediaItems = 2;
        zdm.durationSeconds = 2;
        m_zdm = makeSample(m_dir.filePath(QStringLiteral("single")), zdm);
        QVERIFY(!m_zdm.isEmpty());
        // Blanks in the path travel to the thumb tool as commas.
        SampleRecordingOptions slides;
        slides.mediaItems = 2;
        slides.linkItems = 2;
        slides.durationSeconds = 3;
        m_slideProject = makeSample(m_dir.filePath(QStringLiteral("my talks/week 1")), slides);
        QVERIFY(!m_slideProject.isEmpty());
    }

    void quotaMessages_data()
    {
        QTest::addColumn<qint64>("bytes");
        QTest::addColumn<QString>("total");
        QTest::addColumn<QString>("maxsize");
        QTest::addColumn<QString>("free");
        QTest::addColumn<QString>("error");
        constexpr qint64 MB = 1048576;
        QTest::newRow("fits") << 3 * MB << "500"
                              << "100"
                              << "400"
                              << "";
        QTest::newRow("above the maximum size")
            << 150 * MB << "1000"
            << "100"
            << "500"
            << "Exceed the maximum upload size!, maxsize=100MB, required=150MB";
        QTest::newRow("above the free space")
            << 150 * MB << "1000"
            << "500"
            << "100"
            << "No enough space to upload data, total=1000MB, free=100MB, required=150MB";
        QTest::newRow("a half rounds down to even") << 5 * MB / 2 << "10"
                                                    << "2"
                                                    << "2"
                                                    << "";
        QTest::newRow("a half rounds up to even")
            << 7 * MB / 2 << "10"
            << "3"
            << "10"
            << "Exceed the maximum upload size!, maxsize=3MB, required=4MB";
    }
    // Sizes of the folder project as a whole (subfolders too) and of a
    // single-file project alone, beside a large neighbour that never counts.
    void quotaMessages()
    {
        QFETCH(qint64, bytes);
        QFETCH(QString, total);
        QFETCH(QString, maxsize);
        QFETCH(QString, free);
        QFETCH(QString, error);
        QTemporaryDir root;
        const QString folder = root.filePath(QStringLiteral("talk"));
        QVERIFY(QDir().mkpath(folder + QStringLiteral("/slides")));
        writeFile(folder + QStringLiteral("/project.qvp"), "");
        QFile media(folder + QStringLiteral("/slides/media.part"));
        QVERIFY(media.open(QIODevice::WriteOnly) && media.resize(bytes));
        media.close();
        VersionReply reply;
        reply.quotaTotal = total;
        reply.quotaMaxSize = maxsize;
        reply.quotaFree = free;
        const auto check = [&reply](const QString &path) {
            return reply.quotaFailure(UploadTransaction::megabytes(RecordingPreparation::uploadBytes(path)));
        };
        QCOMPARE(check(folder + QStringLiteral("/project.qvp")), error);

        const QString zdm = root.filePath(QStringLiteral("talk.zdm"));
        QVERIFY(QFile::rename(media.fileName(), zdm));
        QFile neighbour(root.filePath(QStringLiteral("other.bin")));
        QVERIFY(neighbour.open(QIODevice::WriteOnly) && neighbour.resize(500 * 1048576));
        QCOMPARE(check(zdm), error);
    }

    void versionReplies_data()
    {
        QTest::addColumn<QString>("reply");
        QTest::addColumn<RecordingVerdict::Next>("next");
        QTest::addColumn<QString>("error");
        QTest::addColumn<QSize>("slideSize");
        QTest::addColumn<bool>("asNew");
        const QSize kept(560, 420);
        const QString tarnError = UploadTransaction::tarnErrorText(m_language);
        QTest::newRow("refused") << "<tarn><errInfo>1201</errInfo></tarn>" << RecordingVerdict::Next::Fail
                                 << "GetVersion: " + m_language.text("frmUpload", "msg_1201") << kept
                                 << false;
        QTest::newRow("refused, shown as is")
            << "<tarn><errInfo>77</errInfo><showInfo>1</showInfo></tarn>" << RecordingVerdict::Next::Fail
            << "GetVersion: 77" << kept << false;
        QTest::newRow("another account's content")
            << "<tarn><overwrite>2</overwrite></tarn>" << RecordingVerdict::Next::Fail
            << "GetVersion: " + m_language.text("frmUpload", "msg_folder2") << kept << false;
        QTest::newRow("slide size") << "<tarn><slidesize>640x480</slidesize></tarn>"
                                    << RecordingVerdict::Next::Pack << "" << QSize(640, 480) << false;
        QTest::newRow("malformed slide size kept") << "<tarn><slidesize>wide</slidesize></tarn>"
                                                   << RecordingVerdict::Next::Pack << "" << kept << false;
        // The sample is well below a megabyte: only a negative limit is too small.
        QTest::newRow("no room")
            << "<tarn><quota><total>9</total><free>9</free><maxsize>-1</maxsize></quota></tarn>"
            << RecordingVerdict::Next::Fail
            << "Exceed the maximum upload size!, maxsize=-1MB, required=" +
                   QString::number(UploadTransaction::megabytes(FileSizeBytes(m_zdm))) + "MB"
            << kept << false;
        QTest::newRow("an empty quota value skips the check")
            << "<tarn><quota><total>9</total><free>0</free><maxsize></maxsize></quota></tarn>"
            << RecordingVerdict::Next::Pack << "" << kept << false;
        QTest::newRow("existing content goes up as new")
            << "<tarn><overwrite>1</overwrite></tarn>" << RecordingVerdict::Next::Pack << "" << kept << true;
        QTest::newRow("not XML goes on") << "<html>" << RecordingVerdict::Next::Pack << "" << kept << false;
    }
    // A single-file project: verified, never given slides, packed as Lumetra.
    void versionReplies()
    {
        QFETCH(QString, reply);
        QFETCH(RecordingVerdict::Next, next);
        QFETCH(QString, error);
        QFETCH(QSize, slideSize);
        QFETCH(bool, asNew);
        Preparation p;
        QTemporaryDir work;
        p.job.workFolder = work.path();
        p.job.entry.path = m_zdm;
        auto unpacked = p.prep.unpackSingleFile(m_zdm, work.path());
        QCOMPARE(QCoro::waitFor(unpacked), QString());
        QVERIFY(p.project.Load(work.filePath(QStringLiteral("project.qvp")), true));
        auto verdict = p.prep.RecordingVersionReply(reply, p.job);
        const RecordingVerdict result = QCoro::waitFor(verdict);
        QCOMPARE(result.next, next);
        QCOMPARE(result.error, error);
        QCOMPARE(QSize(p.prep.slideWidth, p.prep.slideHeight), slideSize);
        QCOMPARE(result.uploadAsNew, asNew);
        if (next == RecordingVerdict::Next::Pack)
            QCOMPARE(result.productName, QStringLiteral("Lumetra"));
        QVERIFY(!QFileInfo::exists(work.filePath(QStringLiteral("slides"))));
        QVERIFY(!QFileInfo::exists(work.filePath(QStringLiteral("thumbList.txt"))));
        QVERIFY(p.runner.startedCommands().isEmpty());
    }

    void slides_data()
    {
        QTest::addColumn<QStringList>("items");
        QTest::addColumn<QByteArray>("list");
        QTest::addColumn<QStringList>("slides");
        // Items are positions, or "link:" and the address.
        QTest::newRow("media, then links")
            << QStringList{"0", "1500", "link:link1.html", "link:link2.png"} << QByteArray("0\r\n1500\r\n")
            << QStringList{"1.jpg", "2.jpg", "3.jpg", "4.jpg", "cover.jpg"};
        QTest::newRow("a link between media items")
            << QStringList{"0", "link:link2.png", "2000"} << QByteArray("0\r\n2000\r\n")
            << QStringList{"1.jpg", "2.jpg", "3.jpg", "cover.jpg"};
        // A position of 1 ms renders to the name slide 1 takes.
        QTest::newRow("small and shared positions")
            << QStringList{"0", "1", "1", "2"} << QByteArray("0\r\n1\r\n1\r\n2\r\n")
            << QStringList{"1.jpg", "2.jpg", "3.jpg", "4.jpg", "cover.jpg"};
        QTest::newRow("no first slide, no cover") << QStringList{"link:missing page.html", "1000"}
                                                  << QByteArray("1000\r\n") << QStringList{"2.jpg"};
    }
    void slides()
    {
        QFETCH(QStringList, items);
        QFETCH(QByteArray, list);
        QFETCH(QStringList, slides);
        Preparation p;
        QVERIFY(p.open(m_slideProject));
        p.project.RemoveIndex(-99);
        for (const QString &item : items) {
            if (item.startsWith(QLatin1String("link:")))
                p.project.AddIndex(QStringLiteral("Link"), QStringLiteral("-1"), {}, item.mid(5), {}, {},
                                   false);
            else
                p.project.AddIndex(QStringLiteral("Chapter"), item, {}, {}, {}, {}, false);
        }
        // Slides of an earlier run are not kept.
        QVERIFY(QDir(p.job.workFolder).mkpath(QStringLiteral("slides")));
        writeFile(QDir(p.job.workFolder).filePath(QStringLiteral("slides/9.jpg")), "old");
        auto made = p.prep.MakeSlides(p.job);
        QCoro::waitFor(made);
        QCOMPARE(readFile(QDir(p.job.workFolder).filePath(QStringLiteral("thumbList.txt"))), list);
        QCOMPARE(slideFiles(p.job.workFolder), slides);
        const QString slideFolder = QDir(p.job.workFolder).filePath(QStringLiteral("slides/"));
        for (const QString &slide : slides) {
            const QSize expected = slide == QLatin1String("cover.jpg") ? QSize(160, 120) : QSize(560, 420);
            QCOMPARE(imageSize(slideFolder + slide), expected);
        }
    }

    // The thumb tool's command line: the page and the image with commas for
    // blanks, the window size, the slide size of the last reply, the delay.
    void thumbCommandLine()
    {
        Preparation p;
        QVERIFY(p.open(m_slideProject));
        QVERIFY(p.prep.applySlideSize(QStringLiteral("320x240")));
        auto made = p.prep.MakeSlides(p.job);
        QCoro::waitFor(made);
        const QString folder = QFileInfo(m_slideProject).absolutePath().replace(u' ', u',');
        QCOMPARE(p.thumbCommands(),
                 (QStringList{
                     "thumb.exe " + folder + "/link1.html " + folder + "/slides/3.jpg 800 600 320 240 2000",
                     "thumb.exe " + folder + "/link2.png " + folder + "/slides/4.jpg 800 600 320 240 2000"}));
        QCOMPARE(slideFiles(p.job.workFolder),
                 (QStringList{"1.jpg", "2.jpg", "3.jpg", "4.jpg", "cover.jpg"}));
        QCOMPARE(imageSize(QDir(p.job.workFolder).filePath(QStringLiteral("slides/1.jpg"))), QSize(320, 240));
        QCOMPARE(imageSize(QDir(p.job.workFolder).filePath(QStringLiteral("slides/4.jpg"))), QSize(320, 240));
    }

    // A version-8 folder project with media and link items and its
    // PowerPoint file beside the folder, from the first request to the
    // stored archive.
    void folderProjectUploads()
    {
        SampleRecordingOptions options;
        options.mediaItems = 2;
        options.linkItems = 2;
        options.durationSeconds = 3;
        const QString project = makeSample(m_dir.filePath(QStringLiteral("talks/week1")), options);
        QVERIFY(!project.isEmpty());
        writeFile(m_dir.filePath(QStringLiteral("talks/week1.pptx")), "slides of the talk");
        Rig rig;
        const QString contentId = runOne(rig, entryFor(project, QStringLiteral("Week one")));
        QCOMPARE(rig.state(project), QStringLiteral("Finished"));
        QVERIFY(contentId.toInt() > 0);
        QCOMPARE(contentType(contentId), QStringLiteral("Corvana"));

        const QString stored = contentFolder(contentId);
        const QStringList entries = zipEntries(stored + QStringLiteral("/tarn_file.zip"));
        for (const char *name :
             {"tarn_profile.xml", "project.qvp", "media.qv", "thumbList.txt", "week1.pptx", "slides/1.jpg",
              "slides/2.jpg", "slides/3.jpg", "slides/4.jpg", "slides/cover.jpg"})
            QVERIFY2(entries.contains(QLatin1String(name)), name);
        QVERIFY(!entries.contains(QStringLiteral("slides/5.jpg")));
        QCOMPARE(imageSize(stored + QStringLiteral("/files/slides/cover.jpg")), QSize(160, 120));

        pugi::xml_document profile;
        QVERIFY(Xml::parseFile(profile, stored + QStringLiteral("/files/tarn_profile.xml")));
        QCOMPARE(Xml::GetTextByPath(profile, QStringLiteral("type")), QStringLiteral("Corvana"));
        QCOMPARE(Xml::GetTextByPath(profile, QStringLiteral("metadata.title")), QStringLiteral("Week one"));
        QCOMPARE(Xml::GetTextByPath(profile, QStringLiteral("metadata.keywords")),
                 QStringLiteral("sample demo"));
        QCOMPARE(Xml::GetTextByPath(profile, QStringLiteral("metadata.abstract")),
                 QStringLiteral("Made by clipferry-cli sample recording."));
        QCOMPARE(Xml::GetTextByPath(profile, QStringLiteral("metadata.project")),
                 QStringLiteral("week1.pptx"));

        // The project folder keeps the binding for the next upload, and
        // none of the PowerPoint file.
        pugi::xml_document kept;
        QVERIFY(Xml::parseFile(kept, QFileInfo(project).dir().filePath(QStringLiteral("tarn_profile.xml"))));
        QCOMPARE(Xml::GetTextByPath(kept, QStringLiteral("server.contentID")), contentId);
        QVERIFY(!QFileInfo::exists(QFileInfo(project).dir().filePath(QStringLiteral("week1.pptx"))));
        QVERIFY(QFileInfo::exists(project));
    }

    // A single-file project goes up as it is and learns its content id.
    void singleFileProjectUploads()
    {
        const QString zdm = m_dir.filePath(QStringLiteral("single/upload.zdm"));
        QVERIFY(QFile::copy(m_zdm, zdm));
        const QByteArray original = readFile(zdm);
        Rig rig;
        const QString contentId = runOne(rig, entryFor(zdm, QStringLiteral("Single")));
        QCOMPARE(rig.state(zdm), QStringLiteral("Finished"));
        QVERIFY(contentId.toInt() > 0);
        QCOMPARE(contentType(contentId), QStringLiteral("Lumetra"));
        QCOMPARE(readFile(contentFolder(contentId) + QStringLiteral("/project.zdm")), original);
        QVERIFY(!QFileInfo::exists(QDir(rig.queue.workFolder()).filePath(QStringLiteral("slides"))));
        QVERIFY(QDir::temp().entryList({QStringLiteral("_qvVidZip_*")}).isEmpty());

        // The binding is written back into the project inside the file, and
        // the entry follows its changed file.
        QProcess unzip;
        unzip.start(QStringLiteral("unzip"), {QStringLiteral("-p"), zdm, QStringLiteral("project.qvp")});
        QVERIFY(unzip.waitForFinished(30000));
        pugi::xml_document project;
        QVERIFY(Xml::parseText(project, unzip.readAllStandardOutput()));
        QCOMPARE(Xml::GetTextByPath(project, QStringLiteral("project.tarninfo.server.contentID")), contentId);
        QCOMPARE(rig.grid.item(zdm)->fileSize, FileSizeBytes(zdm));
    }

    void damagedMedia_data()
    {
        QTest::addColumn<bool>("singleFile");
        QTest::newRow("folder project") << false;
        QTest::newRow("single-file project") << true;
    }
    void damagedMedia()
    {
        QFETCH(bool, singleFile);
        SampleRecordingOptions options;
        options.singleFile = singleFile;
        options.damaged = true;
        options.mediaItems = 1;
        options.linkItems = 0;
        options.durationSeconds = 2;
        const QString path = makeSample(
            m_dir.filePath(singleFile ? QStringLiteral("damaged-zdm") : QStringLiteral("damaged")), options);
        QVERIFY(!path.isEmpty());
        Rig rig;
        QCOMPARE(runOne(rig, entryFor(path, QStringLiteral("Damaged"))), QString());
        QCOMPARE(rig.state(path), QStringLiteral("Failed"));
        QCOMPARE(rig.error(path), m_language.text("frmCommon", "msgVerifyQvErr", "Verify project error!"));
        QVERIFY(rig.view.labels.last().endsWith(m_language.text("frmUpload", "lInfoFail")));
        QVERIFY(!QFileInfo::exists(QFileInfo(path).dir().filePath(QStringLiteral("slides"))));
    }

    // Stop in any step of a recording (verifying its media, rendering its
    // slides, packing) puts it back to "Waiting" at once, with no child left
    // and nothing uploaded.
    void stopPutsRecordingBack_data()
    {
        QTest::addColumn<bool>("singleFile");
        QTest::addColumn<QString>("statusStart");
        QTest::newRow("verifying") << true << m_language.text("frmCommon", "msgVerifyWholeQv");
        QTest::newRow("rendering slides") << false << QStringLiteral("Creating slides ... ");
        QTest::newRow("packing") << false << m_language.text("frmUpload", "msgPack");
    }
    void stopPutsRecordingBack()
    {
        QFETCH(bool, singleFile);
        QFETCH(QString, statusStart);
        Rig rig;
        QElapsedTimer sinceStop;
        rig.view.onStatus = [&](const QString &text) {
            if (!sinceStop.isValid() && text.startsWith(statusStart)) {
                sinceStop.start();
                rig.queue.Stop();
            }
        };
        QString source;
        if (singleFile) {
            source = m_dir.filePath(QStringLiteral("single/stopped.zdm"));
            QFile::remove(source);
            QVERIFY(QFile::copy(m_zdm, source));
        } else {
            source = m_slideProject;
        }
        const int before = contentCount();
        QCOMPARE(runOne(rig, entryFor(source, QStringLiteral("Stopped"))), QString());
        QVERIFY(sinceStop.isValid());
        QVERIFY2(sinceStop.elapsed() < 1000, qPrintable(QString::number(sinceStop.elapsed())));
        QCOMPARE(rig.state(source), QStringLiteral("Waiting"));
        QCOMPARE(rig.view.status, m_language.text("frmUpload", "lInfoCancel"));
        QCOMPARE(rig.session.processes().runningCount(), 0);
        QVERIFY(rig.controls.start);
        QCOMPARE(contentCount(), before);
        if (singleFile)
            QVERIFY(!QFileInfo::exists(rig.queue.workFolder()));
    }
};

int runRecordingTests(int argc, char *argv[])
{
    TestRecording tests;
    return QTest::qExec(&tests, argc, argv);
}

#include "test_recording.moc"
