// ClipFerry killed with SIGKILL in each phase of an upload, in clipferry-cli
// and in the window, then started again: the work it finished is kept, the
// upload goes on where the server holds it, and the server ends with one
// content.

#include "support/CuttingProxy.h"
#include "support/Rig.h"

#include <QCryptographicHash>
#include <QDirIterator>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {

constexpr qint64 kChunk = 16 * 1024;

QString fileUnder(const QString &folder, const QString &name)
{
    QDirIterator it(folder, {name}, QDir::Files, QDirIterator::Subdirectories);
    return it.hasNext() ? it.next() : QString();
}

QJsonObject readRecord(const QString &home)
{
    return QJsonDocument::fromJson(readFile(fileUnder(home, u"state.json"_s))).object();
}

qint64 largestFileIn(const QString &folder)
{
    qint64 size = 0;
    for (const QFileInfo &file : QDir(folder).entryInfoList(QDir::Files))
        size = std::max(size, file.size());
    return size;
}

} // namespace

class TestResume : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QString m_clip;

    // Starts clipferry-cli (`cliArgs`) or the window (queue run at once), its output merged.
    static void start(QProcess &process, const QProcessEnvironment &env, const QString &frontEnd,
                      const QStringList &cliArgs)
    {
        process.setProcessEnvironment(env);
        process.setProcessChannelMode(QProcess::MergedChannels);
        const bool cli = frontEnd == QLatin1String("cli");
        process.start(ToolLocator::find(cli ? u"clipferry-cli"_s : u"clipferry"_s),
                      cli ? cliArgs : QStringList{u"-s"_s, u"--run"_s});
    }

private Q_SLOTS:
    void initTestCase()
    {
        m_clip = m_dir.filePath(u"clip.mp4"_s);
        QCOMPARE(makeVideo(m_clip, 4), QString());
    }

    void killAndRestart_data()
    {
        QTest::addColumn<QString>("frontEnd");
        QTest::addColumn<QString>("phase");
        for (const char *frontEnd : {"cli", "window"})
            for (const char *phase : {"converting", "packing", "uploading", "registering"})
                QTest::addRow("%s %s", frontEnd, phase)
                    << QString::fromLatin1(frontEnd) << QString::fromLatin1(phase);
    }
    void killAndRestart()
    {
        QFETCH(QString, frontEnd);
        QFETCH(QString, phase);
        const QDir row(m_dir.filePath(QString::fromLatin1(QTest::currentDataTag()).replace(u' ', u'_')));
        const QString home = row.filePath(u"home"_s), tmp = row.filePath(u"tmp"_s),
                      source = row.filePath(u"talk.mp4"_s);
        QVERIFY(row.mkpath(u"tmp"_s) && row.mkpath(u"tools"_s) && QFile::copy(m_clip, source));

        DemoServer server(row.filePath(u"server"_s));
        qputenv("CLIPFERRY_SERVER_PATCH_DELAY_MS", "100");
        qputenv("CLIPFERRY_SERVER_REGISTER_DELAY_MS", phase == u"registering" ? "3000" : "0");
        const bool started = server.start();
        qunsetenv("CLIPFERRY_SERVER_PATCH_DELAY_MS");
        qunsetenv("CLIPFERRY_SERVER_REGISTER_DELAY_MS");
        QVERIFY(started);
        // Counts the bytes each run sends towards the server.
        CuttingProxy proxy(server.process.port(), {});

        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(u"CLIPFERRY_HOME"_s, home);
        env.insert(u"TMPDIR"_s, tmp);
        // A desktop session has its runtime folder; without one Qt makes one in TMPDIR.
        const QString runtime = row.filePath(u"runtime"_s);
        QVERIFY(row.mkpath(runtime) &&
                QFile::setPermissions(runtime, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                   QFileDevice::ExeOwner));
        env.insert(u"XDG_RUNTIME_DIR"_s, runtime);
        env.insert(u"QT_QPA_PLATFORM"_s, u"offscreen"_s);
        env.insert(u"CLIPFERRY_CHUNK_BYTES"_s, QString::number(kChunk));
        const QStringList upload{u"upload"_s,    u"--server"_s, u"127.0.0.1:%1"_s.arg(proxy.port()),
                                 u"--account"_s, u"demo"_s,     u"--password"_s,
                                 u"demo"_s,      source};
        if (frontEnd == u"window") {
            const ToolRun queued = runCli(upload + QStringList{u"--queue-only"_s}, env);
            QVERIFY2(queued.exitCode == 0, qPrintable(queued.output));
        }

        QProcess first;
        start(first, env, frontEnd, upload);
        const auto reached = [&] {
            const QJsonObject record = readRecord(home);
            // A queue change is on disk within a second: the kill comes after that.
            if (phase == u"converting")
                return !processesMentioning(home).isEmpty() &&
                       QFileInfo::exists(home + u"/project.xml.journal"_s);
            if (phase == u"packing")
                return record.contains(u"conversion"_s);
            const qint64 held = largestFileIn(server.process.dataDir() + u"/uploads"_s);
            if (phase == u"uploading")
                return record.contains(u"upload"_s) && held >= 3 * kChunk;
            return held > 0 && held == QFileInfo(fileUnder(home, u"tarn_file.zip"_s)).size();
        };
        bool seen = false; // latched: a phase can pass between the looks the wait takes at it
        QTRY_VERIFY_WITH_TIMEOUT((seen = seen || reached()) || first.state() == QProcess::NotRunning, 120000);
        QVERIFY2(first.state() == QProcess::Running, first.readAll().constData());
        first.kill();
        QVERIFY(first.waitForFinished());
        const qint64 sentBefore = proxy.upstreamBytes();
        const QJsonObject kept = readRecord(home);
        QTRY_COMPARE_WITH_TIMEOUT(processesMentioning(home), QStringList(), 2000); // gone with their parent

        // A finished conversion is not made again: here an ffmpeg would fail the entry.
        const QString ranMarker = row.filePath(u"ffmpeg-ran"_s);
        if (kept.contains(u"conversion"_s)) {
            writeScript(row.filePath(u"tools/ffmpeg"_s), "touch '" + ranMarker.toUtf8() + "'\nexit 1");
            env.insert(u"CLIPFERRY_TOOLS"_s,
                       row.filePath(u"tools"_s) + u':' +
                           env.value(u"CLIPFERRY_TOOLS"_s, QCoreApplication::applicationDirPath()));
        }
        QProcess second;
        start(second, env, frontEnd, {u"run"_s});
        if (frontEnd == u"window") {
            QTRY_VERIFY_WITH_TIMEOUT(!server.contents().isEmpty(), 120000);
            second.terminate();
        }
        QTRY_COMPARE_WITH_TIMEOUT(second.state(), QProcess::NotRunning, 120000);
        const QByteArray out = second.readAll();
        if (frontEnd == u"cli")
            QVERIFY2(second.exitCode() == 0, out.constData());

        const QStringList stored = server.contents();
        QVERIFY2(stored.size() == 1, out.constData());
        const QString archive =
            server.contentFolder(stored.first().section(u'\t', 0, 0)) + u"/tarn_file.zip"_s;
        const QString packed = kept.value(u"package"_s).toObject().value(u"sha256"_s).toString();
        if (!packed.isEmpty())
            QCOMPARE(QCryptographicHash::hash(readFile(archive), QCryptographicHash::Sha256).toHex(),
                     packed.toLatin1());
        QVERIFY(!QFileInfo::exists(ranMarker));
        // Sent again: what both runs sent beyond the archive, less the requests around it.
        const qint64 again = proxy.upstreamBytes() - QFileInfo(archive).size();
        qInfo("%s: kept %s, sent %lld + %lld bytes for a %lld-byte archive", QTest::currentDataTag(),
              qPrintable(QStringList(kept.keys()).join(u',')), sentBefore, proxy.upstreamBytes() - sentBefore,
              QFileInfo(archive).size());
        if (phase == u"uploading")
            QVERIFY2(again < kChunk + 24 * 1024, qPrintable(QString::number(again)));
        QCOMPARE(QDir(tmp).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden), QStringList());
        QCOMPARE(fileUnder(home, u"state.json"_s), QString());
    }
};

int runResumeTests(int argc, char *argv[])
{
    TestResume test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_resume.moc"
