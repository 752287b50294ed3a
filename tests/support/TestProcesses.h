#pragma once

#include "platform/ProcessRunner.h"

#include <QFile>
#include <QString>

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
