#include "platform/ProcessQuery.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <csignal>

namespace ProcessQuery {

namespace {
QString withoutExe(QString name)
{
    if (name.endsWith(QLatin1String(".exe"), Qt::CaseInsensitive))
        name.chop(4);
    return name;
}

QByteArray readSmall(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.read(4096);
}
} // namespace

QStringList runningProcessNames()
{
    QStringList names;
    const QStringList pids = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &pid : pids) {
        bool numeric = false;
        pid.toInt(&numeric);
        if (!numeric)
            continue;
        // comm is cut at 15 characters; the first word of the command line
        // carries the whole program name.
        const QByteArray cmdline = readSmall(QStringLiteral("/proc/%1/cmdline").arg(pid));
        const QString program = QString::fromLocal8Bit(cmdline.left(cmdline.indexOf('\0')));
        if (!program.isEmpty())
            names.append(QFileInfo(program).fileName());
        else
            names.append(
                QString::fromLocal8Bit(readSmall(QStringLiteral("/proc/%1/comm").arg(pid)).trimmed()));
    }
    return names;
}

bool isRunning(const QString &name)
{
    const QString wanted = withoutExe(name);
    const QStringList names = runningProcessNames();
    return std::any_of(names.begin(), names.end(), [&](const QString &running) {
        return withoutExe(running).compare(wanted, Qt::CaseInsensitive) == 0;
    });
}

bool hasEnded(qint64 pid)
{
    if (::kill(static_cast<pid_t>(pid), 0) != 0)
        return true;
    // An ended child its parent has not yet collected still answers kill().
    const QByteArray stat = readSmall(QStringLiteral("/proc/%1/stat").arg(pid));
    const qsizetype state = stat.lastIndexOf(')') + 2;
    return state > 1 && state < stat.size() && stat.at(state) == 'Z';
}

} // namespace ProcessQuery
