#include "pipeline/QueueRunner.h"

#include "common/FileUtil.h"
#include "common/Lang.h"
#include "common/TextUtil.h"
#include "pipeline/ExecRunner.h"
#include "pipeline/ProgressView.h"
#include "pipeline/RecordingPreparation.h"
#include "pipeline/RunnerControls.h"
#include "pipeline/UploadPackage.h"
#include "pipeline/UploadTransaction.h"
#include "pipeline/VideoConversion.h"
#include "platform/Background.h"
#include "platform/Coro.h"
#include "platform/FileHash.h"
#include "platform/Messages.h"
#include "platform/ProcessRunner.h"
#include "queue/QueueModel.h"
#include "recorder/CProjectFile.h"
#include "recorder/MediaLibraries.h"

#include <QCryptographicHash>
#include <QDate>
#include <QDir>
#include <QFileInfo>

namespace {
// The SHA-256 of a file, on the thread pool; empty when it cannot be read
// or Stop came meanwhile.
QCoro::Task<QByteArray> fileSha256(QString path, StopToken stop = {})
{
    QCoro::Task<FilePart> hashing =
        readFilePartOffLoop(std::move(path), 0, -1, QCryptographicHash::Sha256, false, std::move(stop));
    co_return (co_await hashing).hash;
}

// Why the current project could not be read, as the entry's message.
QString projectErrorText(const LanguageTable &language, const CProjectFile &project)
{
    const QChar major = project.version.isEmpty() ? QChar() : project.version.front();
    if (major < u'5' || major > u'8')
        return QStringLiteral("Unrecognized project version!");
    return language.text(QStringLiteral("frmCommon"), QStringLiteral("msgQvpError")) + u' ' +
           project.currentStep();
}
} // namespace

// What the uploading stage shows. Its step goes to its own entry's row
// whichever entry the preparing stage works on; the progress bar is left to
// the preparing stage once that has taken the next entry.
class UploadStageView final : public ForwardingProgressView
{
public:
    UploadStageView(ProgressView &view, const QueueModel &grid) : ForwardingProgressView(view), m_grid(grid)
    {}

    // The entry being uploaded.
    QString path;

    void setProgress(int percent) override
    {
        if (m_grid.currentPath == path)
            m_view.setProgress(percent);
    }
    void setStepProgress(const StepProgress &progress) override
    {
        StepProgress own = progress;
        own.path = path;
        m_view.setStepProgress(own);
    }

private:
    const QueueModel &m_grid;
};

QueueRunner::QueueRunner(Parts parts, QObject *parent)
    : QObject(parent), m(parts),
      m_conversion(new VideoConversion(parts.runner, parts.options, parts.view, parts.language, this)),
      m_transaction(new UploadTransaction(parts.tarn, parts.view, parts.controls, parts.defaultProject,
                                          parts.language, parts.messages, this)),
      m_uploadView(std::make_unique<UploadStageView>(parts.view, parts.grid)),
      m_uploader(new UploadTransaction(parts.tarn, *m_uploadView, parts.controls, parts.defaultProject,
                                       parts.language, parts.messages, this)),
      m_package(new UploadPackage(parts.runner, parts.view, parts.language, this)),
      m_libraries(new MediaLibraries(parts.processes, this)),
      m_recording(new RecordingPreparation(
          {parts.view, parts.controls, parts.runner, *m_libraries, parts.project, parts.language}, this)),
      m_workRoot(EntryWork::defaultRoot())
{
    connect(m_conversion, &VideoConversion::conversionStarted, this, [this](const QString &path) {
        m.grid.SetEntryCell(path, QueueModel::ColCvtBeginTime, TimeNow());
    });
    connect(m_conversion, &VideoConversion::conversionEnded, this,
            [this](const QString &path) { m.grid.SetEntryCell(path, QueueModel::ColCvtEndTime, TimeNow()); });
    // The address goes into the record at once: a kill from here on resumes it.
    connect(&m.tarn, &TransferControl::uploadCreated, this, [this](const QString &address) {
        if (m_running && m_uploading && !m_uploading->work.isNull())
            m_uploading->work.setUploadAddress(address, m_uploadTarget);
    });
}

void QueueRunner::removeUnownedWork()
{
    EntryWork::removeUnowned(m_workRoot, m.grid.keys());
}

QString QueueRunner::conversionSettings() const
{
    const CVideoItem &e = m_job.entry;
    return EntryWork::fingerprint({QString::number(e.dstCvtType), QString::number(e.dstResType), e.dstPostfix,
                                   QString::number(e.videoWidth), QString::number(e.videoHeight), e.vBitRate,
                                   e.aBitRate, QString::number(e.customBps), QString::number(e.bInterlaced),
                                   QString::number(e.useTmpName), m_job.videoType,
                                   QString::number(m_job.uploadSource)});
}

QString QueueRunner::packageSettings(const QString &sourceKind) const
{
    const CVideoItem &e = m_job.entry;
    return EntryWork::fingerprint({conversionSettings(), sourceKind, e.title, e.Author, e.OverwriteUrl});
}

QString QueueRunner::uploadTarget(const CVideoItem &e, int contentId)
{
    return EntryWork::fingerprint({e.Url, e.account, e.folderID, QString::number(contentId), e.OverwriteUrl});
}

QCoro::Task<QByteArray> QueueRunner::keptArchive(QString settings)
{
    const QString recorded = m_work.packedSha256(settings);
    if (recorded.isEmpty())
        co_return QByteArray();
    const QString archive = m_work.archivePath();
    QCoro::Task<QByteArray> hashing = fileSha256(archive);
    const QByteArray sha256 = co_await hashing;
    co_return sha256.toHex() == recorded.toLatin1() ? sha256 : QByteArray();
}

QueueRunner::~QueueRunner() = default;

QString QueueRunner::lang(const char *key, const QString &fallback) const
{
    return m.language.text(QStringLiteral("frmUpload"), QString::fromLatin1(key), fallback);
}

void QueueRunner::StartNextEntry()
{
    Coro::start(
        this, m_running, [this] { return run(); }, [this] { Q_EMIT runFinished(); });
}

void QueueRunner::Stop()
{
    // Whatever step runs (a server exchange, a child, packing, the upload)
    // holds the token and winds down at once.
    m_stop.requestStop();
    if (m_uploading)
        m_uploading->stop.requestStop();
    m.controls.setStopEnabled(false);
}

QCoro::Task<> QueueRunner::run()
{
    QPointer<QueueRunner> self(this);
    m.controls.vidFileEnabled(false);
    removeUnownedWork();
    // Made before the co_await: GCC 12 mishandles temporaries inside it.
    QCoro::Task<bool> running =
        m.options.convertWhileUploading ? runConvertingWhileUploading() : runOneAtATime();
    const bool tookAny = co_await running;
    if (!self)
        co_return;
    // Started with nothing to do; a run that ends after its last entry
    // failed just gives the commands back.
    if (!tookAny)
        m.messages.show(QStringLiteral("Please add a video file!"));
    m.controls.setStartEnabled(m.grid.AnyEntryWaiting());
    m.controls.vidFileEnabled(true);
}

QCoro::Task<bool> QueueRunner::runOneAtATime()
{
    QPointer<QueueRunner> self(this);
    bool tookAny = false;
    while (m.grid.NextWaitingEntry() >= 0) {
        tookAny = true;
        Prepared prepared = co_await prepareEntry();
        if (!self)
            co_return tookAny;
        Next next = prepared.next;
        if (prepared.ready) {
            next = co_await UploadEntry(std::move(*prepared.ready));
            if (!self)
                co_return tookAny;
        }
        if (next == Next::EndRun)
            break;
    }
    co_return tookAny;
}

QCoro::Task<bool> QueueRunner::runConvertingWhileUploading()
{
    QPointer<QueueRunner> self(this);
    bool tookAny = false;
    bool ended = false;
    // Started, not awaited: it runs while the next entry is prepared. A
    // task dropped unfinished still runs to its end.
    std::optional<QCoro::Task<Next>> uploading;
    while (!ended) {
        const bool waiting = m.grid.NextWaitingEntry() >= 0;
        if (!waiting && !uploading)
            break;
        std::optional<Packed> ready;
        if (waiting && !(uploading && waitsForUpload(m.grid.currentPath))) {
            tookAny = true;
            Prepared prepared = co_await prepareEntry();
            if (!self)
                co_return tookAny;
            ended = prepared.next == Next::EndRun;
            ready = std::move(prepared.ready);
        }
        if (uploading) {
            QCoro::Task<Next> upload = std::move(*uploading);
            uploading.reset();
            const Next next = co_await upload;
            if (!self)
                co_return tookAny;
            ended = ended || next == Next::EndRun;
        }
        if (ready) {
            // The hand-over: the next upload starts only when the one before has ended.
            if (ended)
                keepForNextRun(*ready);
            else
                uploading.emplace(UploadEntry(std::move(*ready)));
        }
    }
    co_return tookAny;
}

bool QueueRunner::waitsForUpload(const QString &nextPath) const
{
    return m_uploading && RecordingPreparation::isSingleFileProject(m_uploading->job.entry.path) &&
           (RecordingPreparation::isSingleFileProject(nextPath) ||
            RecordingPreparation::isFolderProject(nextPath));
}

void QueueRunner::keepForNextRun(const Packed &packed)
{
    // Its conversion times stay: the kept work is what they tell of.
    const QString path = packed.job.entry.path;
    m.grid.SetEntryState(path, EntryState::Waiting);
    m.grid.SetEntryProgress(path, EntryProgress{});
    m.controls.setStartEnabled(true);
}

bool QueueRunner::isSourceModified() const
{
    const CVideoItem &entry = m_job.entry;
    return LastModifiedText(entry.path) != entry.dateLastModified ||
           FileSizeBytes(entry.path) != entry.fileSize;
}

QCoro::Task<QueueRunner::Prepared> QueueRunner::prepareEntry()
{
    QPointer<QueueRunner> self(this);
    const QString path = m.grid.currentPath;
    const QFileInfo source(path);
    const CVideoItem *record = m.grid.item(path);
    if (!source.isFile() || source.isHidden() || !record) {
        m.grid.SetEntryError(path, QStringLiteral("File not found"));
        co_return Next::Entry;
    }
    m_stop = StopSource();
    m_job = EntryJob{*record, {}, m_stop.token()};
    m_work = EntryWork();
    m_transaction->entry = m_job.entry;
    if (isSourceModified()) {
        m.grid.SetEntryError(path, QStringLiteral("File has been modified"));
        co_return Next::Entry;
    }

    m.controls.setStopEnabled(true);
    m.view.setProgress(0);
    m.grid.SetEntryState(path, EntryState::Transfering);
    m_work = EntryWork(m_workRoot, path);
    if (!m_work.open(m_job.entry)) {
        const QString folder = m_work.folder();
        m_work = EntryWork();
        co_return failEntry(PrepareResultText(0, QStringLiteral("cannot create the work folder ") + folder));
    }

    const bool singleFile = RecordingPreparation::isSingleFileProject(path);
    const bool recording = singleFile || RecordingPreparation::isFolderProject(path);
    if (recording) {
        const bool opened = co_await openRecording();
        if (!self)
            co_return Next::EndRun;
        if (!opened)
            co_return Next::Entry;
    } else {
        m.view.setConvertDetailsVisible(true);
        m_job.workFolder = m_work.contentFolder();
    }

    m.controls.setStartEnabled(false);
    m_prepareAfterVersion = true;
    const CVideoItem &entry = m_job.entry;
    // A single-file project keeps its server binding in its own project file.
    const ProfileServer recorded = ReadProfileServer(m_job.workFolder, path, [this] {
        return ProfileServer{m.project.url, m.project.folderID, m.project.contentID, true};
    });
    // An earlier upload of this entry into the same place is replaced.
    const bool replacesEarlier = entry.OverwriteUrl.isEmpty() && entry.contentID != QLatin1String("0") &&
                                 !entry.contentID.isEmpty() && entry.Url == recorded.url &&
                                 entry.folderID == recorded.folderID;
    const int contentId = replacesEarlier ? entry.contentID.toInt() : -1;
    m_contentIdToSend = entry.OverwriteUrl.isEmpty() ? entry.contentID.toInt() : -1;
    // Arguments are made before the co_await: GCC 12 mishandles temporaries inside it.
    const QString postData = m_transaction->versionPostData(singleFile);
    const auto reply = co_await m_transaction->SendVersionRequest(postData, contentId, m_job.stop);
    if (!self)
        co_return Next::EndRun;
    if (!reply)
        co_return backToWaiting(false);
    if (recording)
        co_return co_await recordingVersionReply(*reply);
    co_return co_await handleVersionReply(*reply, true);
}

QCoro::Task<bool> QueueRunner::openRecording()
{
    QPointer<QueueRunner> self(this);
    const QString path = m_job.entry.path;
    QString projectFile = path;
    if (RecordingPreparation::isFolderProject(path)) {
        // Slides, list and profile are made beside the recording itself.
        m_job.workFolder = QFileInfo(path).absolutePath();
        m.view.setConvertDetailsVisible(true);
    } else {
        // Unpacked afresh each time: only the archive is kept.
        m_job.workFolder = m_work.contentFolder();
        if (RecreateFolder(m_job.workFolder) != 0) {
            failEntry(
                PrepareResultText(0, QStringLiteral("cannot create the work folder ") + m_job.workFolder));
            co_return false;
        }
        const QString folder = m_job.workFolder;
        const QString error = co_await m_recording->unpackSingleFile(path, folder);
        if (!self)
            co_return false;
        if (!error.isEmpty()) {
            failEntry(error);
            co_return false;
        }
        projectFile = QDir(m_job.workFolder).filePath(QStringLiteral("project.qvp"));
    }
    if (!m.project.Load(projectFile, false, m_job.workFolder)) {
        failEntry(projectErrorText(m.language, m.project));
        co_return false;
    }
    co_return true;
}

QCoro::Task<QueueRunner::Prepared> QueueRunner::recordingVersionReply(QString replyText)
{
    QPointer<QueueRunner> self(this);
    m_prepareAfterVersion = false;
    if (replyText.isEmpty() && !m_transaction->lastError.isEmpty())
        co_return failEntry(m_transaction->lastError);
    const RecordingVerdict verdict = co_await m_recording->RecordingVersionReply(replyText, m_job);
    if (!self)
        co_return Next::EndRun;
    switch (verdict.next) {
    case RecordingVerdict::Next::Fail:
        co_return failEntry(verdict.error);
    case RecordingVerdict::Next::Stopped:
        co_return backToWaiting(true);
    case RecordingVerdict::Next::Pack:
        break;
    }
    if (verdict.uploadAsNew)
        m_contentIdToSend = 0;
    if (m_job.entry.title.isEmpty())
        m_job.entry.title = m.project.title;
    m.view.setConvertDetailsVisible(false);
    co_return co_await PackEntry(verdict.productName);
}

QCoro::Task<QueueRunner::Prepared> QueueRunner::handleVersionReply(QString replyText, bool firstReply)
{
    QPointer<QueueRunner> self(this);
    const CVideoItem &entry = m_job.entry;
    if (replyText.isEmpty() && !m_transaction->lastError.isEmpty())
        co_return failEntry(m_transaction->lastError);
    const VersionReply reply = VersionReply::parse(replyText);
    const QString tarnError = UploadTransaction::tarnErrorText(m.language);
    if (const QString refused = reply.errorText(m.language, tarnError); !refused.isEmpty())
        co_return failEntry(refused);

    m_job.videoType = reply.videotype;
    m_job.uploadSource = reply.videosrc == QLatin1String("1");
    if (!reply.slidesize.isEmpty())
        m_recording->applySlideSize(reply.slidesize);
    qint64 required = UploadTransaction::requiredMegabytes(entry);
    if (!firstReply) {
        const QString workFolder = m_job.workFolder;
        QFuture<qint64> measuring = offLoop([workFolder] { return FolderSizeBytes(workFolder); });
        const qint64 bytes = co_await measuring;
        if (!self)
            co_return Next::EndRun;
        required = UploadTransaction::megabytes(bytes);
    }
    if (const QString tooLarge = reply.quotaFailure(required); !tooLarge.isEmpty())
        co_return failEntry(tooLarge);

    if (m_prepareAfterVersion) {
        m_prepareAfterVersion = false;
        if (entry.dstCvtType != ServerConversion)
            co_return co_await ConvertThenRequest();
        const QString source = entry.path;
        const QString copyName = QStringLiteral("src.") + QFileInfo(source).suffix();
        const QString settings = conversionSettings();
        if (m_work.convertedFile(settings) != copyName) {
            if (!HasFreeSpace(m_job.workFolder, 2 * FileSizeBytes(entry.path)))
                co_return failEntry(PrepareResultText(-9, {}));
            m_work.clearContent();
            const QString copy = QDir(m_job.workFolder).filePath(copyName);
            QFuture<bool> copying = CopyFileOffLoop(source, copy);
            const bool copied = co_await copying;
            if (!self)
                co_return Next::EndRun;
            if (!copied)
                co_return failEntry(PrepareResultText(-5, {}));
            m_work.setConverted(copyName, settings);
        }
        m.view.setConvertDetailsVisible(false);
    }

    if (const QString refused = reply.overwriteRefusal(m.language, tarnError); !refused.isEmpty())
        co_return failEntry(refused);
    if (reply.overwrite == QLatin1String("1")) {
        // A document named by its address has no folder to take a new
        // upload: there No keeps the content as it is, like Cancel.
        const bool byUrl = !entry.OverwriteUrl.isEmpty();
        const QString question = lang(byUrl ? "msgOverwriteUrl" : "msgOverwrite");
        const QString path = entry.path;
        const Messages::Answer answer =
            co_await m.messages.ask(question, path, Messages::Buttons::YesNoCancel, Messages::Icon::Question);
        if (!self)
            co_return Next::EndRun;
        if (answer == Messages::Answer::No && !byUrl) {
            m_contentIdToSend = 0;
        } else if (answer != Messages::Answer::Yes) {
            m.grid.SetEntryState(path, EntryState::Canceled);
            m.view.setConvertInfo(lang("lInfoCancel"));
            m_work.remove();
            co_return Next::Entry;
        }
    }
    if (m_job.stopped())
        co_return backToWaiting(true);
    const QString kind = QStringLiteral("Video");
    co_return co_await PackEntry(kind);
}

QCoro::Task<QueueRunner::Prepared> QueueRunner::ConvertThenRequest()
{
    QPointer<QueueRunner> self(this);
    const QString settings = conversionSettings();
    // The file the conversion ends with: the encode, or its temporary name.
    const bool mp4 = m_job.videoType == u"mp4";
    const QString video = !mp4                     ? QStringLiteral("video.flv")
                          : m_job.entry.useTmpName ? QStringLiteral("tmp.mp4")
                                                   : m_job.entry.dstFileName();
    if (m_work.convertedFile(settings) == video) {
        m.view.appendOutputLine(QStringLiteral("Conversion kept from an earlier run: ") + video);
    } else {
        // Whatever a cut-off conversion left goes first.
        m_work.clearContent();
        const PrepareResult result = co_await m_conversion->PrepareVideo(m_job);
        if (!self)
            co_return Next::EndRun;
        if (m_job.stopped())
            co_return backToWaiting(false);
        if (!result.ok())
            co_return failEntry(result.text());
        m_work.setConverted(video, settings);
    }
    m.view.setConvertDetailsVisible(false);
    CVideoItem &entry = m_job.entry;
    if (entry.title.isEmpty())
        entry.title = QStringLiteral("Title, ") + QDate::currentDate().toString(Qt::ISODate);
    m_transaction->entry = entry;
    const QString postData = m_transaction->versionPostData(false);
    const auto reply = co_await m_transaction->SendVersionRequest(postData, -1, m_job.stop);
    if (!self)
        co_return Next::EndRun;
    if (!reply)
        co_return backToWaiting(false);
    co_return co_await handleVersionReply(*reply, false);
}

QCoro::Task<QueueRunner::Prepared> QueueRunner::PackEntry(QString sourceKind)
{
    QPointer<QueueRunner> self(this);
    const bool lumetra = sourceKind == QLatin1String("Lumetra");
    const QString path = m_job.entry.path;
    if (!lumetra)
        UploadPackage::CreateProfile(m_job, sourceKind, &m.project);

    const QString zipFolder = m_work.packageFolder();
    const QString settings = packageSettings(sourceKind);
    QByteArray sha256 = co_await keptArchive(settings);
    if (!self)
        co_return Next::EndRun;
    PackResult packed;
    if (!sha256.isEmpty()) {
        m.view.appendOutputLine(QStringLiteral("Archive kept from an earlier run"));
        packed.outcome = PackResult::Outcome::Packed;
    } else if (lumetra) {
        m_work.clearPackage();
        RecreateFolder(zipFolder);
        const QString archive = QDir(zipFolder).filePath(QStringLiteral("tarn_file.zip"));
        QFuture<bool> copying = CopyFileOffLoop(path, archive);
        const bool copied = co_await copying;
        if (!self)
            co_return Next::EndRun;
        packed.outcome = copied ? PackResult::Outcome::Packed : PackResult::Outcome::Failed;
    } else {
        m_work.clearPackage();
        packed = co_await m_package->PackFiles(m_job, sourceKind, zipFolder);
        if (!self)
            co_return Next::EndRun;
    }
    if (sha256.isEmpty() && packed.outcome == PackResult::Outcome::Packed && !m_job.stopped()) {
        const QString archive = m_work.archivePath();
        QCoro::Task<QByteArray> hashing = fileSha256(archive, m_job.stop);
        sha256 = co_await hashing;
        if (!self)
            co_return Next::EndRun;
        if (sha256.isEmpty()) {
            packed.outcome = PackResult::Outcome::Failed;
            packed.error = QStringLiteral("Cannot read ") + archive;
        } else {
            m_work.setPacked(QString::fromLatin1(sha256.toHex()), settings);
        }
    }
    if (packed.outcome != PackResult::Outcome::Packed || m_job.stopped()) {
        DeleteFolderIfExists(zipFolder);
        if (m_job.stopped()) {
            m.grid.resetEntry(path);
            m.view.setStatusText(lang("lInfoCancel"));
            co_return endRunAfterFailure();
        }
        if (!packed.error.isEmpty())
            m.view.appendOutputLine(packed.error);
        const QString text = packed.archiveWritten
                                 ? lang("msgPackCancel", QStringLiteral("Packing file ... Canceled!"))
                                 : lang("msgPackError", QStringLiteral("Packing file error!"));
        m.view.setStatusText(text);
        failEntry(text);
        co_return endRunAfterFailure();
    }
    const int contentId = m_job.entry.OverwriteUrl.isEmpty() ? m_contentIdToSend : -1;
    co_return Packed{m_job, m_stop, m_work, sourceKind, sha256, contentId};
}

QCoro::Task<QueueRunner::Next> QueueRunner::UploadEntry(Packed packed)
{
    QPointer<QueueRunner> self(this);
    m_uploading = std::move(packed);
    Packed &up = *m_uploading;
    const QString path = up.job.entry.path;
    m_uploadView->path = path;
    const QString zipFolder = up.work.packageFolder();
    m.grid.SetEntryCell(path, QueueModel::ColUploadBeginTime, TimeNow());
    const CVideoItem entry = up.job.entry;
    m_uploader->entry = entry;
    m_uploadTarget = uploadTarget(entry, up.contentId);
    const UploadResume resume{up.work.uploadAddress(m_uploadTarget), up.sha256};
    const int sentContentId = up.contentId;
    const StopToken stop = up.job.stop;
    const bool uploaded = co_await m_uploader->UploadPackage(zipFolder, sentContentId, stop, resume);
    if (!self)
        co_return Next::EndRun;
    // Whatever comes next, nothing of this entry is uploading any more.
    Packed done = std::move(*m_uploading);
    m_uploading.reset();
    if (m_uploader->resumedAt >= 0)
        m.view.appendOutputLine(QStringLiteral("Upload resumed at byte %1 of %2")
                                    .arg(m_uploader->resumedAt)
                                    .arg(FileSizeBytes(done.work.archivePath())));
    if (!uploaded) {
        if (done.job.stopped())
            co_return backToWaiting(path, done.work, true);
        failEntry(path, done.work, m_uploader->lastError);
        m.view.setStatusText(m.grid.GetEntryCell(path, QueueModel::ColError) + lang("lInfoFail"));
        co_return endRunAfterFailure();
    }
    // The server's answer stays with the work folder (or the single-file
    // project), so that the next upload of the same entry replaces this content.
    const QString contentId = m_uploader->storedContentId;
    const QString contentUrl = m_uploader->storedContentUrl;
    if (done.sourceKind == QLatin1String("Lumetra")) {
        co_await storeServerInfo(entry, done.job.workFolder, contentId);
        if (!self)
            co_return Next::EndRun;
    } else {
        WriteProfileServer(done.job.workFolder, entry.Url, entry.folderID, contentId);
    }
    m.grid.SetEntryCell(path, QueueModel::ColUploadEndTime, TimeNow());
    m.grid.setContentUrl(path, contentUrl);
    m.grid.SetEntryState(path, EntryState::Finished);
    // Only once the finish is recorded: a kill while the record goes would
    // otherwise leave the entry waiting, to be uploaded again as new content.
    done.work.remove();
    Q_EMIT entryUploaded(path, contentId);
    // Converting while uploading, another entry may still be on its way.
    if (!m.grid.AnyEntryWaiting() && !(m.options.convertWhileUploading && m.grid.AnyEntryTransfering())) {
        m.controls.setStopEnabled(false);
        m.messages.show(lang("msgComplete", QStringLiteral("Uploading data ... Finished!")));
        m.controls.restoreExitCaption();
        co_return Next::EndRun;
    }
    co_return Next::Entry;
}

QCoro::Task<> QueueRunner::storeServerInfo(CVideoItem entry, QString workFolder, QString contentId)
{
    QPointer<QueueRunner> self(this);
    const QString path = entry.path;
    const QString url = entry.Url;
    const QString folderId = entry.folderID;
    const QString error = co_await m_recording->storeServerInfo(path, workFolder, url, folderId, contentId);
    if (!self)
        co_return;
    if (!error.isEmpty()) {
        m.view.appendOutputLine(error);
        co_return;
    }
    // The project now holds the binding: the entry follows its changed file.
    if (CVideoItem *record = m.grid.item(path)) {
        record->fileSize = FileSizeBytes(path);
        record->dateLastModified = LastModifiedText(path);
    }
}

QueueRunner::Next QueueRunner::failEntry(const QString &path, EntryWork &work, const QString &text)
{
    m.grid.SetEntryError(path, text);
    work.remove();
    m.view.setConvertInfo(text + lang("lInfoFail"));
    return Next::Entry;
}

QueueRunner::Next QueueRunner::backToWaiting(const QString &path, EntryWork &work, bool bothLabels)
{
    // A stopped entry starts over: its times and progress would tell of work that is gone.
    m.grid.resetEntry(path);
    m.view.setConvertInfo(lang("lInfoCancel"));
    if (bothLabels)
        m.view.setStatusText(lang("lInfoCancel"));
    work.remove();
    return endRunAfterFailure();
}

QueueRunner::Next QueueRunner::endRunAfterFailure()
{
    m.controls.setStartEnabled(m.grid.AnyEntryWaiting());
    return Next::EndRun;
}
