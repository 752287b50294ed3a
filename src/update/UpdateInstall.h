#pragma once

#include <QString>
#include <QStringList>

// Where an update is prepared and who applies it.
namespace UpdateInstall {

// The updater's program name, which the start-up check looks for.
QString updaterExe();
// The updater archive on the update server: "updater.zip", or
// "updater_manifest.zip" from osVersion 60 on.
QString updaterArchive(int osVersion);
// The temporary folder's "qvClipFerryUpdate", where downloads are prepared.
QString updateFolder();
// The unpacked updater in the update folder.
QString updaterPath(const QString &updateFolder);

// The install folder made by "cmake --install" that this program runs from
// (its "bin" beside "share/clipferry"); empty for a copy running from its
// build folder, which cannot update itself.
QString installFolder();
// The version installed in a folder: its language file's "frmVersion".
QString installedVersion(const QString &installFolder);

// The updater's command line: apply the patches prepared in `updateFolder`
// to `installFolder` once process `waitPid` (0: none) has ended, then start
// ClipFerry with `restartArguments` unless `restart` is false.
QStringList updaterArguments(const QString &updateFolder, const QString &installFolder, qint64 waitPid,
                             bool restart, const QStringList &restartArguments);

// The text shown instead of updating a copy that has no install folder.
QString cannotUpdateText();

} // namespace UpdateInstall
