// Recording projects: the reply handling, the slides and their cover, and whole
// runs of sample folder and single-file projects against the real server.

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

struct Preparation
{
    Rig rig;
    ExecRunner runner{rig.session.processes(), rig.session.options(), rig.view, rig.session.messages()};
    MediaLibraries libraries{rig.session.processes()};
    RecordingPreparation prep{
        {rig.view, rig.controls, runner, libraries, rig.session.project(), rig.session.language()}};
    EntryJob job;

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
    const SampleRecordingOptions m_slideOptions{.mediaItems = 2, .linkItems = 2, .durationSeconds = 3};

    // Runs one entry to its end; the content id the server gave it, if any.
    static QString runOne(Rig &rig, const CVideoItem &item)
    {
        rig.add(item);
        if (!rig.runToEnd())
            return u"(did not end)"_s;
        return rig.uploaded.value(0);
    }

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

        m_zdm = makeSample(m_dir.filePath(u"single"_s),
                           {.singleFile = true, .mediaItems = 2, .durationSeconds = 2});
        QVERIFY(!m_zdm.isEmpty());
        // Blanks in the path travel to the thumb tool as commas.
        m_slideProject = makeSample(m_dir.filePath(u"my talks/week 1"_s), m_slideOptions);
        QVERIFY(!m_slideProject.isEmpty());
    }

    // Whole megabytes, halves to even, maximum size before free space; a folder project counts
    // whole, a single-file project without its large neighbour.
    void quotaMessages()
    {
        constexpr qint64 MB = 1048576;
        const struct
        {
            qint64 bytes;
            QString total, maxsize, free, error;
        } cases[] = {
            {150 * MB, u"1000"_s, u"100"_s, u"500"_s,
             u"Exceed the maximum upload size!, maxsize=100MB, required=150MB"_s},
            {150 * MB, u"1000"_s, u"500"_s, u"100"_s,
             u"No enough space to upload data, total=1000MB, free=100MB, required=150MB"_s},
            {5 * MB / 2, u"10"_s, u"2"_s, u"2"_s, {}}, // a half rounds down to even
            {7 * MB / 2, u"10"_s, u"3"_s, u"10"_s,
             u"Exceed the maximum upload size!, maxsize=3MB, required=4MB"_s},
        };
        for (const auto &c : cases) {
            QTemporaryDir root;
            const QString folder = root.filePath(u"talk"_s);
            QVERIFY(QDir().mkpath(folder + u"/slides"_s));
            writeFile(folder + u"/project.qvp"_s, "");
            QFile media(folder + u"/slides/media.part"_s);
            QVERIFY(media.open(QIODevice::WriteOnly) && media.resize(c.bytes));
            media.close();
            VersionReply reply;
            reply.quotaTotal = c.total;
            reply.quotaMaxSize = c.maxsize;
            reply.quotaFree = c.free;
            const auto check = [&reply](const QString &path) {
                return reply.quotaFailure(
                    UploadTransaction::megabytes(RecordingPreparation::uploadBytes(path)));
            };
            QCOMPARE(check(folder + u"/project.qvp"_s), c.error);
            const QString zdm = root.filePath(u"talk.zdm"_s);
            QVERIFY(QFile::rename(media.fileName(), zdm));
            QFile neighbour(root.filePath(u"other.bin"_s));
            QVERIFY(neighbour.open(QIODevice::WriteOnly) && neighbour.resize(500 * 1048576));
            QCOMPARE(check(zdm), c.error);
        }
    }

    // Refusing replies, slide size and overwrite on a single-file project: never given slides.
    void versionReplies()
    {
        const struct
        {
            QString reply;
            bool pack;
            QString error;
            QSize slideSize = QSize(560, 420);
            bool asNew = false;
        } cases[] = {
            {u"<tarn><errInfo>1201</errInfo></tarn>"_s, false,
             u"GetVersion: "_s + text("frmUpload", "msg_1201")},
            {u"<tarn><errInfo>77</errInfo></tarn>"_s, false,
             u"GetVersion: "_s + UploadTransaction::tarnErrorText(m_language) + u" (77)"_s},
            {u"<tarn><errInfo>77</errInfo><showInfo>1</showInfo></tarn>"_s, false, u"GetVersion: 77"_s},
            // Another account's content.
            {u"<tarn><overwrite>2</overwrite></tarn>"_s, false,
             u"GetVersion: "_s + text("frmUpload", "msg_folder2")},
            {u"<tarn><slidesize>640x480</slidesize></tarn>"_s, true, {}, QSize(640, 480)},
            {u"<tarn><slidesize>wide</slidesize></tarn>"_s, true, {}}, // malformed: the size is kept
            // The sample is well below a megabyte: only a negative limit is too small.
            {u"<tarn><quota><total>9</total><free>9</free><maxsize>-1</maxsize></quota></tarn>"_s, false,
             u"Exceed the maximum upload size!, maxsize=-1MB, required=%1MB"_s.arg(
                 UploadTransaction::megabytes(FileSizeBytes(m_zdm)))},
            // An empty quota value skips the check.
            {u"<tarn><quota><total>9</total><free>0</free><maxsize></maxsize></quota></tarn>"_s, true, {}},
            // Existing content goes up as new.
            {.reply = u"<tarn><overwrite>1</overwrite></tarn>"_s, .pack = true, .error = {}, .asNew = true},
            {u"<html>"_s, true, {}}, // not XML goes on
        };
        for (const auto &c : cases) {
            Preparation p;
            QTemporaryDir work;
            p.job.workFolder = work.path();
            p.job.entry.path = m_zdm;
            QCOMPARE(QCoro::waitFor(p.prep.unpackSingleFile(m_zdm, work.path())), QString());
            QVERIFY(p.rig.session.project().Load(work.filePath(u"project.qvp"_s), true));
            const RecordingVerdict result = QCoro::waitFor(p.prep.RecordingVersionReply(c.reply, p.job));
            QVERIFY2(result.next == (c.pack ? RecordingVerdict::Next::Pack : RecordingVerdict::Next::Fail),
                     qPrintable(c.reply));
            QCOMPARE(result.error, c.error);
            QCOMPARE(QSize(p.prep.slideWidth, p.prep.slideHeight), c.slideSize);
            QVERIFY2(result.uploadAsNew == c.asNew, qPrintable(c.reply));
            QCOMPARE(result.productName, c.pack ? u"Lumetra"_s : QString());
            QVERIFY(!QFileInfo::exists(work.filePath(u"slides"_s)));
            QVERIFY(!QFileInfo::exists(work.filePath(u"thumbList.txt"_s)));
            QVERIFY(p.runner.startedCommands().isEmpty());
        }
    }

    // Items are positions, or "link:" and the address.
    void slides()
    {
        const struct
        {
            QStringList items;
            QByteArray list;
            QStringList slides;
        } cases[] = {
            {{"0", "1500", "link:link1.html", "link:link2.png"},
             "0\r\n1500\r\n",
             {"1.jpg", "2.jpg", "3.jpg", "4.jpg", "cover.jpg"}},
            // A position of 1 ms renders to the name slide 1 takes.
            {{"0", "1", "1", "2"}, "0\r\n1\r\n1\r\n2\r\n", {"1.jpg", "2.jpg", "3.jpg", "4.jpg", "cover.jpg"}},
            // No first slide, no cover.
            {{"link:missing page.html", "1000"}, "1000\r\n", {"2.jpg"}},
        };
        for (const auto &c : cases) {
            Preparation p;
            QVERIFY(p.open(m_slideProject));
            CProjectFile &project = p.rig.session.project();
            project.RemoveIndex(-99);
            for (const QString &item : c.items) {
                if (item.startsWith(u"link:"))
                    project.AddIndex(u"Link"_s, u"-1"_s, {}, item.mid(5), {}, {}, false);
                else
                    project.AddIndex(u"Chapter"_s, item, {}, {}, {}, {}, false);
            }
            // Slides of an earlier run are not kept.
            QVERIFY(QDir(p.job.workFolder).mkpath(u"slides"_s));
            writeFile(QDir(p.job.workFolder).filePath(u"slides/9.jpg"_s), "old");
            QCoro::waitFor(p.prep.MakeSlides(p.job));
            QCOMPARE(readFile(QDir(p.job.workFolder).filePath(u"thumbList.txt"_s)), c.list);
            QCOMPARE(p.slides(), c.slides);
            for (const QString &slide : c.slides)
                QCOMPARE(p.slideSize(slide), slide == u"cover.jpg" ? QSize(160, 120) : QSize(560, 420));
        }
    }

    // The thumb tool's command line: blanks become commas, the slide size is the last reply's.
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

    // A version-8 folder project with link items and a PowerPoint file beside it, to the stored archive.
    void folderProjectUploads()
    {
        const QString project = makeSample(m_dir.filePath(u"talks/week1"_s), m_slideOptions);
        writeFile(m_dir.filePath(u"talks/week1.pptx"_s), "slides of the talk");
        Rig rig;
        const QString contentId = runOne(rig, m_server->entry(project, u"Week one"_s));
        QCOMPARE((QStringList{rig.state(project), contentType(contentId)}),
                 (QStringList{"Finished", "Corvana"}));

        const QString stored = m_server->contentFolder(contentId);
        const QStringList entries = zipEntries(stored + u"/tarn_file.zip"_s);
        for (const char *name :
             {"tarn_profile.xml", "project.qvp", "media.qv", "thumbList.txt", "week1.pptx", "slides/1.jpg",
              "slides/2.jpg", "slides/3.jpg", "slides/4.jpg", "slides/cover.jpg"})
            QVERIFY2(entries.contains(QLatin1String(name)), name);
        QVERIFY(!entries.contains(u"slides/5.jpg"_s));
        QCOMPARE(QImageReader(stored + u"/files/slides/cover.jpg"_s).size(), QSize(160, 120));

        QCOMPARE(xmlTexts(stored + u"/files/tarn_profile.xml"_s,
                          {u"type"_s, u"metadata.title"_s, u"metadata.keywords"_s, u"metadata.abstract"_s,
                           u"metadata.project"_s}),
                 (QStringList{"Corvana", "Week one", "sample demo", "Made by clipferry-cli sample recording.",
                              "week1.pptx"}));

        // The project folder keeps the binding for the next upload, not the PowerPoint file.
        QCOMPARE(xmlTexts(QFileInfo(project).dir().filePath(u"tarn_profile.xml"_s), {u"server.contentID"_s}),
                 QStringList{contentId});
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
        QCOMPARE((QStringList{rig.state(zdm), contentType(contentId)}), (QStringList{"Finished", "Lumetra"}));
        QCOMPARE(readFile(m_server->contentFolder(contentId) + u"/project.zdm"_s), original);
        QVERIFY(!QFileInfo::exists(QDir(rig.queue.workFolder()).filePath(u"slides"_s)));
        QVERIFY(QDir::temp().entryList({u"_qvVidZip_*"_s}).isEmpty());

        // The binding is written into the file's project; the entry follows the changed file.
        pugi::xml_document project;
        QVERIFY(Xml::parseText(project,
                               runProgram(u"unzip"_s, {u"-p"_s, zdm, u"project.qvp"_s}).output.toUtf8()));
        QCOMPARE(Xml::GetTextByPath(project, u"project.tarninfo.server.contentID"_s), contentId);
        QCOMPARE(rig.grid.item(zdm)->fileSize, FileSizeBytes(zdm));
    }

    void damagedMedia()
    {
        for (const bool singleFile : {false, true}) {
            const QString path = makeSample(m_dir.filePath(singleFile ? u"damaged-zdm"_s : u"damaged"_s),
                                            {.singleFile = singleFile,
                                             .mediaItems = 1,
                                             .linkItems = 0,
                                             .durationSeconds = 2,
                                             .damaged = true});
            Rig rig;
            QCOMPARE(runOne(rig, m_server->entry(path, u"Damaged"_s)), QString());
            QCOMPARE((QStringList{rig.state(path), rig.error(path)}),
                     (QStringList{u"Failed"_s, text("frmCommon", "msgVerifyQvErr")}));
            QVERIFY(rig.view.labels.last().endsWith(text("frmUpload", "lInfoFail")));
            QVERIFY(!QFileInfo::exists(QFileInfo(path).dir().filePath(u"slides"_s)));
        }
    }

    // Stop in any step of a recording puts it back to "Waiting" at once, with no child left.
    void stopPutsRecordingBack()
    {
        const QList<QPair<bool, QString>> cases{{true, text("frmCommon", "msgVerifyWholeQv")},
                                                {false, u"Creating slides ... "_s},
                                                {false, text("frmUpload", "msgPack")}};
        for (const auto &[singleFile, statusStart] : cases) {
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
            QCOMPARE((QStringList{rig.state(source), rig.view.status}),
                     (QStringList{u"Waiting"_s, text("frmUpload", "lInfoCancel")}));
            QVERIFY2(sinceStop.elapsed() < 1000, qPrintable(QString::number(sinceStop.elapsed())));
            QCOMPARE(rig.session.processes().runningCount(), 0);
            QVERIFY(rig.controls.start);
            QCOMPARE(m_server->contents().size(), before);
            if (singleFile)
                QVERIFY(!QFileInfo::exists(rig.queue.workFolder()));
        }
    }
};

int runRecordingTests(int argc, char *argv[])
{
    TestRecording tests;
    return QTest::qExec(&tests, argc, argv);
}

#include "test_recording.moc"
