#include "platform/AppPaths.h"
#include "platform/Coro.h"
#include "platform/Messages.h"
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
        timer.setInterval(20);
        connect(&timer, &QTimer::timeout, this, [&ticks] { ++ticks; });
        timer.start();

        ProcessRunner processes;
        int ticksWhenDone = -1;
        bool running = false;
        QVERIFY(Coro::start(
            this, running, [&processes] { return awaitChild(&processes); }, [&] { ticksWhenDone = ticks; }));
        QVERIFY(running);
        // A second start while the first runs is refused.
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
        QTest::addColumn<int>("timeoutMs");
        QTest::addColumn<bool>("stopAfterStart");
        QTest::addColumn<ProcessOutcome>("outcome");
        QTest::addColumn<int>("exitCode");
        QTest::newRow("finished") << "echo done" << 5000 << false << ProcessOutcome::Finished << 0;
        QTest::newRow("non-zero exit after writing")
            << "echo half; exit 3" << 5000 << false << ProcessOutcome::NonZeroExit << 3;
        QTest::newRow("crashed") << "kill -SEGV $$" << 5000 << false << ProcessOutcome::Crashed << -1;
        QTest::newRow("timed out with a grandchild")
            << "sleep 30 & echo $! > \"$PIDFILE\"; wait" << 300 << false << ProcessOutcome::TimedOut << -1;
        QTest::newRow("stopped with a grandchild")
            << "sleep 30 & echo $! > \"$PIDFILE\"; wait" << -1 << true << ProcessOutcome::Stopped << -1;
    }

    void processOutcomes()
    {
        QFETCH(QString, script);
        QFETCH(int, timeoutMs);
        QFETCH(bool, stopAfterStart);
        QFETCH(ProcessOutcome, outcome);
        QFETCH(int, exitCode);
        const QString pidFile = m_dir.filePath(QStringLiteral("grandchild.pid"));
        QFile::remove(pidFile);
        qputenv("PIDFILE", pidFile.toUtf8());
        StopSource stop;
        ProcessSpec spec = ProcessSpec::of("sh", {"-c", script});
        spec.timeout = std::chrono::milliseconds(timeoutMs);
        spec.stop = stop.token();
        QElapsedTimer clock;
        clock.start();
        auto task = m_processes.run(spec);
        if (stopAfterStart) {
            QTRY_VERIFY(QFileInfo::exists(pidFile));
            stop.requestStop();
        }
        const ProcessResult result = QCoro::waitFor(task);
        QCOMPARE(result.outcome, outcome);
        if (exitCode >= 0)
            QCOMPARE(result.exitCode, exitCode);
        QVERIFY(clock.elapsed() < 10000);
        QCOMPARE(m_processes.runningCount(), 0);
        if (QFile file(pidFile); file.open(QIODevice::ReadOnly)) {
            const qint64 pid = file.readAll().trimmed().toLongLong();
            QTRY_VERIFY(!processAlive(pid));
        }
        // A token stopped before the run starts nothing.
        StopSource early;
        early.requestStop();
        spec.stop = early.token();
        QCOMPARE(QCoro::waitFor(m_processes.run(spec)).outcome, ProcessOutcome::Stopped);
    }

    void questionsAreAnsweredFromTheScript()
    {
        Messages::Channel channel;
        auto log = channel.record();
        log->script = {Messages::Answer::No};
        auto first = channel.ask(QStringLiteral("Overwrite?"), QStringLiteral("ClipFerry"),
                                 Messages::Buttons::YesNoCancel);
        QCOMPARE(QCoro::waitFor(first), Messages::Answer::No);
        // With the script used up the first button answers.
        auto second = channel.ask(QStringLiteral("Go on?"), {}, Messages::Buttons::YesNo);
        QCOMPARE(QCoro::waitFor(second), Messages::Answer::Yes);
        channel.show(QStringLiteral("Done"));
        QCOMPARE(log->messages.size(), 3);
        QCOMPARE(log->messages.at(0).text, QStringLiteral("Overwrite?"));
        QCOMPARE(log->messages.at(2).buttons, Messages::Buttons::Ok);
    }

    void toolLookupOrder()
    {
        QTemporaryDir first;
        QTemporaryDir second;
        const auto makeTool = [](const QString &dir, const QString &name) {
            QFile file(QDir(dir).filePath(name));
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write("#!/bin/sh\n");
            file.setPermissions(file.permissions() | QFileDevice::ExeOwner);
        };
        makeTool(first.path(), QStringLiteral("cf-tool"));
        makeTool(second.path(), QStringLiteral("cf-tool"));
        makeTool(second.path(), QStringLiteral("sh"));
        const QByteArray saved = qgetenv("CLIPFERRY_TOOLS");
        qputenv("CLIPFERRY_TOOLS", (first.path() + u':' + second.path()).toLocal8Bit());
        const QString found = ToolLocator::find(QStringLiteral("cf-tool"));
        const QString shell = ToolLocator::find(QStringLiteral("sh"));
        const QString missing = ToolLocator::find(QStringLiteral("clipferry-no-such-tool"));
        qputenv("CLIPFERRY_TOOLS", saved);
        QCOMPARE(found, QDir(first.path()).filePath(QStringLiteral("cf-tool")));
        // A tool in CLIPFERRY_TOOLS wins over the one on PATH.
        QCOMPARE(shell, QDir(second.path()).filePath(QStringLiteral("sh")));
        QVERIFY(missing.isEmpty());
        QVERIFY(ToolLocator::missingMessage(QStringLiteral("yamdi")).contains(QStringLiteral("\"yamdi\"")));
        QVERIFY(!ToolLocator::find(QStringLiteral("sh")).isEmpty());
    }

    void processQuery_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("running");
        const QString self = QFileInfo(QCoreApplication::applicationFilePath()).fileName();
        QTest::newRow("own name") << self << true;
        QTest::newRow("other case") << self.toUpper() << true;
        QTest::newRow("with .exe") << self + QStringLiteral(".EXE") << true;
        QTest::newRow("absent") << QStringLiteral("qvUpdater.exe") << false;
    }

    void processQuery()
    {
        QFETCH(QString, name);
        QFETCH(bool, running);
        QCOMPARE(ProcessQuery::isRunning(name), running);
    }

    // The second claim finds the lock held, hands its arguments over and gives up.
    void secondInstanceHandsOver()
    {
        SingleInstance first(QStringLiteral("cf-test"));
        QVERIFY(first.claim({}));
        QSignalSpy spy(&first, &SingleInstance::activated);
        SingleInstance second(QStringLiteral("cf-test"));
        QVERIFY(!second.claim({QStringLiteral("-s")}));
        QTRY_COMPARE(spy.count(), 1);
        QCOMPARE(spy.at(0).at(0).toStringList(), QStringList{QStringLiteral("-s")});
    }

    void dataFolderFollowsClipferryHome()
    {
        QTemporaryDir home;
        const QByteArray saved = qgetenv("CLIPFERRY_HOME");
        qputenv("CLIPFERRY_HOME", home.path().toLocal8Bit());
        const QString data = AppPaths::dataPath(QStringLiteral("project.xml"));
        const QString settings = AppPaths::settingsFile();
        qputenv("CLIPFERRY_HOME", saved);
        QCOMPARE(data, QDir(home.path()).filePath(QStringLiteral("project.xml")));
        QVERIFY(settings.startsWith(home.path()));
    }

private:
    static QCoro::Task<> awaitChild(ProcessRunner *processes)
    {
        // (GCC 12 cannot take a braced list inside a co_await expression.)
        const ProcessSpec spec = ProcessSpec::of(QStringLiteral("sleep"), {QStringLiteral("0.4")});
        co_await processes->run(spec);
    }
};

QTEST_GUILESS_MAIN(TestPlatform)
#include "test_platform.moc"
