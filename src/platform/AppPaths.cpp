#include "platform/AppPaths.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

namespace AppPaths {

QString programDir()
{
    if (QCoreApplication::instance())
        return QCoreApplication::applicationDirPath();
    return QDir::currentPath();
}

QString resourcePath(const QString &name)
{
    const QDir dir(programDir());
    const QString beside = dir.filePath(name);
    if (QFileInfo::exists(beside))
        return beside;
    const QString installed = dir.filePath(QStringLiteral("../share/clipferry/") + name);
    if (QFileInfo::exists(installed))
        return QDir::cleanPath(installed);
    return beside;
}

QString dataDir()
{
    QString dir = qEnvironmentVariable("CLIPFERRY_HOME");
    if (dir.isEmpty())
        dir = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    if (dir.isEmpty())
        dir = QDir::home().filePath(QStringLiteral(".clipferry"));
    QDir().mkpath(dir);
    return dir;
}

QString dataPath(const QString &name)
{
    return QDir(dataDir()).filePath(name);
}

QString settingsFile()
{
    const QString home = qEnvironmentVariable("CLIPFERRY_HOME");
    if (!home.isEmpty())
        return QDir(home).filePath(QStringLiteral("Corvana5.ini"));
    const QString config = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    return QDir(config).filePath(QStringLiteral("Corvana5.ini"));
}

QString tempDir()
{
    return QDir::tempPath();
}

} // namespace AppPaths
