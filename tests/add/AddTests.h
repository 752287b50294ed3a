#pragma once

// What the add tests share: small clips and clipferry-cli runs.

#include "support/SampleClip.h"
#include "support/ServerProcess.h"
#include "support/TestProcesses.h"

#include <QDir>

using namespace Qt::StringLiterals;

// upload as the demo account of `server`, with its queue file at `queue`.
inline QStringList uploadArgs(const ServerProcess &server, const QString &queue)
{
    return {u"upload"_s,     u"--server"_s, server.address(), u"--account"_s, u"demo"_s,
            u"--password"_s, u"demo"_s,     u"--queue"_s,     queue};
}
