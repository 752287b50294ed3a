#pragma once

// What the benches share besides their meters: the machine's load, printed
// beside a result, and their numeric options.

#include <fstream>
#include <string>

// The load averages of the last 1, 5 and 15 minutes; "?" where unknown.
inline std::string loadAverage()
{
    std::ifstream in("/proc/loadavg");
    std::string one, five, fifteen;
    if (!(in >> one >> five >> fifteen))
        return "?";
    return one + ' ' + five + ' ' + fifteen;
}

#ifdef QT_CORE_LIB
#include <QStringList>
#include <algorithm>

// The number after `name` on the command line, at least 1; `fallback`
// without one.
inline int option(const QStringList &args, const QString &name, int fallback)
{
    const qsizetype at = args.indexOf(name);
    return at > 0 && at + 1 < args.size() ? std::max(1, args[at + 1].toInt()) : fallback;
}
#endif
