#pragma once

#include "platform/ProcessRunner.h"

#include <QCoroTask>
#include <QObject>
#include <QString>
#include <QStringList>
#include <chrono>

// What stands in for the recorder's closed media library of one project
// version. The recorded media "media.qv" is a Matroska file; a single-file
// project (".zdm") is a zip archive of "project.qvp", "cursor.gif",
// "photo.gif", "inteIndex.txt" and "media.qv". All work is done by ffmpeg,
// zip and unzip as child processes of the program's process runner, so
// Qt's loop never waits for it and Stop reaches every one of them.
class MediaLibrary final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(MediaLibrary)

public:
    explicit MediaLibrary(ProcessRunner &processes, QObject *parent = nullptr);

    // Starts writing, in the background, "<position>.jpg" of width x height
    // into the folder `folderName` beside the media for every position (ms)
    // listed in `listPath`, one a line. Returns 1 when the work started.
    // A stop request ends the work between two images.
    int ThumbCreate2(const QString &mediaPath, const QString &listPath, const QString &folderName, int width,
                     int height, StopToken stop = {});
    // The position being rendered while ThumbCreate2 works; -1 when it has
    // finished (or never started).
    int ThumbTime() const { return m_thumbTime; }
    // 1 when the whole media decodes without a single error, else 0
    // (missing, truncated, corrupted, not media at all). A single-file
    // project is checked by the media it holds.
    QCoro::Task<int> verifyWholeQvFile(QString mediaPath, StopToken stop = {});
    // Writes the four files of a single-file project to the given paths.
    // 1 when at least the project file was written.
    QCoro::Task<int> GetExtendDataFromProject(QString projectPath, QString qvpPath, QString cursorPath,
                                              QString photoPath, QString indexPath);
    // Writes the four files back into the single-file project, keeping its
    // media. 1 on success.
    QCoro::Task<int> SetExtendDataInProject(QString projectPath, QString qvpPath, QString cursorPath,
                                            QString photoPath, QString indexPath);

    // The names of the four files, in argument order.
    static QStringList extendDataNames();
    // Those four files in `folder`, every doubled separator reduced to one.
    static QStringList extendDataPaths(const QString &folder);

    // What went wrong in the last call that failed; for logs and messages.
    QString errorString() const { return m_error; }

private:
    static bool isSingleFileProject(const QString &path);
    QCoro::Task<int> verifySingleFileProject(QString projectPath, StopToken stop);
    QCoro::Task<> renderThumbs(QString mediaPath, QList<qint64> positions, QString folder, int width,
                               int height, StopToken stop);
    // Runs a tool to its end; false (and the error set) unless it exited
    // with 0 or `alsoAcceptedCode`.
    QCoro::Task<bool> runTool(QString program, QStringList arguments, QString workingFolder,
                              std::chrono::milliseconds timeout, StopToken stop, int alsoAcceptedCode = 0);
    QString findTool(const QString &name);
    // A new empty folder under `base` for files on their way; empty (and the
    // error set) when it cannot be made.
    QString makeStage(const QString &base, const QString &prefix);

    ProcessRunner &m_processes;
    int m_thumbTime = -1;
    bool m_rendering = false;
    QString m_error;
    QString m_lastOutput;
};
