#include "AddTests.h"
#include "add/SourceSearch.h"
#include "common/Lang.h"
#include "platform/Messages.h"
#include "recorder/SampleRecording.h"
#include "support/TestFiles.h"
#include "support/TestLanguage.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

namespace {

// The finds of one search, as the grid would list them.
QList<FoundSource> searchAll(SourceSearch &search, const QString &folder, int supportedQvpVer = 8)
{
    QList<FoundSource> finds;
    QObject::connect(&search, &SourceSearch::found, &search, [&finds](const FoundSource &f) { finds << f; });
    QSignalSpy finished(&search, &SourceSearch::finished);
    ServerSettings server;
    server.supportedQvpVer = supportedQvpVer;
    search.start(folder, server);
    if (!finished.wait(120000))
        finds.clear();
    search.disconnect(&search);
    return finds;
}

} // namespace

class TestSearch : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    const LanguageTable m_language{languageFile()};
    Messages::Channel m_messages;
    QString m_tree;
    QList<FoundSource> m_finds;
    std::unique_ptr<ServerProcess> m_server;

    QString path(const QString &relative) const { return QDir(m_tree).filePath(relative); }

private Q_SLOTS:
    // One tree with every kind of find and every place that hides one.
    void initTestCase()
    {
        m_tree = m_dir.filePath(u"tree"_s);
        const QString clip = path(u"a/b/c/deep.mp4"_s);
        QCOMPARE(makeClip(clip, 1, {160, 120}, 5), QString());
        for (const char *copy : {"a/LOUD.MP4", "a/b/clip.f4v", "a/$tmp.mp4", "$RECYCLE.BIN/r.mp4",
                                 ".Trash/t.mp4", ".Trash-1000/t.mp4", "z/last.mkv"}) {
            QDir().mkpath(QFileInfo(path(QString::fromLatin1(copy))).absolutePath());
            QVERIFY(QFile::copy(clip, path(QString::fromLatin1(copy))));
        }
        writeFile(path(u"a/.mp4"_s), "not a video");
        writeFile(path(u"a/notes.txt"_s), "text");
        QVERIFY(QFile::link(u".."_s, path(u"a/loop"_s)));

        SampleRecordingOptions zdm;
        zdm.singleFile = true;
        zdm.durationSeconds = 2;
        QVERIFY(
            !QCoro::waitFor(makeSampleRecording(testProcesses(), path(u"rec/packed"_s), zdm)).path.isEmpty());
        // The next recording's date differs, or it would count as the same one.
        QTest::qWait(1100);
        SampleRecordingOptions project;
        project.durationSeconds = 2;
        QVERIFY(!QCoro::waitFor(makeSampleRecording(testProcesses(), path(u"rec/good"_s), project))
                     .path.isEmpty());
        QDir().mkpath(path(u"rec/copy"_s));
        for (const QString &name : QDir(path(u"rec/good"_s)).entryList(QDir::Files))
            QVERIFY(QFile::copy(path(u"rec/good/"_s + name), path(u"rec/copy/"_s + name)));
        QVERIFY(QCoro::waitFor(makeSampleRecording(testProcesses(), path(u"rec/bare"_s), project))
                    .error.isEmpty());
        QVERIFY(QFile::remove(path(u"rec/bare/media.qv"_s)));

        SourceSearch search(*testProcesses(), m_language, m_messages);
        m_finds = searchAll(search, m_tree);
        QVERIFY(!m_finds.isEmpty());
    }

    // Where each file is listed (-1: not at all): files of a folder before
    // its subfolders, both by name.
    void finds_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<int>("row");
        QTest::addColumn<QString>("kind");
        QTest::addColumn<bool>("supported");
        QTest::newRow("text file named .mp4") << ".mp4" << 0 << "Video" << false;
        QTest::newRow("upper-case extension") << "LOUD.MP4" << 1 << "Video" << true;
        QTest::newRow("f4v") << "b/clip.f4v" << 2 << "Video" << true;
        QTest::newRow("nested video") << "b/c/deep.mp4" << 3 << "Video" << true;
        QTest::newRow("project without media.qv") << "bare/project.qvp" << 4 << "Qvp" << false;
        QTest::newRow("project") << "copy/project.qvp" << 5 << "Qvp" << true;
        QTest::newRow("the same recording again") << "good/project.qvp" << -1 << QString() << false;
        QTest::newRow("single-file project") << "packed/recording.zdm" << 6 << "Zdm" << true;
        QTest::newRow("last folder") << "last.mkv" << 7 << "Video" << true;
        QTest::newRow("name beginning with $") << "$tmp.mp4" << -1 << QString() << false;
        QTest::newRow("recycle bin") << "r.mp4" << -1 << QString() << false;
        QTest::newRow("trash folders") << "t.mp4" << -1 << QString() << false;
        QTest::newRow("not a source") << "notes.txt" << -1 << QString() << false;
        QTest::newRow("through the link loop") << "loop/" << -1 << QString() << false;
    }
    void finds()
    {
        QFETCH(QString, file);
        QFETCH(int, row);
        QFETCH(QString, kind);
        QFETCH(bool, supported);
        QCOMPARE(m_finds.size(), 8);
        int at = -1;
        for (int i = 0; i < m_finds.size(); ++i) {
            if (m_finds[i].path.endsWith(u'/' + file) || m_finds[i].path.contains(u'/' + file))
                at = i;
        }
        QCOMPARE(at, row);
        if (row < 0)
            return;
        const FoundSource &find = m_finds.at(row);
        QCOMPARE(find.kind, kind);
        QCOMPARE(find.supported, supported);
        QCOMPARE(find.title == SourceSearch::kUnsupported, !supported);
        if (kind != QLatin1String("Video") && supported)
            QCOMPARE(find.author, u"ClipFerry"_s);
    }

    // Stop answers at once: nothing is reported after it, and the probes
    // it cut short leave no tool running.
    void stopMidSearch()
    {
        const QString folder = m_dir.filePath(u"many"_s);
        QDir().mkpath(folder);
        for (int i = 0; i < 40; ++i)
            QVERIFY(QFile::copy(path(u"a/b/c/deep.mp4"_s),
                                QDir(folder).filePath(u"v%1.mp4"_s.arg(i, 2, 10, QLatin1Char('0')))));
        ProcessRunner processes;
        SourceSearch search(processes, m_language, m_messages);
        search.setParallel(2);
        QSignalSpy found(&search, &SourceSearch::found);
        QSignalSpy finished(&search, &SourceSearch::finished);
        search.start(folder, {});
        QVERIFY(found.wait(60000));
        search.stop();
        QCOMPARE(finished.size(), 1);
        QCOMPARE(finished.first().first().toBool(), true);
        QVERIFY(!search.isRunning());
        const qsizetype reported = found.size();
        QTRY_COMPARE_WITH_TIMEOUT(processes.runningCount(), 0, 5000);
        QTest::qWait(300);
        QCOMPARE(found.size(), reported);
        QVERIFY(reported < 40);
    }

    // clipferry-cli scan prints the dialog's rows in its order, one JSON
    // object a line.
    void scanCommand()
    {
        const CliRun scan = runCli({u"scan"_s, m_tree});
        QCOMPARE(scan.exitCode, 0);
        const QStringList lines = scan.all().split(u'\n', Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), m_finds.size());
        for (int i = 0; i < lines.size(); ++i) {
            const QJsonObject line = QJsonDocument::fromJson(lines[i].toUtf8()).object();
            QCOMPARE(line.value(u"path").toString(), m_finds[i].path);
            QCOMPARE(line.value(u"kind").toString(), m_finds[i].kind);
            QCOMPARE(line.value(u"title").toString(), m_finds[i].title);
            QCOMPARE(line.value(u"author").toString(), m_finds[i].author);
            QCOMPARE(line.value(u"date").toString(), m_finds[i].date);
            QCOMPARE(line.value(u"supported").toBool(), m_finds[i].supported);
        }
    }

    // upload --recursive queues what the batch would, takes only the
    // batch's choices, and answers a find queued already by --overwrite.
    void recursiveUpload_data()
    {
        QTest::addColumn<QStringList>("options");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("printed");
        QTest::addColumn<int>("count");
        QTest::newRow("no standard resolution")
            << QStringList{"--resolution", "standard"} << 2 << "--recursive takes" << 1;
        QTest::newRow("no unchanged upload")
            << QStringList{"--convert", "none"} << 2 << "--recursive takes" << 1;
        QTest::newRow("queues the supported finds") << QStringList{} << 0 << "queued (" << 3;
        QTest::newRow("queued already, skipped") << QStringList{} << 0 << "queued already, skipped" << 3;
        QTest::newRow("queued already, replaced")
            << QStringList{"--overwrite", "yes"} << 0 << "queued already, replaced" << 3;
    }
    void recursiveUpload()
    {
        QFETCH(QStringList, options);
        QFETCH(int, exitCode);
        QFETCH(QString, printed);
        QFETCH(int, count);
        if (!m_server) {
            m_server = std::make_unique<ServerProcess>(m_dir.filePath(u"server"_s));
            QVERIFY(m_server->start({u"--demo"_s}));
        }
        const CliRun run = runCli(uploadArgs(*m_server, m_dir.filePath(u"q.xml"_s)) + options +
                                  QStringList{u"--queue-only"_s, u"--recursive"_s, path(u"a"_s)});
        const QString output = run.all();
        QVERIFY2(output.contains(printed), qPrintable(output));
        QCOMPARE(run.exitCode, exitCode);
        QCOMPARE(output.count(printed), count);
    }
};

int runSearchTests(int argc, char *argv[])
{
    TestSearch test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_search.moc"
