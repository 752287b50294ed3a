// Recording projects: the reply handling, the slides and their cover, and
// whole runs of folder and single-file projects against the real server,
// on recordings made by the sample generator.

#include "common/XmlUtil.h"
#include "pipeline/ExecRunner.h"
#include "pipeline/RecordingPreparation.h"
#include "pipeline/UploadTransaction.h"
#include "recorder/MediaLibraries.h"
#include "recorder/SampleRecording.h"
#include "support/Rig.h"

#include <QElapsedTimer>
#include <QImageReader>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {

// One preparation on a session of its own.
struct Preparation
{
    Rig rig;
    ExecRunner runner{rig.session.processes(), rig.session.options(), rig.view, rig.session.messages()};
    MediaLibraries libraries{rig.session.processes()};
    RecordingPreparation prep{
        {rig.view, rig.controls, runner, libraries, rig.session.project(), rig.session.language()}};
    EntryJob job;

    // Loads a folder project and works in its folder.
    bool open(const QString &projectFile)
    {
        job.entry.path = projectFile;
        job.workFolder = QFileInfo(projectFile).absolutePath();
        return rig.session.project().Load(projectFile, true);
    }
    QStringList slides() const
    {
        return QDir(QDir(job.workFolder).filePath(u"slides"_s)).entryList(QDir::Files, QDir::Name);
    }
    QSize slideSize(const QString &name) const
    {
        return QImageReader(QDir(job.workFolder).filePath(u"slides/"_s + name)).size();
    }
};

QString makeSample(const QString &folder, SampleRecordingOptions options)
{
    const SampleRecordingResult result =
        QCoro::waitFor(makeSampleRecording(testProcesses(), folder, options));
    if (!result.error.isEmpty())
        qWarning() << result.error;
    return result.path;
}

} // namespace

class TestRecording : public QObject
{
    Q_OBJECT

    const LanguageTable m_language{languageFile()};
    QTemporaryDir m_dir;
    std::unique_ptr<DemoServer> m_server;
    QString m_zdm;
    QString m_slideProject;

    // Runs one entry to its end; the content id the server gave it, if any.
    static QString runOne(Rig &rig, const CVideoItem &item)
    {
        rig.add(item);
        if (!rig.runToEnd())
            return u"(did not end)"_s;
        return rig.uploaded.value(0);
    }

    // The kind the server stored a content as.
    QString contentType(const QString &contentId) const
    {
        for (const QString &line : m_server->contents()) {
            if (const QStringList fields = line.split(u'\t'); fields.size() > 2 && fields.at(0) == contentId)
                return fields.at(2);
        }
        return {};
    }

    QString text(const char *section, const char *key) const
    {
        return m_language.text(QLatin1String(section), QLatin1String(key));
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        // Pages become title cards: no browser start-ups in the tests.
        qputenv("CLIPFERRY_BROWSER", "clipferry-no-browser");
        m_server = std::make_unique<DemoServer>(m_dir.filePath(u"server"_s));
        QVERIFY(m_server->start());

        SampleRecordingOptions zdm;
        zdm.singleFile = true;
        zdm.mediaItems = 2;
        zdm.durationSeconds = 2;
        m_zdm = makeSample(m_dir.filePath(u"single"_s), zdm);
        QVERIFY(!m_zdm.isEmpty());
        // Blanks in the path travel to the thumb tool as commas.
        SampleRecordingOptions slides;
        slides.mediaItems = 2;
        slides.linkItems = 2;
        slides.durationSeconds = 3;
        m_slideProject = makeSample(m_dir.filePath(u"my talks/week 1"_s), slides);
        QVERIFY(!m_slideProject.isEmpty());
    }

    // The size rule of every upload: whole megabytes, halves to the even
    // neighbour, against the maximum size first, then the free space. A
    // folder project counts as a whole (subfolders too), a single-file
    // project alone, beside a large neighbour that never counts.
    void quotaMessages_data()
    {
        QTest::addColumn<qint64>("bytes");
        QTest::addColumn<QString>("total");
        QTest::addColumn<QString>("maxsize");
        QTest::addColumn<QString>("free");
        QTest::addColumn<QString>("error");
        constexpr qint64 MB = 1048576;
        QTest::newRow("above the maximum size")
            << 150 * MB << u"1000"_s << u"100"_s << u"500"_s
            << u"Exceed the maximum upload size!, maxsize=100MB, required=150MB"_s;
        QTest::newRow("above the free space")
            << 150 * MB << u"1000"_s << u"500"_s << u"100"_s
            << u"No enough space to upload data, total=1000MB, free=100MB, required=150MB"_s;
        QTest::newRow("a half rounds down to even") << 5 * MB / 2 << u"10"_s << u"2"_s << u"2"_s << QString();
        QTest::newRow("a half rounds up to even")
            << 7 * MB / 2 << u"10"_s << u"3"_s << u"10"_s
            << u"Exceed the maximum upload size!, maxsize=3MB, required=4MB"_s;
    }
    void quotaMessages()
    {
        QFETCH(qint64, bytes);
        QFETCH(QString, total);
        QFETCH(QString, maxsize);
        QFETCH(QString, free);
        QFETCH(QString, error);
        QTemporaryDir root;
        const QString folder = root.filePath(u"talk"_s);
        QVERIFY(QDir().mkpath(folder + u"/slides"_s));
        writeFile(folder + u"/project.qvp"_s, "");
        QFile media(folder + u"/slides/media.part"_s);
        QVERIFY(media.open(QIODevice::WriteOnly) && media.resize(bytes));
        media.close();
        VersionReply reply;
        reply.quotaTotal = total;
        reply.quotaMaxSize = maxsize;
        reply.quotaFree = free;
        const auto check = [&reply](const QString &path) {
            return reply.quotaFailure(UploadTransaction::megabytes(RecordingPreparation::uploadBytes(path)));
        };
        QCOMPARE(check(folder + u"/project.qvp"_s), error);
        const QString zdm = root.filePath(u"talk.zdm"_s);
        QVERIFY(QFile::rename(media.fileName(), zdm));
        QFile neighbour(root.filePath(u"other.bin"_s));
        QVERIFY(neighbour.open(QIODevice::WriteOnly) && neighbour.resize(500 * 1048576));
        QCOMPARE(check(zdm), error);
    }

    // The error texts of a refusing reply, the slide size and the overwrite
    // answer, on a single-file project: verified, never given slides,
    // packed as Lumetra.
    void versionReplies_data()
    {
        QTest::addColumn<QString>("reply");
        QTest::addColumn<bool>("pack");
        QTest::addColumn<QString>("error");
        QTest::addColumn<QSize>("slideSize");
        QTest::addColumn<bool>("asNew");
        const QSize kept(560, 420);
        const QString tarnError = UploadTransaction::tarnErrorText(m_language);
        QTest::newRow("refused") << u"<tarn><errInfo>1201</errInfo></tarn>"_s << false
                                 << u"GetVersion: "_s + text("frmUpload", "msg_1201") << kept << false;
        QTest::newRow("refused, unknown key") << u"<tarn><errInfo>77</errInfo></tarn>"_s << false
                                              << u"GetVersion: "_s + tarnError + u" (77)"_s << kept << false;
        QTest::newRow("refused, shown as is") << u"<tarn><errInfo>77</errInfo><showInfo>1</showInfo></tarn>"_s
                                              << false << u"GetVersion: 77"_s << kept << false;
        QTest::newRow("another account's content")
            << u"<tarn><overwrite>2</overwrite></tarn>"_s << false
            << u"GetVersion: "_s + text("frmUpload", "msg_folder2") << kept << false;
        QTest::newRow("slide size") << u"<tarn><slidesize>640x480</slidesize></tarn>"_s << true << QString()
                                    << QSize(640, 480) << false;
        QTest::newRow("malformed slide size kept")
            << u"<tarn><slidesize>wide</slidesize></tarn>"_s << true << QString() << kept << false;
        // The sample is well below a megabyte: only a negative limit is too small.
        QTest::newRow("no room")
            << u"<tarn><quota><total>9</total><free>9</free><maxsize>-1</maxsize></quota></tarn>"_s << false
            << u"Exceed the maximum upload size!, maxsize=-1MB, required=%1MB"_s.arg(
                   UploadTransaction::megabytes(FileSizeBytes(m_zdm)))
            << kept << false;
        QTest::newRow("an empty quota value skips the check")
            << u"<tarn><quota><total>9</total><free>0</free><maxsize></maxsize></quota></tarn>"_s << true
            << QString() << kept << false;
        QTest::newRow("existing content goes up as new")
            << u"<tarn><overwrite>1</overwrite></tarn>"_s << true << QString() << kept << true;
        QTest::newRow("not XML goes on") << u"<html>"_s << true << QString() << kept << false;
    }
    void versionReplies()
    {
        QFETCH(QString, reply);
        QFETCH(bool, pack);
        QFETCH(QString, error);
        QFETCH(QSize, slideSize);
        QFETCH(bool, asNew);
        Preparation p;
        QTemporaryDir work;
        p.job.workFolder = work.path();
        p.job.entry.path = m_zdm;
        QCOMPARE(QCoro::waitFor(p.prep.unpackSingleFile(m_zdm, work.path())), QString());
        QVERIFY(p.rig.session.project().Load(work.filePath(u"project.qvp"_s), true));
        const RecordingVerdict result = QCoro::waitFor(p.prep.RecordingVersionReply(reply, p.job));
        QCOMPARE(result.next, pack ? RecordingVerdict::Next::Pack : RecordingVerdict::Next::Fail);
        QCOMPARE(result.error, error);
        QCOMPARE(QSize(p.prep.slideWidth, p.prep.slideHeight), slideSize);
        QCOMPARE(result.uploadAsNew, asNew);
        QCOMPARE(result.productName, pack ? u"Lumetra"_s : QString());
        QVERIFY(!QFileInfo::exists(work.filePath(u"slides"_s)));
        QVERIFY(!QFileInfo::exists(work.filePath(u"thumbList.txt"_s)));
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
        CProjectFile &project = p.rig.session.project();
        project.RemoveIndex(-99);
        for (const QString &item : items) {
            if (item.startsWith(u"link:"))
                project.AddIndex(u"Link"_s, u"-1"_s, {}, item.mid(5), {}, {}, false);
            else
                project.AddIndex(u"Chapter"_s, item, {}, {}, {}, {}, false);
        }
        // Slides of an earlier run are not kept.
        QVERIFY(QDir(p.job.workFolder).mkpath(u"slides"_s));
        writeFile(QDir(p.job.workFolder).filePath(u"slides/9.jpg"_s), "old");
        QCoro::waitFor(p.prep.MakeSlides(p.job));
        QCOMPARE(readFile(QDir(p.job.workFolder).filePath(u"thumbList.txt"_s)), list);
        QCOMPARE(p.slides(), slides);
        for (const QString &slide : slides)
            QCOMPARE(p.slideSize(slide), slide == u"cover.jpg" ? QSize(160, 120) : QSize(560, 420));
    }

    // The thumb tool's command line: the page and the image with commas for
    // blanks, the window size, the slide size of the last reply, the delay.
    void thumbCommandLine()
    {
        Preparation p;
        QVERIFY(p.open(m_slideProject));
        QVERIFY(p.prep.applySlideSize(u"320x240"_s));
        QCoro::waitFor(p.prep.MakeSlides(p.job));
        const QString folder = QFileInfo(m_slideProject).absolutePath().replace(u' ', u',');
        QCOMPARE(p.runner.startedCommands().filter(QRegularExpression(u"^thumb.exe "_s)),
                 (QStringList{
                     "thumb.exe " + folder + "/link1.html " + folder + "/slides/3.jpg 800 600 320 240 2000",
                     "thumb.exe " + folder + "/link2.png " + folder + "/slides/4.jpg 800 600 320 240 2000"}));
        QCOMPARE(p.slides(), (QStringList{"1.jpg", "2.jpg", "3.jpg", "4.jpg", "cover.jpg"}));
        QCOMPARE(p.slideSize(u"1.jpg"_s), QSize(320, 240));
        QCOMPARE(p.slideSize(u"4.jpg"_s), QSize(320, 240));
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
        const QString project = makeSample(m_dir.filePath(u"talks/week1"_s), options);
        QVERIFY(!project.isEmpty());
        writeFile(m_dir.filePath(u"talks/week1.pptx"_s), "slides of the talk");
        Rig rig;
        const QString contentId = runOne(rig, m_server->entry(project, u"Week one"_s));
        QCOMPARE(rig.state(project), u"Finished"_s);
        QVERIFY(contentId.toInt() > 0);
        QCOMPARE(contentType(contentId), u"Corvana"_s);

        const QString stored = m_server->contentFolder(contentId);
        const QStringList entries = zipEntries(stored + u"/tarn_file.zip"_s);
        for (const char *name :
             {"tarn_profile.xml", "project.qvp", "media.qv", "thumbList.txt", "week1.pptx", "slides/1.jpg",
              "slides/2.jpg", "slides/3.jpg", "slides/4.jpg", "slides/cover.jpg"})
            QVERIFY2(entries.contains(QLatin1String(name)), name);
        QVERIFY(!entries.contains(u"slides/5.jpg"_s));
        QCOMPARE(QImageReader(stored + u"/files/slides/cover.jpg"_s).size(), QSize(160, 120));

        pugi::xml_document profile;
        QVERIFY(Xml::parseFile(profile, stored + u"/files/tarn_profile.xml"_s));
        QCOMPARE(Xml::GetTextByPath(profile, u"type"_s), u"Corvana"_s);
        QCOMPARE(Xml::GetTextByPath(profile, u"metadata.title"_s), u"Week one"_s);
        QCOMPARE(Xml::GetTextByPath(profile, u"metadata.keywords"_s), u"sample demo"_s);
        QCOMPARE(Xml::GetTextByPath(profile, u"metadata.abstract"_s),
                 u"Made by clipferry-cli sample recording."_s);
        QCOMPARE(Xml::GetTextByPath(profile, u"metadata.project"_s), u"week1.pptx"_s);

        // The project folder keeps the binding for the next upload, and
        // none of the PowerPoint file.
        pugi::xml_document kept;
        QVERIFY(Xml::parseFile(kept, QFileInfo(project).dir().filePath(u"tarn_profile.xml"_s)));
        QCOMPARE(Xml::GetTextByPath(kept, u"server.contentID"_s), contentId);
        QVERIFY(!QFileInfo::exists(QFileInfo(project).dir().filePath(u"week1.pptx"_s)));
        QVERIFY(QFileInfo::exists(project));
    }

    // A single-file project goes up as it is and learns its content id.
    void singleFileProjectUploads()
    {
        const QString zdm = m_dir.filePath(u"single/upload.zdm"_s);
        QVERIFY(QFile::copy(m_zdm, zdm));
        const QByteArray original = readFile(zdm);
        Rig rig;
        const QString contentId = runOne(rig, m_server->entry(zdm, u"Single"_s));
        QCOMPARE(rig.state(zdm), u"Finished"_s);
        QVERIFY(contentId.toInt() > 0);
        QCOMPARE(contentType(contentId), u"Lumetra"_s);
        QCOMPARE(readFile(m_server->contentFolder(contentId) + u"/project.zdm"_s), original);
        QVERIFY(!QFileInfo::exists(QDir(rig.queue.workFolder()).filePath(u"slides"_s)));
        QVERIFY(QDir::temp().entryList({u"_qvVidZip_*"_s}).isEmpty());

        // The binding is written back into the project inside the file, and
        // the entry follows its changed file.
        pugi::xml_document project;
        QVERIFY(Xml::parseText(project,
                               runProgram(u"unzip"_s, {u"-p"_s, zdm, u"project.qvp"_s}).output.toUtf8()));
        QCOMPARE(Xml::GetTextByPath(project, u"project.tarninfo.server.contentID"_s), contentId);
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
        const QString path =
            makeSample(m_dir.filePath(singleFile ? u"damaged-zdm"_s : u"damaged"_s), options);
        QVERIFY(!path.isEmpty());
        Rig rig;
        QCOMPARE(runOne(rig, m_server->entry(path, u"Damaged"_s)), QString());
        QCOMPARE(rig.state(path), u"Failed"_s);
        QCOMPARE(rig.error(path), text("frmCommon", "msgVerifyQvErr"));
        QVERIFY(rig.view.labels.last().endsWith(text("frmUpload", "lInfoFail")));
        QVERIFY(!QFileInfo::exists(QFileInfo(path).dir().filePath(u"slides"_s)));
    }

    // Stop in any step of a recording (verifying its media, rendering its
    // slides, packing) puts it back to "Waiting" at once, with no child left
    // and nothing uploaded.
    void stopPutsRecordingBack_data()
    {
        QTest::addColumn<bool>("singleFile");
        QTest::addColumn<QString>("statusStart");
        QTest::newRow("verifying") << true << text("frmCommon", "msgVerifyWholeQv");
        QTest::newRow("rendering slides") << false << u"Creating slides ... "_s;
        QTest::newRow("packing") << false << text("frmUpload", "msgPack");
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
        QString source = m_slideProject;
        if (singleFile) {
            source = m_dir.filePath(u"single/stopped.zdm"_s);
            QFile::remove(source);
            QVERIFY(QFile::copy(m_zdm, source));
        }
        const qsizetype before = m_server->contents().size();
        QCOMPARE(runOne(rig, m_server->entry(source, u"Stopped"_s)), QString());
        QVERIFY(sinceStop.isValid());
        QVERIFY2(sinceStop.elapsed() < 1000, qPrintable(QString::number(sinceStop.elapsed())));
        QCOMPARE(rig.state(source), u"Waiting"_s);
        QCOMPARE(rig.view.status, text("frmUpload", "lInfoCancel"));
        QCOMPARE(rig.session.processes().runningCount(), 0);
        QVERIFY(rig.controls.start);
        QCOMPARE(m_server->contents().size(), before);
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
