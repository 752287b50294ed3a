// The real program, started as a user would start it.

#include "platform/ToolLocator.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

void writeQueueFile(const QString &file, const QStringList &paths);

class TestProgram : public QObject
{
    Q_OBJECT

    // Starts the program in `home`; its window reports to standard error.
    static void start(QProcess &process, const QString &home)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("CLIPFERRY_HOME", home);
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.insert("QT_LOGGING_RULES", "clipferry.window.info=true");
        process.setProcessEnvironment(env);
        process.start(ToolLocator::find("clipferry"), {"-s"});
    }

    // Waits (on the loop) until the program has written `marker` to standard error.
    static bool waitForOutput(QProcess &process, QByteArray &seen, const QByteArray &marker)
    {
        for (int i = 0; i < 300 && !seen.contains(marker) && process.state() != QProcess::NotRunning; ++i) {
            process.waitForReadyRead(100);
            seen += process.readAllStandardError();
        }
        return seen.contains(marker);
    }

private Q_SLOTS:
    // A second start ends at once, silently, and leaves the first running;
    // SIGTERM then closes the first as its window's close would.
    void secondInstanceAndTerminate_data()
    {
        QTest::addColumn<QString>("keepQueue");
        QTest::addColumn<bool>("queueKept");
        QTest::newRow("keep-queue on") << "1" << true;
        QTest::newRow("keep-queue off") << "0" << false;
    }
    void secondInstanceAndTerminate()
    {
        QFETCH(QString, keepQueue);
        QFETCH(bool, queueKept);
        QVERIFY2(!ToolLocator::find("clipferry").isEmpty(), "clipferry was not built");
        QTemporaryDir home;
        const QString queueFile = QDir(home.path()).filePath("project.xml");
        writeQueueFile(queueFile, {"/videos/0.mp4", "/videos/1.mp4"});
        const QString settings = QDir(home.path()).filePath("Corvana5.ini");
        QSettings(settings, QSettings::IniFormat).setValue("clipFerry/chkRemQueue", keepQueue);

        QProcess first;
        start(first, home.path());
        QByteArray firstErr;
        QVERIFY2(waitForOutput(first, firstErr, "start-up:"), firstErr.constData());
        QVERIFY(firstErr.contains(queueKept ? "queue holds 2 entries" : "queue holds 0 entries"));

        QProcess second;
        start(second, home.path());
        QVERIFY(second.waitForFinished(30000));
        QCOMPARE(second.exitStatus(), QProcess::NormalExit);
        QCOMPARE(second.exitCode(), 0);
        QVERIFY2(!second.readAllStandardError().contains("clipferry.window"),
                 "the second instance opened a window");
        QCOMPARE(first.state(), QProcess::Running);

        first.terminate();
        QVERIFY(first.waitForFinished(30000));
        firstErr += first.readAllStandardError();
        QCOMPARE(first.exitStatus(), QProcess::NormalExit);
        QCOMPARE(first.exitCode(), 0);
        QVERIFY2(firstErr.contains("closed: options stored"), firstErr.constData());
        QCOMPARE(QFileInfo::exists(queueFile), queueKept);
        QCOMPARE(QSettings(settings, QSettings::IniFormat).value("clipFerry/chkRemQueue").toString(),
                 keepQueue);
    }
};

int runProgramTests(int argc, char *argv[])
{
    TestProgram test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_processes.moc"
