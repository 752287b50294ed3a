// The real program, started as a user would start it.

#include "support/TestProcesses.h"

#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

void writeQueueFile(const QString &file, const QStringList &paths);

class TestProgram : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // A second start ends at once, silently, and leaves the first running;
    // SIGTERM then closes the first as its window's close would. The window
    // reports to standard error.
    void secondInstanceAndTerminate_data()
    {
        QTest::addColumn<bool>("queueKept");
        QTest::newRow("keep-queue on") << true;
        QTest::newRow("keep-queue off") << false;
    }
    void secondInstanceAndTerminate()
    {
        QFETCH(bool, queueKept);
        const QString keepQueue = queueKept ? "1" : "0";
        QTemporaryDir home;
        const QString queueFile = QDir(home.path()).filePath("project.xml");
        writeQueueFile(queueFile, {"/videos/0.mp4", "/videos/1.mp4"});
        const QString settings = QDir(home.path()).filePath("Corvana5.ini");
        QSettings(settings, QSettings::IniFormat).setValue("clipFerry/chkRemQueue", keepQueue);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("CLIPFERRY_HOME", home.path());
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.insert("QT_LOGGING_RULES", "clipferry.window.info=true");

        QProcess first;
        first.setProcessEnvironment(env);
        first.setReadChannel(QProcess::StandardError);
        first.start(ToolLocator::find("clipferry"), {"-s"});
        QByteArray firstErr;
        while (!firstErr.contains("start-up:") && first.waitForReadyRead(30000))
            firstErr += first.readAllStandardError();
        QVERIFY2(firstErr.contains(queueKept ? "start-up: queue holds 2 entries"
                                             : "start-up: queue holds 0 entries"),
                 firstErr.constData());

        const ToolRun second = runProgram(ToolLocator::find("clipferry"), {"-s"}, env, 30000);
        QCOMPARE(second.exitCode, 0);
        QVERIFY2(!second.output.contains("clipferry.window"), "the second instance opened a window");

        first.terminate();
        QVERIFY(first.waitForFinished(30000));
        firstErr += first.readAllStandardError();
        QCOMPARE(std::pair(first.exitStatus(), first.exitCode()), std::pair(QProcess::NormalExit, 0));
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
