#include "AddTests.h"
#include "add/SourceSearch.h"
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
#include <QThread>

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

    QString path(const QString &relative) const { return QDir(m_tree).filePath(relative); }

private Q_SLOTS:
    // One tree with every kind of find and every place that hides one.
    void initTestCase()
    {
        m_tree = m_dir.filePath(u"tree"_s);
        const QString clip = path(u"a/b/c/deep.mp4"_s);
        QCOMPARE(makeVideo(clip, 1, {160, 120}, 5), QString());
        for (const char *copy : {"a/LOUD.MP4", "a/b/clip.f4v", "a/$tmp.mp4", "$RECYCLE.BIN/r.mp4",
                                 ".Trash/t.mp4", ".Trash-1000/t.mp4", "z/last.mkv"}) {
            QDir().mkpath(QFileInfo(path(QString::fromLatin1(copy))).absolutePath());
            QVERIFY(QFile::copy(clip, path(QString::fromLatin1(copy))));
        }
        writeFile(path(u"a/.mp4"_s), "not a video");
        writeFile(path(u"a/notes.txt"_s), "text");
        QVERIFY(QFile::link(u".."_s, path(u"a/loop"_s)));

        const auto record = [this](const QString &folder, bool singleFile) {
            const SampleRecordingOptions options{.singleFile = singleFile, .durationSeconds = 2};
            return QCoro::waitFor(makeSampleRecording(testProcesses(), path(folder), options));
        };
        QVERIFY(!record(u"rec/packed"_s, true).path.isEmpty());
        // The next recording's date differs, or it would count as the same one.
        QTest::qWait(1100);
        QVERIFY(!record(u"rec/good"_s, false).path.isEmpty());
        QDir().mkpath(path(u"rec/copy"_s));
        for (const QString &name : QDir(path(u"rec/good"_s)).entryList(QDir::Files))
            QVERIFY(QFile::copy(path(u"rec/good/"_s + name), path(u"rec/copy/"_s + name)));
        QVERIFY(record(u"rec/bare"_s, false).error.isEmpty());
        QVERIFY(QFile::remove(path(u"rec/bare/media.qv"_s)));

        SourceSearch search(*testProcesses(), m_language, m_messages);
        m_finds = searchAll(search, m_tree);
    }

    // Every find by name, files first; no recording copy, "$" name, bin, trash, other file or loop.
    void finds()
    {
        QStringList listed;
        for (const FoundSource &find : m_finds)
            listed << u"%1 %2 %3 %4 %5"_s.arg(QDir(m_tree).relativeFilePath(find.source.path),
                                              SourceSearch::kindText(find.source.kind), find.title,
                                              find.author, find.source.loaded ? u"yes"_s : u"no"_s);
        QCOMPARE(listed, (QStringList{u"a/.mp4 Video *Unsupported  no"_s, u"a/LOUD.MP4 Video LOUD  yes"_s,
                                      u"a/b/clip.f4v Video clip  yes"_s, u"a/b/c/deep.mp4 Video deep  yes"_s,
                                      u"rec/bare/project.qvp Qvp *Unsupported  no"_s,
                                      u"rec/copy/project.qvp Qvp Sample recording ClipFerry yes"_s,
                                      u"rec/packed/recording.zdm Zdm Sample recording ClipFerry yes"_s,
                                      u"z/last.mkv Video last  yes"_s}));
    }

    // Stop answers at once: nothing is reported after it, no probe stays running, and a search
    // started at once, whose walk ends while every loader is out on the stopped one, ends too.
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
        QCOMPARE(finished, QList<QVariantList>{{true}});
        QVERIFY(!search.isRunning());
        const qsizetype reported = found.size();
        search.start(path(u"a/b"_s), {});
        QThread::msleep(300); // the walk's results wait in the queue before the stopped probes' ends
        QVERIFY(finished.wait(60000));
        QCOMPARE(finished.last().first().toBool(), false);
        QTRY_COMPARE_WITH_TIMEOUT(processes.runningCount(), 0, 5000);
        QTest::qWait(300);
        QCOMPARE(found.size(), reported + 2); // clip.f4v and c/deep.mp4
        QVERIFY(reported < 40);
    }

    // scan prints the dialog's rows in its order, one JSON object a line.
    void scanCommand()
    {
        QStringList expected;
        for (const FoundSource &f : m_finds)
            expected << QString::fromUtf8(
                QJsonDocument(QJsonObject{{u"kind"_s, SourceSearch::kindText(f.source.kind)},
                                          {u"title"_s, f.title},
                                          {u"author"_s, f.author},
                                          {u"date"_s, f.date},
                                          {u"path"_s, f.source.path},
                                          {u"supported"_s, f.source.loaded}})
                    .toJson(QJsonDocument::Compact));
        const ToolRun scan = runCli({u"scan"_s, m_tree});
        QCOMPARE(scan.exitCode, 0);
        QCOMPARE(scan.output.split(u'\n', Qt::SkipEmptyParts), expected);
    }

    // upload --recursive queues as the batch does; --overwrite answers queued finds.
    void recursiveUpload()
    {
        ServerProcess server(m_dir.filePath(u"server"_s));
        QVERIFY(server.start({u"--demo"_s}));
        const std::tuple<QStringList, int, QString, int> cases[] = {
            {{u"--resolution"_s, u"standard"_s}, 2, u"--recursive takes"_s, 1},
            {{u"--convert"_s, u"none"_s}, 2, u"--recursive takes"_s, 1},
            {{}, 0, u"queued ("_s, 3}, // the supported finds
            {{}, 0, u"queued already, skipped"_s, 3},
            {{u"--overwrite"_s, u"yes"_s}, 0, u"queued already, replaced"_s, 3},
        };
        for (const auto &[options, exitCode, printed, count] : cases) {
            const ToolRun run = runCli(uploadArgs(server, m_dir.filePath(u"q.xml"_s)) + options +
                                       QStringList{u"--queue-only"_s, u"--recursive"_s, path(u"a"_s)});
            QVERIFY2(run.exitCode == exitCode && run.output.count(printed) == count, qPrintable(run.output));
        }
    }
};

int runSearchTests(int argc, char *argv[])
{
    TestSearch test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_search.moc"
