#pragma once

#include "common/Settings.h"
#include "pipeline/EntryJob.h"
#include "pipeline/EntryWork.h"
#include "pipeline/RunOptions.h"
#include "platform/StopToken.h"

#include <QCoroTask>
#include <QObject>
#include <QString>
#include <memory>
#include <optional>

class CProjectFile;
class ExecRunner;
class LanguageTable;
class MediaLibraries;
class ProcessRunner;
class ProgressView;
class QueueModel;
class RecordingPreparation;
class RunnerControls;
class TransferControl;
class UploadPackage;
class UploadStageView;
class UploadTransaction;
class VideoConversion;
struct VersionReply;
namespace Messages {
class Channel;
}

// Runs the upload queue: the first waiting entry in grid order is checked,
// gets a work folder, is announced to the server, prepared, packed and
// uploaded, and its outcome is recorded in its row; then the next, until
// none is waiting. Failures of one entry are written into its row and the
// run goes on; Stop puts the running entry back to "Waiting".
//
// An entry passes two stages: preparing (checks, server exchange,
// conversion, packing) and uploading, with the packed entry handed from one
// to the other. One at a time, each entry goes through both before the next
// is taken. Converting while uploading, the next waiting entry is prepared
// while the one before it uploads: at most one of each at a time.
class QueueRunner final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(QueueRunner)

public:
    struct Parts
    {
        QueueModel &grid;
        const RunOptions &options;
        ProgressView &view;
        RunnerControls &controls;
        ProcessRunner &processes;
        ExecRunner &runner;
        TransferControl &tarn;
        DefaultProject &defaultProject;
        CProjectFile &project;
        const LanguageTable &language;
        Messages::Channel &messages;
    };

    explicit QueueRunner(Parts parts, QObject *parent = nullptr);
    ~QueueRunner() override;

    // The Start command: runs the queue until no entry is waiting, the user
    // stops, or packing or uploading fails. Refused while a run is going on.
    void StartNextEntry();
    // The Stop command.
    void Stop();
    bool isRunning() const { return m_running; }
    // The current entry's work folder: what is packed.
    const QString &workFolder() const { return m_job.workFolder; }
    // Where the entries keep their work across restarts (EntryWork); by
    // default the one of the queue file in the data folder.
    const QString &workRoot() const { return m_workRoot; }
    void setWorkRoot(const QString &root) { m_workRoot = root; }
    // Removes the work of every entry that is no longer queued.
    void removeUnownedWork();
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

    // An entry prepared and packed, handed from the preparing stage to the
    // uploading one with everything its upload needs.
    struct Packed
    {
        EntryJob job;
        StopSource stop;
        EntryWork work;
        QString sourceKind;
        QByteArray sha256;
        int contentId = -1;
    };
    // How preparing an entry ended: packed and ready to upload, or not (and
    // then whether the run goes on).
    struct Prepared
    {
        Prepared(Next n) : next(n) {}
        Prepared(Packed p) : ready(std::move(p)) {}
        Next next = Next::Entry;
        std::optional<Packed> ready;
    };

    QCoro::Task<> run();
    QCoro::Task<bool> runOneAtATime();
    QCoro::Task<bool> runConvertingWhileUploading();
    QCoro::Task<Prepared> prepareEntry();
    // Work folder and current project of a recording; false when the entry failed.
    QCoro::Task<bool> openRecording();
    QCoro::Task<Prepared> handleVersionReply(QString replyText, bool firstReply);
    QCoro::Task<Prepared> recordingVersionReply(QString replyText);
    QCoro::Task<> storeServerInfo(CVideoItem entry, QString workFolder, QString contentId);
    QCoro::Task<Prepared> ConvertThenRequest();
    QCoro::Task<Prepared> PackEntry(QString sourceKind);
    QCoro::Task<Next> UploadEntry(Packed packed);
    // The run ended before a packed entry's upload: it waits again with its work kept.
    void keepForNextRun(const Packed &packed);
    // A recording's project is the one current project: it is not opened
    // while a single-file project's upload still writes into it.
    bool waitsForUpload(const QString &nextPath) const;
    // The entry fails with `text` and its work goes: its own folder only, as
    // a recording's work folder is the user's project folder. The forms
    // without an entry are the preparing stage's.
    Next failEntry(const QString &path, EntryWork &work, const QString &text);
    Next failEntry(const QString &text) { return failEntry(m_job.entry.path, m_work, text); }
    // Stop was pressed: the entry waits again, its work goes and the run ends.
    Next backToWaiting(const QString &path, EntryWork &work, bool bothLabels);
    Next backToWaiting(bool bothLabels) { return backToWaiting(m_job.entry.path, m_work, bothLabels); }
    Next endRunAfterFailure();
    // What the kept conversion, archive and upload must have been made with.
    QString conversionSettings() const;
    QString packageSettings(const QString &sourceKind) const;
    static QString uploadTarget(const CVideoItem &entry, int contentId);
    // The SHA-256 of the kept archive when the file still has it; empty otherwise.
    QCoro::Task<QByteArray> keptArchive(QString settings);
    bool isSourceModified() const;
    QString lang(const char *key, const QString &fallback = {}) const;

    Parts m;
    VideoConversion *m_conversion;
    UploadTransaction *m_transaction;
    // The uploading stage's own exchange and view, apart from the preparing stage's.
    std::unique_ptr<UploadStageView> m_uploadView;
    UploadTransaction *m_uploader;
    UploadPackage *m_package;
    MediaLibraries *m_libraries;
    RecordingPreparation *m_recording;
    // The entry being prepared, and the source of its stop token.
    EntryJob m_job;
    StopSource m_stop;
    QString m_workRoot;
    EntryWork m_work;
    // The entry being uploaded.
    std::optional<Packed> m_uploading;
    // Where the running upload goes, as its record names it.
    QString m_uploadTarget;
    bool m_prepareAfterVersion = false;
    int m_contentIdToSend = -1;
    bool m_running = false;
};
