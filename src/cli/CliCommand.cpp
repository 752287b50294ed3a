#include "cli/CliCommand.h"

#include "common/Settings.h"
#include "pipeline/RunOptions.h"

#include <QTextStream>

CliCommand::CliCommand(QStringList w, QString u, Run r)
    : words(std::move(w)), usage(std::move(u)), run(std::move(r))
{}

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
