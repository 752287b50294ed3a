// ClipFerry killed with SIGKILL in each phase of an upload, in clipferry-cli
// and in the window, then started again: the work it finished is kept, the
// upload goes on where the server holds it, and the server ends with one
// content.

#include "pipeline/SampleMedia.h"
#include "support/CuttingProxy.h"
#include "support/Rig.h"

#include <QCoroTask>
#include <QCryptographicHash>
#include <QDirIterator>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>

namespace {

constexpr qint64 kChunk = 16 * 1024;

QString fileUnder(const QString &folder, const QString &name)
{
    QDirIterator it(folder, {name}, QDir::Files, QDirIterator::Subdirectories);
    return it.hasNext() ? it.next() : QString();
}

QJsonObject readRecord(const QString &home)
{
    return QJsonDocument::fromJson(readFile(fileUnder(home, QStringLiteral("state.json")))).object();
}

qint64 largestFileIn(const QString &folder)
{
    qint64 size = 0;
    for (const QFileInfo &file : QDir(folder).entryInfoList(QDir::Files))
        size = std::max(size, file.size());
    return size;
}

QByteArray sha256Of(const QString &path)
{
    QFile file(path);
    QCryptographicHash hash(QCryptographicHash::Sha256);
    return file.open(QIODevice::ReadOnly) && hash.addData(&file) ? hash.result().toHex() : QByteArray();
}

} // namespace

class TestResume : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    QString m_clip;

    // Starts clipferry-cli (`cliArgs`) or the window (queue run at once).
    static void start(QProcess &process, const QString &frontEnd, const QStringList &cliArgs)
    {
        if (frontEnd == QLatin1String("cli"))
            process.start(ToolLocator::find(QStringLiteral("clipferry-cli")), cliArgs);
        else
            process.start(ToolLocator::find(QStringLiteral("clipferry")),
                          {QStringLiteral("-s"), QStringLiteral("--run")});
    }

private Q_SLOTS:
    void initTestCase()
    {
        SampleVideo sample;
        sample.durationSeconds = 4;
        sample.output = m_dir.filePath(QStringLiteral("clip.mp4"));
        QCOMPARE(QCoro::waitFor(sample.make(testProcesses())), QString());
        m_clip = sample.output;
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
        const QString home = row.filePath(QStringLiteral("home"));
        const QString tmp = row.filePath(QStringLiteral("tmp"));
        const QString fakeTools = row.filePath(QStringLiteral("tools"));
        QVERIFY(row.mkpath(QStringLiteral("tmp")) && row.mkpath(QStringLiteral("tools")));
        const QString source = row.filePath(QStringLiteral("talk.mp4"));
        QVERIFY(QFile::copy(m_clip, source));

        DemoServer server(row.filePath(QStringLiteral("server")));
        qputenv("CLIPFERRY_SERVER_PATCH_DELAY_MS", "100");
        qputenv("CLIPFERRY_SERVER_REGISTER_DELAY_MS", phase == u"registering" ? "3000" : "0");
        const bool started = server.start();
        qunsetenv("CLIPFERRY_SERVER_PATCH_DELAY_MS");
        qunsetenv("CLIPFERRY_SERVER_REGISTER_DELAY_MS");
        QVERIFY(started);
        // Counts the bytes each run sends towards the server.
        CuttingProxy proxy(server.process.port(), {});

        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("CLIPFERRY_HOME"), home);
        env.insert(QStringLiteral("TMPDIR"), tmp);
        // A desktop session has its runtime folder; without one Qt makes one in TMPDIR.
        const QString runtime = row.filePath(QStringLiteral("runtime"));
        QVERIFY(row.mkpath(runtime) &&
                QFile::setPermissions(runtime, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                   QFileDevice::ExeOwner));
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime);
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.insert(QStringLiteral("CLIPFERRY_CHUNK_BYTES"), QString::number(kChunk));
        QStringList upload{QStringLiteral("upload"),
                           QStringLiteral("--server"),
                           QStringLiteral("127.0.0.1:%1").arg(proxy.port()),
                           QStringLiteral("--account"),
                           QStringLiteral("demo"),
                           QStringLiteral("--password"),
                           QStringLiteral("demo"),
                           source};
        if (frontEnd == u"window") {
            const ToolRun queued = runCli(upload + QStringList{QStringLiteral("--queue-only")}, env);
            QVERIFY2(queued.exitCode == 0, qPrintable(queued.output));
        }

        QProcess first;
        first.setProcessEnvironment(env);
        start(first, frontEnd, upload);
        const QString uploads = server.process.dataDir() + QStringLiteral("/uploads");
        const auto reached = [&] {
            const QJsonObject record = readRecord(home);
            // A queue change is on disk within a second: the kill comes after that.
            if (phase == u"converting")
                return !processesMentioning(home).isEmpty() &&
                       QFileInfo::exists(home + QStringLiteral("/project.xml.journal"));
            if (phase == u"packing")
                return record.contains(QStringLiteral("conversion"));
            const qint64 held = largestFileIn(uploads);
            if (phase == u"uploading")
                return record.contains(QStringLiteral("upload")) && held >= 3 * kChunk;
            return held > 0 && held == QFileInfo(fileUnder(home, QStringLiteral("tarn_file.zip"))).size();
        };
        QTRY_VERIFY_WITH_TIMEOUT(reached() || first.state() == QProcess::NotRunning, 120000);
        QVERIFY2(first.state() == QProcess::Running, first.readAll().constData());
        first.kill();
        QVERIFY(first.waitForFinished());
        const qint64 sentBefore = proxy.upstreamBytes();
        const QJsonObject kept = readRecord(home);
        // The kernel ends the children with their parent.
        QTRY_COMPARE_WITH_TIMEOUT(processesMentioning(home), QStringList(), 2000);

        // A finished conversion is not made again: here an ffmpeg would fail the entry.
        const bool converted = kept.contains(QStringLiteral("conversion"));
        const QString ranMarker = row.filePath(QStringLiteral("ffmpeg-ran"));
        if (converted) {
            QFile fake(QDir(fakeTools).filePath(QStringLiteral("ffmpeg")));
            QVERIFY(fake.open(QIODevice::WriteOnly));
            fake.write("#!/bin/sh\ntouch '" + ranMarker.toUtf8() + "'\nexit 1\n");
            fake.close();
            fake.setPermissions(fake.permissions() | QFileDevice::ExeOwner);
            env.insert(
                QStringLiteral("CLIPFERRY_TOOLS"),
                fakeTools + u':' +
                    env.value(QStringLiteral("CLIPFERRY_TOOLS"), QCoreApplication::applicationDirPath()));
        }
        QProcess second;
        second.setProcessEnvironment(env);
        second.setProcessChannelMode(QProcess::MergedChannels);
        start(second, frontEnd, {QStringLiteral("run")});
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
            server.contentFolder(stored.first().section(u'\t', 0, 0)) + QStringLiteral("/tarn_file.zip");
        const QString packed =
            kept.value(QStringLiteral("package")).toObject().value(QStringLiteral("sha256")).toString();
        if (!packed.isEmpty())
            QCOMPARE(sha256Of(archive), packed.toLatin1());
        QVERIFY(!QFileInfo::exists(ranMarker));
        // Sent again: what both runs sent beyond the archive, less the requests around it.
        const qint64 again = proxy.upstreamBytes() - QFileInfo(archive).size();
        qInfo("%s: kept %s, sent %lld + %lld bytes for a %lld-byte archive", QTest::currentDataTag(),
              qPrintable(QStringList(kept.keys()).join(u',')), sentBefore, proxy.upstreamBytes() - sentBefore,
              QFileInfo(archive).size());
        if (phase == u"uploading")
            QVERIFY2(again < kChunk + 24 * 1024, qPrintable(QString::number(again)));
        const QStringList left = QDir(tmp).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
        QVERIFY2(left.isEmpty(), qPrintable(left.join(u' ')));
        QCOMPARE(fileUnder(home, QStringLiteral("state.json")), QString());
    }
};

int runResumeTests(int argc, char *argv[])
{
    TestResume test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_resume.moc"
