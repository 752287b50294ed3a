#pragma once

#include "queue/CVideoItem.h"

#include <QCoroTask>
#include <QObject>
#include <QString>

class CProjectFile;
class ExecRunner;
class ProgressView;
struct RunFlags;

// Packs a prepared entry: the profile "tarn_profile.xml" that tells the
// server what the content is, and the archive "tarn_file.zip" holding the
// whole work folder uncompressed, made by the real zip program.
class UploadPackage final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(UploadPackage)

public:
    UploadPackage(ExecRunner &runner, RunFlags &flags, ProgressView &view, QObject *parent = nullptr);

    // What the profile is made from; set before CreateProfile.
    CVideoItem entry;
    QString workFolder;
    bool uploadSource = false;
    // The loaded recording project (recordings only).
    const CProjectFile *project = nullptr;
    // The recording's PowerPoint file, found by CreateProfile; empty for none.
    QString pptPath;
    // Whether the last PackFiles had written the archive before it ended.
    bool archiveWritten = false;

    // `sourceKind` is "Corvana" or "Lumetra" for recordings, anything else
    // for a video. False when the profile could not be written.
    bool CreateProfile(const QString &sourceKind);
    // True when "tarn_file.zip" exists in `zipFolder` afterwards.
    QCoro::Task<bool> PackFiles(QString zipFolder);

    // A fresh, not yet existing folder for the archive under the temporary folder.
    static QString newZipFolder();
    // The PowerPoint file beside a project folder: NAME.ppt, else NAME.pptx.
    static QString findPowerPoint(const QString &projectFolder);

private:
    ExecRunner &m_runner;
    RunFlags &m_flags;
    ProgressView &m_view;
};
