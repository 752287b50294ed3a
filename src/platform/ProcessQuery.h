#pragma once

#include <QStringList>

// Which programs are running now, for the check that an updater has ended.
namespace ProcessQuery {

// The names of all running processes (on Linux, read from /proc).
QStringList runningProcessNames();

// Whether a process of that name runs, letter case ignored; a trailing ".exe"
// of either name is ignored too, so Windows names match their counterparts.
bool isRunning(const QString &name);

// Whether process `pid` has ended; one that ended but that its parent has not
// yet collected counts as ended.
bool hasEnded(qint64 pid);

} // namespace ProcessQuery
