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
#include "platform/AppPaths.h"
#include "platform/Coro.h"
#include "platform/Messages.h"
#include "queue/CVideoList.h"
#include "queue/QueueModel.h"
#include "recorder/CProjectFile.h"
#include "recorder/MediaLibraries.h"

#include <QDate>
#include <QDir>
#include <QFileInfo>

namespace {
const QString kWaiting = QStringLiteral("Waiting");
const QString kWorkPrefix = QStringLiteral("_qvClipFerry_");
const QString kZdmPrefix = QStringLiteral("tmp_zdm_");

// Why the current project could not be read, as the entry's message.
QString projectErrorText(const CProjectFile &project)
{
    const QChar major = project.version.isEmpty() ? QChar() : project.version.front();
    if (major < u'5' || major > u'8')
        return QStringLiteral("Unrecognized project version!");
    return Lang(QStringLiteral("frmCommon"), QStringLiteral("msgQvpError")) + u' ' + project.currentStep();
}
} // namespace

QueueRunner::QueueRunner(Parts parts, QObject *parent)
    : QObject(parent), m(parts),
      m_conversion(new VideoConversion(parts.runner, parts.flags, parts.view, &parts.grid, this)),
      m_transaction(new UploadTransaction(parts.tarn, parts.flags, parts.view, parts.controls,
                                          parts.defaultProject, this)),
      m_package(new UploadPackage(parts.runner, parts.flags, parts.view, this)),
      m_libraries(new MediaLibraries(this)),
      m_recording(new RecordingPreparation(
          {parts.flags, parts.view, parts.controls, parts.runner, *m_libraries, parts.project}, this))
{}

QueueRunner::~QueueRunner() = default;

QString QueueRunner::lang(const char *key, const QString &fallback) const
{
    return Lang(QStringLiteral("frmUpload"), QString::fromLatin1(key), fallback);
}

void QueueRunner::StartNextEntry()
{
    Coro::start(
        this, m_running, [this] { return run(); }, [this] { Q_EMIT runFinished(); });
}

void QueueRunner::Stop()
{
    RequestStop(m.flags, [this] { m.runner.StopExec(); });
    m_stop.requestStop();
    m.controls.setStopEnabled(false);
}

QCoro::Task<> QueueRunner::run()
{
    QPointer<QueueRunner> self(this);
    m.controls.vidFileEnabled(false);
    bool first = true;
    while (m.grid.NextWaitingEntry() > 0) {
        first = false;
        const Next next = co_await runEntry();
        if (!self)
            co_return;
        if (next == Next::EndRun)
            break;
    }
    // Started with nothing to do; a run that ends after its last entry
    // failed just gives the commands back.
    if (first)
        Messages::show(QStringLiteral("Please add a video file!"));
    m.flags.stepRunning = false;
    m.controls.setStartEnabled(m.grid.AnyEntryWaiting());
    m.controls.vidFileEnabled(true);
}

bool QueueRunner::isSourceModified() const
{
    const CVideoItem &entry = m_transaction->entry;
    return LastModifiedText(m_path) != entry.dateLastModified || FileSizeBytes(m_path) != entry.fileSize;
}

QCoro::Task<QueueRunner::Next> QueueRunner::runEntry()
{
    QPointer<QueueRunner> self(this);
    m_stop = StopSource();
    m_path = m.grid.currentPath;
    const QFileInfo source(m_path);
    const CVideoItem *record = m.list.item(m_path);
    if (!source.isFile() || source.isHidden() || !record) {
        m.grid.SetEntryError(m_path, QStringLiteral("File not found"));
        co_return Next::Entry;
    }
    m_transaction->entry = *record;
    if (isSourceModified()) {
        m.grid.SetEntryError(m_path, QStringLiteral("File has been modified"));
        co_return Next::Entry;
    }

    m.controls.setStopEnabled(true);
    m.view.setProgress(0);
    m.grid.SetEntryState(m_path, QStringLiteral("Transfering"));
    m.flags.stepRunning = false;
    m.flags.stepCanceled = false;
    m.flags.cancelRequested = false;
    deleteWorkFolder();

    const bool singleFile = RecordingPreparation::isSingleFileProject(m_path);
    const bool recording = singleFile || RecordingPreparation::isFolderProject(m_path);
    if (recording) {
        const bool opened = co_await openRecording();
        if (!self)
            co_return Next::EndRun;
        if (!opened)
            co_return Next::Entry;
    } else {
        m.view.setConvertDetailsVisible(true);
        m_workFolder = UniqueTempFolder(AppPaths::tempDir(), kWorkPrefix);
        if (m_workFolder.isEmpty() || !QDir().mkpath(m_workFolder))
            co_return failEntry(PrepareResultText(0, QStringLiteral("cannot create a work folder in ") +
                                                         AppPaths::tempDir()));
        m.flags.tempFolders.append(m_workFolder);
    }

    m.controls.setStartEnabled(false);
    m_prepareAfterVersion = true;
    const CVideoItem &entry = m_transaction->entry;
    // A single-file project keeps its server binding in its own project file.
    const ProfileServer recorded = ReadProfileServer(m_workFolder, m_path, [this] {
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
    const StopToken stop = m_stop.token();
    const auto reply = co_await m_transaction->SendVersionRequest(postData, contentId, stop);
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
    QString projectFile = m_path;
    if (RecordingPreparation::isFolderProject(m_path)) {
        // Slides, list and profile are made beside the recording itself.
        m_workFolder = QFileInfo(m_path).absolutePath();
        m.view.setConvertDetailsVisible(true);
    } else {
        m_workFolder = UniqueTempFolder(AppPaths::tempDir(), kZdmPrefix);
        if (m_workFolder.isEmpty() || !QDir().mkpath(m_workFolder)) {
            failEntry(PrepareResultText(0, QStringLiteral("cannot create a work folder in ") +
                                               AppPaths::tempDir()));
            co_return false;
        }
        m.flags.tempFolders.append(m_workFolder);
        const QString error = co_await m_recording->unpackSingleFile(m_path, m_workFolder);
        if (!self)
            co_return false;
        if (!error.isEmpty()) {
            failEntry(error);
            co_return false;
        }
        projectFile = QDir(m_workFolder).filePath(QStringLiteral("project.qvp"));
    }
    if (!m.project.Load(projectFile, false, m_workFolder)) {
        failEntry(projectErrorText(m.project));
        co_return false;
    }
    m_recording->workFolder = m_workFolder;
    co_return true;
}

QCoro::Task<QueueRunner::Next> QueueRunner::recordingVersionReply(QString replyText)
{
    QPointer<QueueRunner> self(this);
    m.flags.stepRunning = false;
    m_prepareAfterVersion = false;
    if (replyText.isEmpty() && !m_transaction->lastError.isEmpty())
        co_return failEntry(m_transaction->lastError);
    const RecordingVerdict verdict = co_await m_recording->RecordingVersionReply(replyText, m_path);
    if (!self)
        co_return Next::EndRun;
    switch (verdict.next) {
    case RecordingVerdict::Next::Fail:
        co_return failEntry(verdict.error);
    case RecordingVerdict::Next::Stopped:
        m.flags.cancelRequested = false;
        m.grid.SetEntryState(m_path, kWaiting);
        m.view.setStatusText(lang("lInfoCancel"));
        deleteWorkFolder();
        co_return endRunAfterFailure();
    case RecordingVerdict::Next::Pack:
        break;
    }
    if (verdict.uploadAsNew)
        m_contentIdToSend = 0;
    CVideoItem &entry = m_transaction->entry;
    if (entry.title.isEmpty())
        entry.title = m.project.title;
    m.view.setConvertDetailsVisible(false);
    m.flags.stepRunning = true;
    m.flags.stepCanceled = false;
    co_return co_await PackAndUpload(verdict.productName);
}

QCoro::Task<QueueRunner::Next> QueueRunner::handleVersionReply(QString replyText, bool firstReply)
{
    QPointer<QueueRunner> self(this);
    m.flags.stepRunning = false;
    CVideoItem &entry = m_transaction->entry;
    if (replyText.isEmpty() && !m_transaction->lastError.isEmpty())
        co_return failEntry(m_transaction->lastError);
    const VersionReply reply = VersionReply::parse(replyText);
    const QString tarnError = UploadTransaction::tarnErrorText();
    if (const QString refused = reply.errorText(tarnError); !refused.isEmpty())
        co_return failEntry(refused);

    m_conversion->dstType = reply.videotype;
    m_conversion->uploadSource = reply.videosrc == QLatin1String("1");
    if (!reply.slidesize.isEmpty())
        m_recording->applySlideSize(reply.slidesize);
    const qint64 required = firstReply ? UploadTransaction::requiredMegabytes(entry)
                                       : UploadTransaction::megabytes(FolderSizeBytes(m_workFolder));
    if (const QString tooLarge = reply.quotaFailure(required); !tooLarge.isEmpty())
        co_return failEntry(tooLarge);

    if (m_prepareAfterVersion) {
        m_prepareAfterVersion = false;
        if (entry.dstCvtType != 1)
            co_return co_await ConvertThenRequest();
        if (!HasFreeSpace(m_workFolder, 2 * FileSizeBytes(entry.path)))
            co_return failEntry(PrepareResultText(-9, {}));
        CopyFileReplace(entry.path,
                        QDir(m_workFolder).filePath(QStringLiteral("src.") + QFileInfo(entry.path).suffix()));
        m.flags.stepCanceled = false;
        m.flags.stepRunning = true;
        m.view.setConvertDetailsVisible(false);
    }

    if (const QString refused = reply.overwriteRefusal(tarnError); !refused.isEmpty())
        co_return failEntry(refused);
    if (reply.overwrite == QLatin1String("1")) {
        const QString question = lang("msgOverwrite");
        const Messages::Answer answer = co_await Messages::ask(
            question, m_path, Messages::Buttons::YesNoCancel, Messages::Icon::Question);
        if (!self)
            co_return Next::EndRun;
        if (answer == Messages::Answer::No) {
            m_contentIdToSend = 0;
        } else if (answer == Messages::Answer::Cancel) {
            m.grid.SetEntryState(m_path, QStringLiteral("Canceled"));
            m.view.setConvertInfo(lang("lInfoCancel"));
            deleteWorkFolder();
            co_return Next::Entry;
        }
    }
    const QString kind = QStringLiteral("Video");
    co_return co_await PackAndUpload(kind);
}

QCoro::Task<QueueRunner::Next> QueueRunner::ConvertThenRequest()
{
    QPointer<QueueRunner> self(this);
    m_conversion->entry = m_transaction->entry;
    const int result = co_await m_conversion->PrepareVideo(m_path, m_workFolder);
    if (!self)
        co_return Next::EndRun;
    if (m.flags.cancelRequested) {
        deleteWorkFolder();
        m.flags.cancelRequested = false;
        m.grid.SetEntryState(m_path, kWaiting);
        m.view.setConvertInfo(lang("lInfoCancel"));
        co_return Next::EndRun;
    }
    if (result < 1)
        co_return failEntry(PrepareResultText(result, m_conversion->lastError));
    m.view.setConvertDetailsVisible(false);
    m.flags.stepCanceled = false;
    CVideoItem &entry = m_transaction->entry;
    if (entry.title.isEmpty())
        entry.title = QStringLiteral("Title, ") + QDate::currentDate().toString(Qt::ISODate);
    const QString postData = m_transaction->versionPostData(false);
    const StopToken stop = m_stop.token();
    const auto reply = co_await m_transaction->SendVersionRequest(postData, -1, stop);
    if (!self)
        co_return Next::EndRun;
    if (!reply)
        co_return backToWaiting(false);
    co_return co_await handleVersionReply(*reply, false);
}

QCoro::Task<QueueRunner::Next> QueueRunner::PackAndUpload(QString sourceKind)
{
    QPointer<QueueRunner> self(this);
    const bool lumetra = sourceKind == QLatin1String("Lumetra");
    m_package->entry = m_transaction->entry;
    m_package->workFolder = m_workFolder;
    m_package->uploadSource = m_conversion->uploadSource;
    m_package->project = &m.project;
    if (!lumetra)
        m_package->CreateProfile(sourceKind);

    const QString zipFolder = UploadPackage::newZipFolder();
    bool packed = false;
    if (lumetra) {
        RecreateFolder(zipFolder);
        packed = CopyFileReplace(m_path, QDir(zipFolder).filePath(QStringLiteral("tarn_file.zip")));
    } else {
        packed = co_await m_package->PackFiles(zipFolder);
        if (!self)
            co_return Next::EndRun;
    }
    if (!packed) {
        if (m.flags.stepCanceled) {
            m.grid.SetEntryState(m_path, kWaiting);
            m.view.setStatusText(lang("lInfoCancel"));
            co_return endRunAfterFailure();
        }
        const QString text = m_package->archiveWritten
                                 ? lang("msgPackCancel", QStringLiteral("Packing file ... Canceled!"))
                                 : lang("msgPackError", QStringLiteral("Packing file error!"));
        m.view.setStatusText(text);
        failEntry(text);
        co_return endRunAfterFailure();
    }

    m.grid.SetEntryCell(m_path, QueueModel::ColUploadBeginTime, TimeNow());
    const CVideoItem &entry = m_transaction->entry;
    const int contentId = entry.OverwriteUrl.isEmpty() ? m_contentIdToSend : -1;
    m.flags.stepRunning = true;
    const StopToken stop = m_stop.token();
    const bool uploaded = co_await m_transaction->UploadPackage(zipFolder, contentId, stop);
    if (!self)
        co_return Next::EndRun;
    if (!uploaded) {
        if (stop.stopRequested())
            co_return backToWaiting(true);
        failEntry(m_transaction->lastError);
        m.view.setStatusText(m.grid.GetEntryCell(m_path, QueueModel::ColError) + lang("lInfoFail"));
        co_return endRunAfterFailure();
    }
    // The server's answer stays with the work folder (or the single-file
    // project), so that the next upload of the same entry replaces this content.
    if (lumetra) {
        co_await storeServerInfo(m_transaction->storedContentId);
        if (!self)
            co_return Next::EndRun;
    } else {
        WriteProfileServer(m_workFolder, entry.Url, entry.folderID, m_transaction->storedContentId);
    }
    m.grid.SetEntryCell(m_path, QueueModel::ColUploadEndTime, TimeNow());
    m.grid.SetEntryState(m_path, QStringLiteral("Finished"));
    Q_EMIT entryUploaded(m_path, m_transaction->storedContentId);
    if (!m.grid.AnyEntryWaiting()) {
        m.flags.stepRunning = false;
        m.controls.setStopEnabled(false);
        Messages::show(lang("msgComplete", QStringLiteral("Uploading data ... Finished!")));
        m.controls.restoreExitCaption();
        co_return Next::EndRun;
    }
    co_return Next::Entry;
}

QCoro::Task<> QueueRunner::storeServerInfo(QString contentId)
{
    QPointer<QueueRunner> self(this);
    const CVideoItem &entry = m_transaction->entry;
    const QString url = entry.Url;
    const QString folderId = entry.folderID;
    const QString error = co_await m_recording->storeServerInfo(m_path, url, folderId, contentId);
    if (!self)
        co_return;
    if (!error.isEmpty()) {
        m.view.appendOutputLine(error);
        co_return;
    }
    // The project now holds the binding: the entry follows its changed file.
    if (CVideoItem *record = m.list.item(m_path)) {
        record->fileSize = FileSizeBytes(m_path);
        record->dateLastModified = LastModifiedText(m_path);
    }
}

QueueRunner::Next QueueRunner::failEntry(const QString &text)
{
    m.grid.SetEntryError(m_path, text);
    deleteWorkFolder();
    m.view.setConvertInfo(text + lang("lInfoFail"));
    m.flags.stepRunning = false;
    return Next::Entry;
}

QueueRunner::Next QueueRunner::backToWaiting(bool bothLabels)
{
    m.grid.SetEntryState(m_path, kWaiting);
    m.view.setConvertInfo(lang("lInfoCancel"));
    if (bothLabels)
        m.view.setStatusText(lang("lInfoCancel"));
    deleteWorkFolder();
    return endRunAfterFailure();
}

QueueRunner::Next QueueRunner::endRunAfterFailure()
{
    m.flags.stepRunning = false;
    m.controls.setStartEnabled(m.grid.AnyEntryWaiting());
    return Next::EndRun;
}

void QueueRunner::deleteWorkFolder()
{
    // Only folders of our own making: a recording's work folder is the
    // user's project folder.
    const QDir temp(AppPaths::tempDir());
    if (!m_workFolder.isEmpty() && (m_workFolder.startsWith(temp.filePath(kWorkPrefix)) ||
                                    m_workFolder.startsWith(temp.filePath(kZdmPrefix))))
        DeleteFolderIfExists(m_workFolder);
}
