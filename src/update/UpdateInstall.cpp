#include "update/UpdateInstall.h"

#include "common/Lang.h"
#include "platform/AppPaths.h"
#include "update/CVerList.h"

#include <QDir>
#include <QFileInfo>

namespace UpdateInstall {

QString updaterExe()
{
    return QStringLiteral("clipferry-updater");
}

QString updaterArchive(int osVersion)
{
    return osVersion < 60 ? QStringLiteral("updater.zip") : QStringLiteral("updater_manifest.zip");
}

QString updateFolder()
{
    return QDir(AppPaths::tempDir()).filePath(QStringLiteral("qvClipFerryUpdate"));
}

QString updaterPath(const QString &updateFolder)
{
    return QDir(updateFolder).filePath(QStringLiteral("updater/") + updaterExe());
}

QString installFolder()
{
    const QDir bin(AppPaths::programDir());
    if (bin.dirName() != u"bin")
        return {};
    QDir prefix = bin;
    prefix.cdUp();
    if (!QFileInfo::exists(prefix.filePath(QStringLiteral("share/clipferry/res.xml"))))
        return {};
    return prefix.absolutePath();
}

QString installedVersion(const QString &installFolder)
{
    const LanguageTable language(QDir(installFolder).filePath(QStringLiteral("share/clipferry/res.xml")));
    return ProgramVersion(language);
}

QStringList updaterArguments(const QString &updateFolder, const QString &installFolder, qint64 waitPid,
                             bool restart, const QStringList &restartArguments)
{
    QStringList args{QStringLiteral("ClipFerry"), QStringLiteral("--folder"), updateFolder,
                     QStringLiteral("--install"), installFolder};
    if (waitPid > 0)
        args << QStringLiteral("--wait") << QString::number(waitPid);
    if (!restart)
        args << QStringLiteral("--no-restart");
    if (!restartArguments.isEmpty())
        args << QStringLiteral("--") << restartArguments;
    return args;
}

QString cannotUpdateText()
{
    return QStringLiteral("This copy of ClipFerry runs from its build folder and cannot update itself. "
                          "Install it with \"cmake --install\" to receive updates.");
}

} // namespace UpdateInstall
