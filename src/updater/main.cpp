// clipferry-updater ClipFerry --install DIR [--folder DIR] [--wait PID] [--no-restart] [-- ARGS...]
//
// Waits for ClipFerry (process PID) to end, applies the patches prepared in
// the update folder (by default the folder above the updater's own) to the
// install folder, and starts ClipFerry again with ARGS; when the update
// fails, the previous version starts with "--updater-message TEXT".
// Exit status: 0 updated, 1 not updated (the install folder is as it was),
// 2 wrong arguments.

#include "platform/ProcessQuery.h"
#include "updater/Updater.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QLockFile>
#include <QProcess>
#include <QTextStream>
#include <QThread>

namespace {

int usage()
{
    QTextStream(stderr) << "usage: clipferry-updater ClipFerry --install DIR [--folder DIR] [--wait PID] "
                           "[--no-restart] [-- ARGS...]\n";
    return 2;
}

// ClipFerry still running holds files the update replaces; it ends on its own
// after it started us.
bool waitForExit(qint64 pid)
{
    QDeadlineTimer deadline(std::chrono::minutes(2));
    while (pid > 0 && !ProcessQuery::hasEnded(pid)) {
        if (deadline.hasExpired())
            return false;
        QThread::msleep(100);
    }
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QStringList args = QCoreApplication::arguments().mid(1);
    QStringList restartArgs;
    if (const qsizetype dashes = args.indexOf(QStringLiteral("--")); dashes >= 0) {
        restartArgs = args.mid(dashes + 1);
        args = args.mid(0, dashes);
    }
    if (args.isEmpty() || args.takeFirst() != u"ClipFerry")
        return usage();
    QString install;
    QString folder = QDir(QCoreApplication::applicationDirPath() + QStringLiteral("/..")).absolutePath();
    qint64 waitPid = 0;
    bool restart = true;
    while (!args.isEmpty()) {
        const QString arg = args.takeFirst();
        if (arg == u"--no-restart")
            restart = false;
        else if (args.isEmpty())
            return usage();
        else if (arg == u"--install")
            install = args.takeFirst();
        else if (arg == u"--folder")
            folder = args.takeFirst();
        else if (arg == u"--wait")
            waitPid = args.takeFirst().toLongLong();
        else
            return usage();
    }
    if (install.isEmpty())
        return usage();

    QTextStream out(stdout);
    QTextStream err(stderr);
    QString message;
    bool updated = false;
    Updater updater(folder, install);
    QLockFile lock(QDir(install).filePath(QStringLiteral(".update-lock")));
    if (!waitForExit(waitPid)) {
        message = QStringLiteral("ClipFerry did not end; the update was not installed.");
    } else if (!lock.tryLock(std::chrono::seconds(10))) {
        message = QStringLiteral("Another update of %1 is running.").arg(install);
    } else {
        updater.recover();
        updated = updater.apply();
        if (updated)
            out << "installed " << updater.applied().join(u' ') << Qt::endl;
        else
            message = updater.error();
        lock.unlock();
    }
    if (!updated)
        err << message << Qt::endl;

    if (restart) {
        if (!updated)
            restartArgs << QStringLiteral("--updater-message") << message;
        qint64 pid = 0;
        const QString program = QDir(install).filePath(QStringLiteral("bin/clipferry"));
        // ClipFerry outlives whoever started the updater: it must not write
        // into their pipes.
        QProcess clipferry;
        clipferry.setProgram(program);
        clipferry.setArguments(restartArgs);
        clipferry.setWorkingDirectory(QDir(install).filePath(QStringLiteral("bin")));
        clipferry.setStandardInputFile(QProcess::nullDevice());
        clipferry.setStandardOutputFile(QProcess::nullDevice());
        clipferry.setStandardErrorFile(QProcess::nullDevice());
        if (clipferry.startDetached(&pid))
            out << "started " << pid << Qt::endl;
        else
            err << "Cannot start " << program << Qt::endl;
    }
    return updated ? 0 : 1;
}
