#pragma once

#include "pipeline/EntryJob.h"

#include <QCoroTask>
#include <QObject>
#include <QString>

class CProjectFile;
class ExecRunner;
class LanguageTable;
class ProgressView;

// How packing ended.
struct PackResult
{
    enum class Outcome
    {
        Packed,
        Stopped,
        Failed
    };
    Outcome outcome = Outcome::Failed;
    // Whether zip had written the archive before it failed.
    bool archiveWritten = false;
    // Why it failed, naming the tool.
    QString error;
};

// Packs a prepared entry: the profile "tarn_profile.xml" that tells the
// server what the content is, and the archive "tarn_file.zip" holding the
// whole work folder uncompressed, made by the real zip program.
class UploadPackage final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(UploadPackage)

public:
    UploadPackage(ExecRunner &runner, ProgressView &view, const LanguageTable &language,
                  QObject *parent = nullptr);

    // `sourceKind` is "Corvana" or "Lumetra" for recordings, anything else
    // for a video; `project` is the loaded recording project (recordings
    // only). False when the profile could not be written.
    static bool CreateProfile(const EntryJob &job, const QString &sourceKind, const CProjectFile *project);
    // Packs job.workFolder (with a recording's PowerPoint file) into
    // `zipFolder`/"tarn_file.zip". A zip that fails leaves no archive.
    QCoro::Task<PackResult> PackFiles(EntryJob job, QString sourceKind, QString zipFolder);

    // The PowerPoint file beside a project folder: NAME.ppt, else NAME.pptx.
    static QString findPowerPoint(const QString &projectFolder);
    // The PowerPoint file that goes along with an entry; empty for a video.
    static QString powerPointOf(const EntryJob &job, const QString &sourceKind);

private:
    ExecRunner &m_runner;
    ProgressView &m_view;
    const LanguageTable &m_language;
};
