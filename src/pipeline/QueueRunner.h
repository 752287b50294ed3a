#pragma once

#include "common/Settings.h"
#include "pipeline/RunFlags.h"
#include "platform/StopToken.h"

#include <QCoroTask>
#include <QObject>
#include <QString>

class CProjectFile;
class CVideoList;
class ExecRunner;
class MediaLibraries;
class ProgressView;
class QueueModel;
class RecordingPreparation;
class RunnerControls;
class TransferControl;
class UploadPackage;
class UploadTransaction;
class VideoConversion;
struct VersionReply;

// Runs the upload queue: the first waiting entry in grid order is checked,
// gets a work folder, is announced to the server, prepared, packed and
// uploaded, and its outcome is recorded in its row; then the next, until
// none is waiting. Failures of one entry are written into its row and the
// run goes on; Stop puts the running entry back to "Waiting".
class QueueRunner final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(QueueRunner)

public:
    struct Parts
    {
        QueueModel &grid;
        CVideoList &list;
        RunFlags &flags;
        ProgressView &view;
        RunnerControls &controls;
        ExecRunner &runner;
        TransferControl &tarn;
        DefaultProject &defaultProject;
        CProjectFile &project;
    };

    explicit QueueRunner(Parts parts, QObject *parent = nullptr);
    ~QueueRunner() override;

    // The Start command: runs the queue until no entry is waiting, the user
    // stops, or packing or uploading fails. Refused while a run is going on.
    void StartNextEntry();
    // The Stop command.
    void Stop();
    bool isRunning() const { return m_running; }
    // The current entry's work folder.
    const QString &workFolder() const { return m_workFolder; }
    // The recording preparation, with the slide size kept across entries.
    RecordingPreparation &recording() { return *m_recording; }

Q_SIGNALS:
    // The run has ended, however it ended.
    void runFinished();
    // The server stored an entry under this content id.
    void entryUploaded(const QString &path, const QString &contentId);

private:
    enum class Next
    {
        Entry,
        EndRun
    };

    QCoro::Task<> run();
    QCoro::Task<Next> runEntry();
    // Work folder and current project of a recording; false when the entry failed.
    QCoro::Task<bool> openRecording();
    QCoro::Task<Next> handleVersionReply(QString replyText, bool firstReply);
    QCoro::Task<Next> recordingVersionReply(QString replyText);
    QCoro::Task<> storeServerInfo(QString contentId);
    QCoro::Task<Next> ConvertThenRequest();
    QCoro::Task<Next> PackAndUpload(QString sourceKind);
    Next failEntry(const QString &text);
    Next backToWaiting(bool bothLabels);
    Next endRunAfterFailure();
    void deleteWorkFolder();
    bool isSourceModified() const;
    QString lang(const char *key, const QString &fallback = {}) const;

    Parts m;
    VideoConversion *m_conversion;
    UploadTransaction *m_transaction;
    UploadPackage *m_package;
    MediaLibraries *m_libraries;
    RecordingPreparation *m_recording;
    QString m_workFolder;
    QString m_path;
    bool m_prepareAfterVersion = false;
    int m_contentIdToSend = -1;
    bool m_running = false;
    // Asked to stop by Stop; made anew for each entry.
    StopSource m_stop;
};
