#include "platform/ToolLocator.h"

#include "platform/AppPaths.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

namespace ToolLocator {

namespace {
QString executableIn(const QString &dir, const QString &name)
{
    if (dir.isEmpty())
        return {};
    const QFileInfo file(QDir(dir).filePath(name));
    if (file.isFile() && file.isExecutable())
        return file.absoluteFilePath();
    return {};
}
} // namespace

QString find(const QString &name)
{
    const QStringList toolDirs =
        qEnvironmentVariable("CLIPFERRY_TOOLS").split(QDir::listSeparator(), Qt::SkipEmptyParts);
    for (const QString &dir : toolDirs) {
        if (QString path = executableIn(dir, name); !path.isEmpty())
            return path;
    }
    if (QString path = executableIn(AppPaths::programDir(), name); !path.isEmpty())
        return path;
    return QStandardPaths::findExecutable(name);
}

QString resolve(const QString &name)
{
    const QFileInfo given(name);
    if (given.isAbsolute() && given.isFile() && given.isExecutable())
        return given.absoluteFilePath();
    QString base = given.fileName();
#ifndef Q_OS_WIN
    if (base.endsWith(u".exe", Qt::CaseInsensitive))
        base.chop(4);
#endif
    if (QString found = find(base); !found.isEmpty())
        return found;
    // Tools without a package on this platform have small stand-ins of ours.
    if (base == u"MP4Box")
        return find(QStringLiteral("clipferry-mp4box"));
    if (base == u"mp4GetKeyFrame")
        return find(QStringLiteral("clipferry-keyframes"));
    if (base == u"thumb")
        return find(QStringLiteral("clipferry-thumb"));
    return {};
}

QString missingMessage(const QString &name)
{
    return QStringLiteral(
               "The program \"%1\" was not found. Install it, or name its folder in CLIPFERRY_TOOLS.")
        .arg(name);
}

} // namespace ToolLocator
