#pragma once

#include "recorder/MediaLibrary.h"

#include <QCoroTask>
#include <QObject>
#include <array>

// The recorder ships one media library per project version (5 to 8). The
// thumbnail and verify calls go to the library of the current project's
// version, chosen by its first character; any other version calls nothing
// and gives 0. Single-file projects exist only since version 8, so their
// calls always go to that library.
class MediaLibraries final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(MediaLibraries)

public:
    explicit MediaLibraries(ProcessRunner &processes, QObject *parent = nullptr);

    // The library of a project version text ("8.0"), or null.
    MediaLibrary *forVersion(const QString &version) const;

    int ThumbCreate2(const QString &version, const QString &mediaPath, const QString &listPath,
                     const QString &folderName, int width, int height, StopToken stop = {});
    int ThumbTime(const QString &version) const;
    QCoro::Task<int> verifyWholeQvFile(QString version, QString mediaPath, StopToken stop = {});
    QCoro::Task<int> GetExtendDataFromProject(QString projectPath, QString qvpPath, QString cursorPath,
                                              QString photoPath, QString indexPath);
    QCoro::Task<int> SetExtendDataInProject(QString projectPath, QString qvpPath, QString cursorPath,
                                            QString photoPath, QString indexPath);

private:
    std::array<MediaLibrary *, 4> m_libraries{}; // versions 5 to 8, children
};
