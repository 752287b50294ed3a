#include "cli/CliCommand.h"

#include "add/SourceSearch.h"
#include "common/Settings.h"
#include "pipeline/RunOptions.h"
#include "pipeline/Session.h"
#include "platform/Coro.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTextStream>

CliCommand::CliCommand(QStringList w, QString u, Run r)
    : words(std::move(w)), usage(std::move(u)), run(std::move(r))
{}

QCoro::Task<bool> searchFolder(Session *session, QString folder, ServerSettings server,
                               std::function<void(const FoundSource &)> found)
{
    if (!QFileInfo(folder).isDir()) {
        QTextStream(stderr) << "clipferry-cli: " << folder << " is not a folder" << Qt::endl;
        co_return false;
    }
    SourceSearch search(session->processes(), session->language(), session->messages());
    QObject::connect(&search, &SourceSearch::found, &search, std::move(found));
    search.start(QFileInfo(folder).absoluteFilePath(), server);
    if (search.isRunning())
        co_await Coro::signal(&search, &SourceSearch::finished, std::chrono::milliseconds(-1));
    co_return true;
}

namespace CliArgs {

QString take(QStringList &args, const QString &name, const QString &fallback)
{
    const qsizetype at = args.indexOf(name);
    if (at < 0 || at + 1 >= args.size())
        return fallback;
    const QString value = args.at(at + 1);
    args.remove(at, 2);
    return value;
}

const QString kPasswordUsage =
    QStringLiteral("[--password-file FILE | --password P] (the password also comes from CLIPFERRY_PASSWORD; "
                   "--password is visible to every user in the process list)");

QString password(QStringList &args, QString &error)
{
    const QString path = take(args, QStringLiteral("--password-file"));
    const QString given = take(args, QStringLiteral("--password"));
    if (!path.isEmpty()) {
        QFile file(path);
        constexpr qint64 kMaxBytes = 4096;
        if (!file.open(QIODevice::ReadOnly) || file.size() > kMaxBytes) {
            error = QStringLiteral("cannot read the password from %1").arg(QDir::toNativeSeparators(path));
            return {};
        }
        QByteArray line = file.read(kMaxBytes);
        line.truncate(line.indexOf('\n') < 0 ? line.size() : line.indexOf('\n'));
        if (line.endsWith('\r'))
            line.chop(1);
        return QString::fromUtf8(line);
    }
    if (!given.isEmpty() || !qEnvironmentVariableIsSet("CLIPFERRY_PASSWORD"))
        return given;
    return qEnvironmentVariable("CLIPFERRY_PASSWORD");
}

bool flag(QStringList &args, const QString &name)
{
    return args.removeAll(name) > 0;
}

std::optional<bool> highSpeed(QStringList &args)
{
    const QString value = take(args, QStringLiteral("--high-speed"));
    if (value.isEmpty())
        return HighSpeedSetting();
    if (value == QLatin1String("yes") || value == QLatin1String("no"))
        return value == QLatin1String("yes");
    return std::nullopt;
}

QString describe(const RunOptions &options)
{
    return QStringLiteral("high speed %1: %2 encoder threads at %3 priority")
        .arg(options.highSpeed ? QStringLiteral("yes") : QStringLiteral("no"))
        .arg(options.encoderThreads())
        .arg(options.lowPriority() ? QStringLiteral("below-normal") : QStringLiteral("normal"));
}

int usageError(const QString &message, const QString &usage)
{
    QTextStream err(stderr);
    err << "clipferry-cli: " << message << Qt::endl << "usage: clipferry-cli " << usage << Qt::endl;
    return 2;
}

} // namespace CliArgs
