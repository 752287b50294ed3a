#pragma once

#include "platform/StopToken.h"

#include <QCoroTask>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QUrl>
#include <chrono>

class QNetworkAccessManager;
class QNetworkReply;
class QNetworkRequest;

enum class TransferOutcome
{
    // The server answered the request.
    Replied,
    // No good answer: `error` says why.
    Failed,
    // The caller asked to stop before the answer came.
    Stopped
};

// How a form request ended.
struct TransferReply
{
    TransferOutcome outcome = TransferOutcome::Failed;
    // The reply's text. A refusal still comes as a document, so there may be
    // text beside an error.
    QString text;
    // Why there was no good reply, naming the host; empty when there was one.
    QString error;

    bool stopped() const { return outcome == TransferOutcome::Stopped; }
};

// How an upload ended: `text` is the registration's reply (or the creation's
// refusal document).
struct UploadResult : TransferReply
{
    // Bytes the server had confirmed when the upload ended.
    qint64 acknowledged = 0;
    // Bytes the server already held of an upload resumed from an earlier
    // run; -1 when this call created the upload.
    qint64 resumedAt = -1;
};

// What an earlier run knows of an upload: its address on the server and the
// archive's SHA-256 (raw bytes). Either may be empty.
struct UploadResume
{
    QString address;
    QByteArray sha256;
};

// Every exchange with a content or update server, each call an awaitable
// task that ends with the reply or why there was none. A call ends with a
// Stopped outcome within a loop turn of its token being asked to stop; a
// stopped upload is also removed from the server.
//
// PutFile sends the file with the resumable tus protocol in chunks read from
// disk, picks up after a cut connection at the offset the server confirmed,
// and then registers the upload. Given the address of an earlier run's
// upload, it asks the server for its offset and sends only the rest; when
// the server no longer knows it, the address is registered once more (the
// earlier run may have been cut off while registering) and, if that finds
// nothing, a new upload starts. It trusts no answer: an offset beyond the
// file or behind what the server confirmed before, or an upload address
// missing or on another server, ends it with an error.
class TransferControl final : public QObject
{
    Q_OBJECT
public:
    struct Limits
    {
        // A request with no bytes moving for this long is given up.
        std::chrono::milliseconds idle{std::chrono::seconds(60)};
        // A request not answered in full within this long is given up, however
        // steadily the bytes trickle in.
        std::chrono::milliseconds deadline{std::chrono::minutes(2)};
        // The same for one chunk of an upload, sent at the user's bandwidth.
        std::chrono::milliseconds chunkDeadline{std::chrono::minutes(30)};
        // The registration checks the whole archive before it answers: its
        // idle time and deadline.
        std::chrono::milliseconds registration{std::chrono::minutes(10)};
        // Every reply is a small document; a longer one is refused unread.
        qint64 replyBytes = 4 * 1024 * 1024;
        // Failed attempts in a row before an upload gives up, and the first
        // pause between them; each further pause doubles, up to a minute.
        int retries = 6;
        std::chrono::milliseconds firstPause{std::chrono::seconds(1)};
        qint64 chunkBytes = 16 * 1024 * 1024;
    };

    // `network` must outlive the control.
    explicit TransferControl(QNetworkAccessManager &network, QObject *parent = nullptr);
    ~TransferControl() override;
    Q_DISABLE_COPY_MOVE(TransferControl)

    QCoro::Task<TransferReply> Request(QString url, QString account, QString password, QString postData,
                                       StopToken stop);
    QCoro::Task<TransferReply> GetVersion(QString url, QString account, QString password, int folderId,
                                          int contentId, QString projectVersion, QString postData,
                                          StopToken stop);
    // Progress is told by uploadProgress() and registering(); run one upload
    // at a time per control, so that they describe it.
    QCoro::Task<UploadResult> PutFile(QString url, QString account, QString password, int folderId,
                                      int contentId, QString filePath, StopToken stop,
                                      UploadResume resume = {});

    // The percent shown for an upload: the bytes the server holds plus the
    // part of the running chunk on its way, at most 99; 100 stays for "all
    // there, being registered".
    static int progressPercent(qint64 held, qint64 total);

    void setLimits(const Limits &limits) { m_limits = limits; }
    const Limits &limits() const { return m_limits; }

Q_SIGNALS:
    // The running upload moved: `acknowledged` bytes of `total` are confirmed
    // by the server; `percent` follows progressPercent().
    void uploadProgress(qint64 acknowledged, qint64 total, int percent);
    // Every byte is on the server, which now checks and stores the archive.
    void registering();
    // The server made a new upload at `address`: a later run can resume it.
    void uploadCreated(const QString &address);

private:
    struct Outcome;
    struct UploadState;
    // Part of the file to upload, in memory with its SHA-1; `bytes` is empty
    // when it could not be read.
    struct Chunk
    {
        qint64 offset = 0;
        QByteArray bytes;
        QByteArray sha1;
    };

    QCoro::Task<TransferReply> runForm(QUrl url, QByteArray authorization, QByteArray body, StopToken stop);
    QCoro::Task<UploadResult> runUpload(QUrl url, QByteArray authorization, int folderId, int contentId,
                                        QString filePath, StopToken stop, UploadResume resume);
    QCoro::Task<Outcome> send(QNetworkRequest request, QByteArray verb, QByteArray body, StopToken stop,
                              std::chrono::milliseconds idle, std::chrono::milliseconds deadline);
    QNetworkReply *sendChunk(const QUrl &uploadUrl, const QByteArray &authorization, const Chunk &chunk,
                             const std::shared_ptr<UploadState> &state);
    QCoro::Task<Chunk> readChunk(QString path, qint64 start, qint64 length, StopToken stop);
    QCoro::Task<Outcome> finishReply(QPointer<QNetworkReply> reply, StopToken stop,
                                     std::chrono::milliseconds idle, std::chrono::milliseconds deadline);
    // Waits before the next try after `failures` failed ones: each pause
    // doubles, up to a minute. False when Stop came first.
    QCoro::Task<bool> pauseBeforeRetry(int failures, StopToken stop);
    QNetworkRequest tusRequest(const QUrl &url, const QByteArray &authorization) const;
    void report(UploadState &state);
    void terminate(const QUrl &uploadUrl, const QByteArray &authorization);

    QNetworkAccessManager &m_network;
    Limits m_limits;
};
