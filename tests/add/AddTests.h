#pragma once

// What the add tests share: small clips and clipferry-cli runs.

#include "pipeline/SampleMedia.h"
#include "platform/ToolLocator.h"
#include "support/ServerProcess.h"
#include "support/TestProcesses.h"

#include <QDir>
#include <QProcess>
#include <QSize>

using namespace Qt::StringLiterals;

// Makes a clip at `path`; returns the empty text, or what went wrong.
inline QString makeClip(const QString &path, double seconds = 2, QSize size = {320, 240}, double rate = 25)
{
    SampleVideo sample;
    sample.output = path;
    sample.durationSeconds = seconds;
    sample.width = size.width();
    sample.height = size.height();
    sample.frameRate = rate;
    QDir().mkpath(QFileInfo(path).absolutePath());
    return QCoro::waitFor(sample.make(testProcesses()));
}

struct CliRun
{
    int exitCode = -1; // also when it crashed or did not end
    QByteArray out;
    QByteArray err;
    QString all() const { return QString::fromUtf8(out + err); }
};

inline CliRun runCli(const QStringList &args,
                     const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment())
{
    QProcess process;
    process.setProcessEnvironment(env);
    process.start(ToolLocator::find(u"clipferry-cli"_s), args);
    CliRun run;
    if (process.waitForFinished(300000) && process.exitStatus() == QProcess::NormalExit)
        run.exitCode = process.exitCode();
    run.out = process.readAllStandardOutput();
    run.err = process.readAllStandardError();
    return run;
}

// upload as the demo account of `server`, with its queue file at `queue`.
inline QStringList uploadArgs(const ServerProcess &server, const QString &queue)
{
    return {u"upload"_s,     u"--server"_s, server.address(), u"--account"_s, u"demo"_s,
            u"--password"_s, u"demo"_s,     u"--queue"_s,     queue};
}
