#pragma once

// What the add tests share: small clips and clipferry-cli runs.

#include "pipeline/SampleMedia.h"
#include "support/ServerProcess.h"
#include "support/TestProcesses.h"

#include <QDir>
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

// upload as the demo account of `server`, with its queue file at `queue`.
inline QStringList uploadArgs(const ServerProcess &server, const QString &queue)
{
    return {u"upload"_s,     u"--server"_s, server.address(), u"--account"_s, u"demo"_s,
            u"--password"_s, u"demo"_s,     u"--queue"_s,     queue};
}
