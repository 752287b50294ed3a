// The real program, started as a user would start it.

#include "common/Lang.h"
#include "common/Settings.h"
#include "platform/AppPaths.h"
#include "platform/ToolLocator.h"
#include "queue/QueueFile.h"
#include "queue/QueueModel.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

namespace {

// Waits (on the loop) until the program has written `marker` to standard error.
bool waitForOutput(QProcess &process, QByteArray &seen, const QByteArray &marker)
{
    for (int i = 0; i < 300 && !seen.contains(marker); ++i) {
        if (process.state() == QProcess::NotRunning)
            break;
        process.waitForReadyRead(100);
        seen += process.readAllStandardError();
    }
    return seen.contains(marker);
}

} // namespace

class TestProgram : public QObject
{
    Q_OBJECT

    QString m_program;

    QProcessEnvironment environment(const QString &home) const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("CLIPFERRY_HOME", home);
        env.insert("QT_QPA_PLATFORM", "offscreen");
        env.insert("QT_LOGGING_RULES", "clipferry.window.info=true");
        return env;
    }

    static void writeQueue(const QString &path, int entries)
    {
        const LanguageTable noTexts;
        QueueModel queue(noTexts);
        for (int i = 0; i < entries; ++i) {
            CVideoItem item;
            item.path = QStringLiteral("/videos/%1.mp4").arg(i);
            item.fileName = QFileInfo(item.path).fileName();
            queue.Add(item);
        }
        QVERIFY(QueueFile::SaveQueue(path, queue));
    }

private Q_SLOTS:
    void initTestCase()
    {
        m_program = ToolLocator::find("clipferry");
        QVERIFY2(!m_program.isEmpty(), "clipferry was not built");
    }

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
        QTemporaryDir home;
        const QString queueFile = QDir(home.path()).filePath("project.xml");
        writeQueue(queueFile, 2);
        {
            QSettings store(QDir(home.path()).filePath("Corvana5.ini"), QSettings::IniFormat);
            store.setValue("clipFerry/chkRemQueue", keepQueue);
        }

        QProcess first;
        first.setProcessEnvironment(environment(home.path()));
        first.start(m_program, {"-s"});
        QVERIFY(first.waitForStarted());
        QByteArray firstErr;
        QVERIFY2(waitForOutput(first, firstErr, "start-up:"), firstErr.constData());
        QVERIFY(firstErr.contains(queueKept ? "queue holds 2 entries" : "queue holds 0 entries"));

        QProcess second;
        second.setProcessEnvironment(environment(home.path()));
        second.start(m_program, {"-s"});
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
        QSettings store(QDir(home.path()).filePath("Corvana5.ini"), QSettings::IniFormat);
        QCOMPARE(store.value("clipFerry/chkRemQueue").toString(), keepQueue);
    }
};

int runProgramTests(int argc, char *argv[])
{
    TestProgram test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_processes.moc"
