#pragma once

#include "platform/ProcessRunner.h"
#include "platform/ToolLocator.h"

#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QString>
#include <QTimer>

// The process runner of tests that make media without a session of their own.
inline ProcessRunner *testProcesses()
{
    static auto *processes = new ProcessRunner;
    return processes;
}

// Whether a process still runs: a reaped one leaves no /proc entry, a zombie shows "Z".
inline bool processAlive(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return false;
    return !stat.readAll().contains(") Z ");
}

// The live processes whose command line names `text`.
inline QStringList processesMentioning(const QString &text)
{
    QStringList found;
    for (const QString &pid : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile cmdline(QStringLiteral("/proc/%1/cmdline").arg(pid));
        if (pid.toLongLong() > 0 && cmdline.open(QIODevice::ReadOnly) &&
            cmdline.readAll().contains(text.toUtf8()) && processAlive(pid.toLongLong()))
            found.append(pid);
    }
    return found;
}

struct ToolRun
{
    int exitCode = -1; // -1: it did not start, crashed or did not end in time
    QString output;    // standard output, then standard error
};

// Runs a program to its end. Qt's loop turns meanwhile, so a proxy or a
// server of the test's own goes on serving it.
inline ToolRun runProgram(const QString &program, const QStringList &args,
                          const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment(),
                          int timeoutMs = 300000)
{
    QProcess process;
    process.setProcessEnvironment(env);
    QEventLoop loop;
    QObject::connect(&process, &QProcess::finished, &loop, &QEventLoop::quit);
    QObject::connect(&process, &QProcess::errorOccurred, &loop, &QEventLoop::quit);
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    process.start(program, args);
    if (process.state() != QProcess::NotRunning)
        loop.exec();
    ToolRun run;
    if (process.state() == QProcess::NotRunning && process.exitStatus() == QProcess::NormalExit &&
        process.error() == QProcess::UnknownError)
        run.exitCode = process.exitCode();
    process.kill();
    process.waitForFinished();
    run.output = QString::fromUtf8(process.readAllStandardOutput() + process.readAllStandardError());
    return run;
}

inline ToolRun runCli(const QStringList &args,
                      const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment())
{
    return runProgram(ToolLocator::find(QStringLiteral("clipferry-cli")), args, env);
}

inline QStringList zipEntries(const QString &archive)
{
    QStringList names = runProgram(QStringLiteral("unzip"), {QStringLiteral("-Z1"), archive})
                            .output.split(u'\n', Qt::SkipEmptyParts);
    names.sort();
    return names;
}
