#include "platform/AppPaths.h"
#include "platform/Coro.h"
#include "platform/ProcessQuery.h"
#include "platform/ProcessRunner.h"
#include "platform/SingleInstance.h"
#include "platform/ToolLocator.h"
#include "support/TestProcesses.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

using namespace std::chrono_literals;
using namespace Qt::StringLiterals;

class TestPlatform : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;
    ProcessRunner m_processes;

private Q_SLOTS:
    // A coroutine awaiting a child process leaves the loop free: a timer on
    // the same loop keeps firing all the while.
    void coroutineWaitsWhileTimerFires()
    {
        int ticks = 0;
        QTimer timer;
        timer.callOnTimeout(this, [&ticks] { ++ticks; });
        timer.start(20);

        ProcessRunner processes;
        int ticksWhenDone = -1;
        bool running = false;
        QVERIFY(Coro::start(
            this, running, [&processes] { return awaitChild(&processes); }, [&] { ticksWhenDone = ticks; }));
        QVERIFY(running);
        QVERIFY(!Coro::start(
            this, running, [&processes] { return awaitChild(&processes); }, [] {}));
        QTRY_VERIFY_WITH_TIMEOUT(!running, 5000);
        QVERIFY2(ticksWhenDone >= 5, qPrintable(QString::number(ticksWhenDone)));
    }

    // Every way a child can end comes back as one outcome, and nothing it
    // started outlives a stop or a time-out.
    void processOutcomes_data()
    {
        QTest::addColumn<QString>("script");
        QTest::addColumn<int>("timeoutMs"); // -1: stopped once the grandchild runs
        QTest::addColumn<ProcessOutcome>("outcome");
        QTest::addColumn<int>("exitCode");
        const QString grandchild = u"sleep 30 & echo $! > \"$PIDFILE\"; wait"_s;
        QTest::newRow("finished") << "echo done" << 5000 << ProcessOutcome::Finished << 0;
        QTest::newRow("non-zero exit after writing")
            << "echo half; exit 3" << 5000 << ProcessOutcome::NonZeroExit << 3;
        QTest::newRow("crashed") << "kill -SEGV $$" << 5000 << ProcessOutcome::Crashed << -1;
        QTest::newRow("timed out with a grandchild") << grandchild << 300 << ProcessOutcome::TimedOut << -1;
        QTest::newRow("stopped with a grandchild") << grandchild << -1 << ProcessOutcome::Stopped << -1;
    }

    void processOutcomes()
    {
        QFETCH(QString, script);
        QFETCH(int, timeoutMs);
        QFETCH(ProcessOutcome, outcome);
        QFETCH(int, exitCode);
        const QString pidFile = m_dir.filePath(u"grandchild.pid"_s);
        QFile::remove(pidFile);
        qputenv("PIDFILE", pidFile.toUtf8());
        StopSource stop;
        ProcessSpec spec = ProcessSpec::of("sh", {"-c", script});
        spec.timeout = std::chrono::milliseconds(timeoutMs);
        spec.stop = stop.token();
        QElapsedTimer clock;
        clock.start();
        auto task = m_processes.run(spec);
        if (timeoutMs < 0) {
            QTRY_VERIFY(QFileInfo::exists(pidFile));
            stop.requestStop();
        }
        const ProcessResult result = QCoro::waitFor(task);
        QCOMPARE(result.outcome, outcome);
        if (exitCode >= 0)
            QCOMPARE(result.exitCode, exitCode);
        QVERIFY(clock.elapsed() < 10000);
        QCOMPARE(m_processes.runningCount(), 0);
        if (QFile file(pidFile); file.open(QIODevice::ReadOnly))
            QTRY_VERIFY(!processAlive(file.readAll().trimmed().toLongLong()));
        // A token stopped before the run starts nothing.
        StopSource early;
        early.requestStop();
        spec.stop = early.token();
        QCOMPARE(QCoro::waitFor(m_processes.run(spec)).outcome, ProcessOutcome::Stopped);
    }

    // CLIPFERRY_TOOLS is searched folder by folder before PATH.
    void toolLookupOrder()
    {
        QTemporaryDir first;
        QTemporaryDir second;
        for (const QString &tool :
             {first.filePath(u"cf-tool"_s), second.filePath(u"cf-tool"_s), second.filePath(u"sh"_s)}) {
            QFile file(tool);
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.setPermissions(file.permissions() | QFileDevice::ExeOwner);
        }
        const QByteArray saved = qgetenv("CLIPFERRY_TOOLS");
        qputenv("CLIPFERRY_TOOLS", (first.path() + u':' + second.path()).toLocal8Bit());
        const QStringList found{ToolLocator::find(u"cf-tool"_s), ToolLocator::find(u"sh"_s),
                                ToolLocator::find(u"clipferry-no-such-tool"_s)};
        qputenv("CLIPFERRY_TOOLS", saved);
        QCOMPARE(found, (QStringList{first.filePath(u"cf-tool"_s), second.filePath(u"sh"_s), QString()}));
        QVERIFY(ToolLocator::missingMessage(u"yamdi"_s).contains(u"\"yamdi\""_s));
    }

    void processQuery()
    {
        const QString self = QFileInfo(QCoreApplication::applicationFilePath()).fileName();
        // Letter case and a Windows ".exe" do not matter.
        for (const QString &name : {self, self.toUpper(), self + u".EXE"_s})
            QVERIFY2(ProcessQuery::isRunning(name), qPrintable(name));
        QVERIFY(!ProcessQuery::isRunning(u"qvUpdater.exe"_s));
    }

    // The second claim finds the lock held, hands its arguments over and gives up.
    void secondInstanceHandsOver()
    {
        SingleInstance first(u"cf-test"_s);
        QVERIFY(first.claim({}));
        QSignalSpy spy(&first, &SingleInstance::activated);
        SingleInstance second(u"cf-test"_s);
        QVERIFY(!second.claim({u"-s"_s}));
        QTRY_COMPARE(spy.count(), 1);
        QCOMPARE(spy.at(0).at(0).toStringList(), QStringList{u"-s"_s});
    }

    void dataFolderFollowsClipferryHome()
    {
        QTemporaryDir home;
        const QByteArray saved = qgetenv("CLIPFERRY_HOME");
        qputenv("CLIPFERRY_HOME", home.path().toLocal8Bit());
        const QString data = AppPaths::dataPath(u"project.xml"_s);
        const QString settings = AppPaths::settingsFile();
        qputenv("CLIPFERRY_HOME", saved);
        QCOMPARE(data, QDir(home.path()).filePath(u"project.xml"_s));
        QVERIFY(settings.startsWith(home.path()));
    }

private:
    static QCoro::Task<> awaitChild(ProcessRunner *processes)
    {
        // (GCC 12 cannot take a braced list inside a co_await expression.)
        const ProcessSpec spec = ProcessSpec::of(u"sleep"_s, {u"0.4"_s});
        co_await processes->run(spec);
    }
};

QTEST_GUILESS_MAIN(TestPlatform)
#include "test_platform.moc"
