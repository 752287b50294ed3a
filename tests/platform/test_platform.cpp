#include "platform/AppPaths.h"
#include "platform/Coro.h"
#include "platform/Messages.h"
#include "platform/ProcessQuery.h"
#include "platform/SingleInstance.h"
#include "platform/ToolLocator.h"

#include <QCoreApplication>
#include <QDir>
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

        QProcess process;
        int ticksWhenDone = -1;
        std::optional<Coro::ProcessEnd> end;
        bool running = false;
        QVERIFY(Coro::start(
            this, running, [&process] { return awaitChild(&process); },
            [&] {
                ticksWhenDone = ticks;
                end = Coro::ProcessEnd::Finished;
            }));
        QVERIFY(running);
        // A second start while the first runs is refused.
        QVERIFY(!Coro::start(
            this, running, [&process] { return awaitChild(&process); }, [] {}));
        QTRY_VERIFY_WITH_TIMEOUT(end.has_value(), 5000);
        QVERIFY(!running);
        QCOMPARE(process.exitCode(), 0);
        QVERIFY2(ticksWhenDone >= 5, qPrintable(QString::number(ticksWhenDone)));
    }

    void processEnds_data()
    {
        QTest::addColumn<QString>("program");
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("timeoutMs");
        QTest::addColumn<int>("expected");
        QTest::newRow("finished") << "sh" << QStringList{"-c", "exit 3"} << 5000
                                  << int(Coro::ProcessEnd::Finished);
        QTest::newRow("missing program")
            << "clipferry-no-such-program" << QStringList{} << 5000 << int(Coro::ProcessEnd::FailedToStart);
        QTest::newRow("timed out") << "sleep" << QStringList{"5"} << 200 << int(Coro::ProcessEnd::TimedOut);
        QTest::newRow("crashed") << "sh" << QStringList{"-c", "kill -SEGV $$"} << 5000
                                 << int(Coro::ProcessEnd::Crashed);
    }

    void processEnds()
    {
        QFETCH(QString, program);
        QFETCH(QStringList, arguments);
        QFETCH(int, timeoutMs);
        QFETCH(int, expected);
        QProcess process;
        auto task = Coro::runProcess(&process, program, arguments, std::chrono::milliseconds(timeoutMs));
        QTRY_VERIFY_WITH_TIMEOUT(task.isReady(), 10000);
        QCOMPARE(int(QCoro::waitFor(task)), expected);
    }

    void questionsAreAnsweredFromTheScript()
    {
        auto log = Messages::record();
        log->script = {Messages::Answer::No};
        auto first = Messages::ask(QStringLiteral("Overwrite?"), QStringLiteral("ClipFerry"),
                                   Messages::Buttons::YesNoCancel);
        QCOMPARE(QCoro::waitFor(first), Messages::Answer::No);
        // With the script used up the first button answers.
        auto second = Messages::ask(QStringLiteral("Go on?"), {}, Messages::Buttons::YesNo);
        QCOMPARE(QCoro::waitFor(second), Messages::Answer::Yes);
        Messages::show(QStringLiteral("Done"));
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
    static QCoro::Task<> awaitChild(QProcess *process)
    {
        // (GCC 12 cannot take a braced list inside a co_await expression.)
        const QStringList arguments{QStringLiteral("0.4")};
        co_await Coro::runProcess(process, QStringLiteral("sleep"), arguments, 10s);
    }
};

QTEST_GUILESS_MAIN(TestPlatform)
#include "test_platform.moc"
