#include "server/TransferControl.h"

#include "common/XmlUtil.h"
#include "platform/FileHash.h"

#include <QCoroNetworkReply>
#include <QCoroSignal>
#include <QCoroTimer>
#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>
#include <algorithm>
#include <memory>

using namespace std::chrono_literals;

namespace {

const QByteArray kTusVersion = QByteArrayLiteral("1.0.0");

QByteArray authorizationFor(const QString &account, const QString &password)
{
    if (account.isEmpty() && password.isEmpty())
        return {};
    return "Basic " + (account + u':' + password).toUtf8().toBase64();
}

// Credentials go with every request: a redirect may only lead back to the
// same scheme, host and port, never to another server.
QNetworkRequest guardedRequest(const QUrl &url)
{
    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::SameOriginRedirectPolicy);
    return request;
}

QNetworkRequest formRequest(const QUrl &url, const QByteArray &authorization)
{
    QNetworkRequest request = guardedRequest(url);
    request.setHeader(QNetworkRequest::ContentTypeHeader,
                      QByteArrayLiteral("application/x-www-form-urlencoded"));
    if (!authorization.isEmpty())
        request.setRawHeader("Authorization", authorization);
    return request;
}

// Statuses after which the same step may simply be tried again.
bool isPassing(int status)
{
    return status == 0 || status == 408 || status == 423 || status == 460 || status >= 500;
}

// The error code of a form reply; empty when there is none.
QString errInfoOf(int status, const QByteArray &body)
{
    pugi::xml_document doc;
    if (status != 200 || !Xml::parseText(doc, body))
        return {};
    return Xml::GetTextByPath(doc, QStringLiteral("errInfo")).trimmed();
}

// A registration without an answer, or answered "may be repeated later" (1002).
bool registrationWorthRepeating(int status, const QByteArray &body)
{
    return isPassing(status) || errInfoOf(status, body) == u"1002";
}

QUrl withTrailingSlash(QUrl url)
{
    if (!url.path().endsWith(u'/'))
        url.setPath(url.path() + u'/');
    return url;
}

// Where a port is not written, the scheme's own.
int portOf(const QUrl &url)
{
    return url.port(url.scheme() == u"https" ? 443 : 80);
}

// An upload address may only point back at the server the user named:
// credentials go with every request to it.
bool sameOrigin(const QUrl &a, const QUrl &b)
{
    return a.scheme().compare(b.scheme(), Qt::CaseInsensitive) == 0 &&
           a.host().compare(b.host(), Qt::CaseInsensitive) == 0 && portOf(a) == portOf(b);
}

// Why an Upload-Offset cannot be true; empty when it can be.
QString offsetProblem(const QString &host, qint64 claimed, qint64 confirmed, qint64 total)
{
    if (claimed > total)
        return QStringLiteral("%1: the server claims %2 bytes of a %3-byte upload")
            .arg(host)
            .arg(claimed)
            .arg(total);
    if (claimed < confirmed)
        return QStringLiteral("%1: the server went back from %2 confirmed bytes to %3")
            .arg(host)
            .arg(confirmed)
            .arg(claimed);
    return {};
}

QString cannotRead(const QString &filePath)
{
    return QStringLiteral("Cannot read %1").arg(QDir::toNativeSeparators(filePath));
}

// Why a reply was cut short by us rather than by the network or the caller.
struct ReplyGuard
{
    bool late = false;
    bool tooLarge = false;
};

// Ends a reply that is still running at `deadline`, or that is, or says it
// will be, longer than `maxBytes`: a peer that trickles or floods holds
// neither the caller nor the memory.
std::shared_ptr<ReplyGuard> guardReply(QNetworkReply *reply, std::chrono::milliseconds deadline,
                                       qint64 maxBytes)
{
    auto guard = std::make_shared<ReplyGuard>();
    // Without a limit the network thread reads on into memory long before the
    // progress reaches us; with it, a longer reply stalls just past the cap.
    reply->setReadBufferSize(maxBytes + 64 * 1024);
    QTimer::singleShot(deadline, reply, [reply, guard] {
        guard->late = true;
        reply->abort();
    });
    QObject::connect(reply, &QNetworkReply::downloadProgress, reply,
                     [reply, guard, maxBytes](qint64 got, qint64 total) {
                         if (guard->tooLarge || (got <= maxBytes && total <= maxBytes))
                             return;
                         guard->tooLarge = true;
                         reply->abort();
                     });
    return guard;
}

// The reason to show for a reply the guard ended; empty when it did not.
QString guardProblem(const ReplyGuard &guard, const QString &host, std::chrono::milliseconds deadline,
                     qint64 maxBytes)
{
    if (guard.tooLarge)
        return QStringLiteral("%1: the reply is larger than %2 KiB and was refused")
            .arg(host)
            .arg(maxBytes / 1024);
    if (guard.late)
        return QStringLiteral("%1: no complete answer within %2 seconds")
            .arg(host)
            .arg(deadline.count() / 1000.0);
    return {};
}

} // namespace

struct TransferControl::Outcome
{
    int status = 0; // 0: no HTTP answer
    QByteArray body;
    qint64 offset = -1; // Upload-Offset, when there was a valid one
    QUrl location;
    QString problem; // host and reason, when there is no good answer
    bool stopped = false;
};

// What PutFile reports while it runs; shared with the running chunk's
// progress connection.
struct TransferControl::UploadState
{
    qint64 total = 0;
    qint64 acknowledged = 0;
    qint64 inFlight = 0;
    int shownPercent = -1;
    qint64 shownAcknowledged = -1;
};

TransferControl::TransferControl(QNetworkAccessManager &network, QObject *parent)
    : QObject(parent), m_network(network)
{}

// Running calls see their replies aborted in the next loop turn and end
// without touching this object.
TransferControl::~TransferControl() = default;

int TransferControl::progressPercent(qint64 held, qint64 total)
{
    if (total <= 0)
        return 0;
    return static_cast<int>(std::min<qint64>(99, std::min(held, total) * 100 / total));
}

void TransferControl::report(UploadState &state)
{
    const int percent = progressPercent(state.acknowledged + state.inFlight, state.total);
    if (percent == state.shownPercent && state.acknowledged == state.shownAcknowledged)
        return;
    state.shownPercent = percent;
    state.shownAcknowledged = state.acknowledged;
    Q_EMIT uploadProgress(state.acknowledged, state.total, percent);
}

QCoro::Task<TransferReply> TransferControl::Request(QString url, QString account, QString password,
                                                    QString postData, StopToken stop)
{
    return runForm(QUrl(url), authorizationFor(account, password), postData.toUtf8(), std::move(stop));
}

QCoro::Task<TransferReply> TransferControl::GetVersion(QString url, QString account, QString password,
                                                       int folderId, int contentId, QString projectVersion,
                                                       QString postData, StopToken stop)
{
    QByteArray body = postData.toUtf8();
    if (!body.isEmpty())
        body += '&';
    body += "folderID=" + QByteArray::number(folderId) + "&contentID=" + QByteArray::number(contentId) +
            "&projectVer=" + QUrl::toPercentEncoding(projectVersion);
    return runForm(QUrl(url), authorizationFor(account, password), body, std::move(stop));
}

QCoro::Task<UploadResult> TransferControl::PutFile(QString url, QString account, QString password,
                                                   int folderId, int contentId, QString filePath,
                                                   StopToken stop, UploadResume resume)
{
    return runUpload(QUrl(url), authorizationFor(account, password), folderId, contentId, filePath,
                     std::move(stop), std::move(resume));
}

QCoro::Task<TransferControl::Outcome> TransferControl::send(QNetworkRequest request, QByteArray verb,
                                                            QByteArray body, StopToken stop,
                                                            std::chrono::milliseconds idle,
                                                            std::chrono::milliseconds deadline)
{
    if (stop.stopRequested()) {
        Outcome outcome;
        outcome.stopped = true;
        co_return outcome;
    }
    request.setTransferTimeout(static_cast<int>(idle.count()));
    QPointer<QNetworkReply> reply;
    if (verb == "HEAD")
        reply = m_network.head(request);
    else
        reply = m_network.sendCustomRequest(request, verb, body);
    co_return co_await finishReply(reply, stop, idle, deadline);
}

QCoro::Task<TransferControl::Outcome> TransferControl::finishReply(QPointer<QNetworkReply> reply,
                                                                   StopToken stop,
                                                                   std::chrono::milliseconds idle,
                                                                   std::chrono::milliseconds deadline)
{
    QPointer self{this};
    const qint64 maxBytes = m_limits.replyBytes;
    const auto guard = guardReply(reply, deadline, maxBytes);
    // Queued, so that the caller's Stop or our own end has returned before
    // the awaiting code runs on.
    connect(stop.state(), &StopState::stopRequested, reply, &QNetworkReply::abort, Qt::QueuedConnection);
    connect(this, &QObject::destroyed, reply, &QNetworkReply::abort, Qt::QueuedConnection);
    co_await reply.get();
    Outcome outcome;
    if (reply)
        reply->deleteLater();
    if (!self || !reply || stop.stopRequested()) {
        outcome.stopped = true;
        co_return outcome;
    }
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    outcome.status = status.isValid() ? status.toInt() : 0;
    if (reply->isOpen())
        outcome.body = reply->readAll();
    bool numeric = false;
    const qint64 offset = reply->rawHeader("Upload-Offset").trimmed().toLongLong(&numeric);
    if (numeric && offset >= 0)
        outcome.offset = offset;
    if (reply->hasRawHeader("Location"))
        outcome.location = reply->url().resolved(QUrl::fromEncoded(reply->rawHeader("Location").trimmed()));
    const QString host = reply->url().host();
    if (const QString cut = guardProblem(*guard, host, deadline, maxBytes); !cut.isEmpty()) {
        outcome.status = 0;
        outcome.body.clear();
        outcome.problem = cut;
    } else if (reply->error() == QNetworkReply::InsecureRedirectError) {
        outcome.problem =
            QStringLiteral("%1: the server redirected to another address: %2")
                .arg(host,
                     reply->attribute(QNetworkRequest::RedirectionTargetAttribute).toUrl().toDisplayString());
    } else if (reply->error() == QNetworkReply::OperationCanceledError ||
               reply->error() == QNetworkReply::TimeoutError)
        outcome.problem = QStringLiteral("%1: no answer for %2 seconds").arg(host).arg(idle.count() / 1000.0);
    else if (outcome.status == 0)
        outcome.problem = host + QStringLiteral(": ") + reply->errorString();
    else if (outcome.status >= 300)
        outcome.problem = QStringLiteral("%1: HTTP %2 %3")
                              .arg(host)
                              .arg(outcome.status)
                              .arg(reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString());
    co_return outcome;
}

QCoro::Task<TransferReply> TransferControl::runForm(QUrl url, QByteArray authorization, QByteArray body,
                                                    StopToken stop)
{
    TransferReply reply;
    if (!url.isValid() || url.host().isEmpty()) {
        reply.error = QStringLiteral("Invalid server address: %1").arg(url.toString());
        co_return reply;
    }
    const QNetworkRequest request = formRequest(url, authorization);
    const Outcome outcome = co_await send(request, "POST", body, stop, m_limits.idle, m_limits.deadline);
    if (outcome.stopped) {
        reply.outcome = TransferOutcome::Stopped;
        co_return reply;
    }
    // Replies are read whatever the status: a refusal still comes as a document.
    reply.text = QString::fromUtf8(outcome.body);
    if (outcome.status != 200)
        reply.error = outcome.problem;
    reply.outcome = reply.error.isEmpty() ? TransferOutcome::Replied : TransferOutcome::Failed;
    co_return reply;
}

QNetworkRequest TransferControl::tusRequest(const QUrl &url, const QByteArray &authorization) const
{
    QNetworkRequest request = guardedRequest(url);
    request.setRawHeader("Tus-Resumable", kTusVersion);
    if (!authorization.isEmpty())
        request.setRawHeader("Authorization", authorization);
    return request;
}

// Reads the chunk into memory and hashes it with SHA-1 in one pass: each
// byte of an upload comes from disk once, and the next chunk is read while
// the one before is on the wire. The bytes are empty when the file cannot be
// read whole or Stop came meanwhile.
QCoro::Task<TransferControl::Chunk> TransferControl::readChunk(QString path, qint64 start, qint64 length,
                                                               StopToken stop)
{
    QCoro::Task<FilePart> reading =
        readFilePartOffLoop(path, start, length, QCryptographicHash::Sha1, true, std::move(stop));
    FilePart part = co_await reading;
    co_return Chunk{start, std::move(part.bytes), std::move(part.hash)};
}

QCoro::Task<UploadResult> TransferControl::runUpload(QUrl url, QByteArray authorization, int folderId,
                                                     int contentId, QString filePath, StopToken stop,
                                                     UploadResume resume)
{
    QPointer self{this};
    UploadResult result;
    const auto state = std::make_shared<UploadState>();
    QUrl uploadUrl;
    const auto fail = [&](const QString &problem) {
        result.outcome = TransferOutcome::Failed;
        result.error = problem.isEmpty()
                           ? QStringLiteral("%1: unexpected answer from the server").arg(url.host())
                           : problem;
        result.acknowledged = state->acknowledged;
        return result;
    };
    // The server keeps nothing of a stopped upload.
    const auto stopped = [&] {
        if (self && uploadUrl.isValid())
            terminate(uploadUrl, authorization);
        result.outcome = TransferOutcome::Stopped;
        result.acknowledged = state->acknowledged;
        return result;
    };

    const QFileInfo file(filePath);
    if (!url.isValid() || url.host().isEmpty())
        co_return fail(QStringLiteral("Invalid server address: %1").arg(url.toString()));
    if (!file.isFile() || !file.isReadable())
        co_return fail(cannotRead(filePath));
    state->total = file.size();
    const qint64 total = state->total;
    QByteArray sha256 = resume.sha256;
    if (sha256.isEmpty()) {
        QCoro::Task<FilePart> hashing =
            readFilePartOffLoop(filePath, 0, total, QCryptographicHash::Sha256, false, stop);
        sha256 = (co_await hashing).hash;
        if (!self || stop.stopRequested())
            co_return stopped();
        if (sha256.isEmpty())
            co_return fail(cannotRead(filePath));
    }
    report(*state);
    // An earlier run's upload is picked up only on the server it was made on.
    bool resumed = false;
    if (const QUrl known(resume.address);
        !resume.address.isEmpty() && known.isValid() && sameOrigin(known, url)) {
        uploadUrl = known;
        resumed = true;
    }

    const QUrl registerUrl = withTrailingSlash(url);
    const QUrl createUrl = registerUrl.resolved(QUrl(QStringLiteral("uploads/")));
    const auto meta = [](const char *key, const QByteArray &value) {
        return QByteArray(key) + ' ' + value.toBase64();
    };
    const QByteArray metadata =
        meta("filename", file.fileName().toUtf8()) + ',' + meta("folderID", QByteArray::number(folderId)) +
        ',' + meta("contentID", QByteArray::number(contentId)) + ',' + meta("sha256", sha256.toHex());
    const QString host = url.host();

    Outcome outcome;
    // The next chunk, being read while the current one is sent.
    std::optional<QCoro::Task<Chunk>> ahead;
    qint64 aheadOffset = -1;
    for (;;) {
        qint64 offset = -1; // unknown until the server says
        int failures = 0;
        // The server does not know the earlier run's upload (any more).
        bool gone = false;
        while (!gone && (uploadUrl.isEmpty() || offset < total)) {
            if (uploadUrl.isEmpty()) {
                QNetworkRequest request = tusRequest(createUrl, authorization);
                request.setRawHeader("Upload-Length", QByteArray::number(total));
                request.setRawHeader("Upload-Metadata", metadata);
                outcome = co_await send(request, "POST", {}, stop, m_limits.idle, m_limits.deadline);
                if (outcome.stopped)
                    co_return stopped();
                if (outcome.status == 201) {
                    if (outcome.location.isEmpty())
                        co_return fail(host +
                                       QStringLiteral(": the server created the upload without its address"));
                    if (!sameOrigin(outcome.location, url))
                        co_return fail(QStringLiteral("%1: the server sent the upload to another address: %2")
                                           .arg(host, outcome.location.toDisplayString()));
                    uploadUrl = outcome.location;
                    offset = 0;
                    Q_EMIT uploadCreated(uploadUrl.toString(QUrl::FullyEncoded));
                    if (!self)
                        co_return stopped();
                    continue;
                }
                if (!isPassing(outcome.status)) {
                    // A refusal with its error code is the upload's reply.
                    if (outcome.body.startsWith("<?xml") || outcome.body.startsWith("<tarn"))
                        result.text = QString::fromUtf8(outcome.body);
                    co_return fail(outcome.problem);
                }
            } else if (offset < 0) {
                const QNetworkRequest request = tusRequest(uploadUrl, authorization);
                outcome = co_await send(request, "HEAD", {}, stop, m_limits.idle, m_limits.deadline);
                if (outcome.stopped)
                    co_return stopped();
                if (resumed && (outcome.status == 404 || outcome.status == 410)) {
                    gone = true;
                    continue;
                }
                if (outcome.status == 200 && outcome.offset >= 0) {
                    if (const QString wrong = offsetProblem(host, outcome.offset, state->acknowledged, total);
                        !wrong.isEmpty())
                        co_return fail(wrong);
                    if (resumed && result.resumedAt < 0)
                        result.resumedAt = outcome.offset;
                    offset = state->acknowledged = outcome.offset;
                    report(*state);
                    continue;
                }
                if (!isPassing(outcome.status))
                    co_return fail(outcome.problem);
            } else {
                // The chunk was read (and hashed) while the one before was
                // sent, unless the server made the upload go on elsewhere.
                const qint64 length = std::min(m_limits.chunkBytes, total - offset);
                if (!ahead || aheadOffset != offset)
                    ahead.emplace(readChunk(filePath, offset, length, stop));
                Chunk chunk = co_await *ahead;
                ahead.reset();
                if (!self || stop.stopRequested())
                    co_return stopped();
                if (chunk.bytes.size() != length)
                    co_return fail(cannotRead(filePath));
                // At most two chunks in memory: this one and the next.
                if (const qint64 next = offset + length; next < total) {
                    aheadOffset = next;
                    ahead.emplace(
                        readChunk(filePath, next, std::min(m_limits.chunkBytes, total - next), stop));
                }
                QNetworkReply *reply = sendChunk(uploadUrl, authorization, chunk, state);
                outcome = co_await finishReply(reply, stop, m_limits.idle, m_limits.chunkDeadline);
                if (outcome.stopped)
                    co_return stopped();
                // The reply holds the chunk it sent until Qt deletes it: one loop turn
                // frees it before the chunk after next is read, so two are held at most.
                co_await QCoro::sleepFor(0ms);
                if (!self || stop.stopRequested())
                    co_return stopped();
                state->inFlight = 0;
                if (outcome.status == 204 && outcome.offset >= 0) {
                    if (const QString wrong = offsetProblem(host, outcome.offset, state->acknowledged, total);
                        !wrong.isEmpty())
                        co_return fail(wrong);
                }
                if (outcome.status == 204 && outcome.offset > offset) {
                    offset = state->acknowledged = outcome.offset;
                    report(*state);
                    failures = 0;
                    continue;
                }
                if (outcome.status != 409 && !isPassing(outcome.status))
                    co_return fail(outcome.problem);
                report(*state);
                offset = -1; // ask the server what it kept
            }
            if (++failures > m_limits.retries)
                co_return fail(outcome.problem);
            const bool goOn = co_await pauseBeforeRetry(failures, stop);
            if (!self || !goOn)
                co_return stopped();
        }

        if (!gone)
            Q_EMIT registering();
        // The checksum names this very archive: a repeat for another one is refused.
        const QByteArray body = "upload=" + QUrl::toPercentEncoding(uploadUrl.toString(QUrl::FullyEncoded)) +
                                "&sha256=" + sha256.toHex();
        const QNetworkRequest request = formRequest(registerUrl, authorization);
        // Registering the same upload again gives the content the first try made,
        // so a reply lost on the way, or one that says to try later, is asked again.
        for (int tries = 1;; ++tries) {
            outcome =
                co_await send(request, "POST", body, stop, m_limits.registration, m_limits.registration);
            if (outcome.stopped)
                co_return stopped();
            if (!registrationWorthRepeating(outcome.status, outcome.body) || tries > m_limits.retries)
                break;
            const bool goOn = co_await pauseBeforeRetry(tries, stop);
            if (!self || !goOn)
                co_return stopped();
        }
        // Neither an upload nor a registration of it: the file goes again, whole.
        if (gone && errInfoOf(outcome.status, outcome.body) == u"1504") {
            uploadUrl.clear();
            resumed = false;
            state->acknowledged = 0;
            result.resumedAt = -1;
            continue;
        }
        break;
    }
    result.acknowledged = state->acknowledged;
    result.text = QString::fromUtf8(outcome.body);
    if (outcome.status != 200)
        result.error = outcome.problem;
    result.outcome = result.error.isEmpty() ? TransferOutcome::Replied : TransferOutcome::Failed;
    co_return result;
}

QCoro::Task<bool> TransferControl::pauseBeforeRetry(int failures, StopToken stop)
{
    QPointer<TransferControl> self(this);
    const auto pause = std::min<std::chrono::milliseconds>(
        m_limits.firstPause * (1 << std::min(failures - 1, 16)), std::chrono::minutes(1));
    // The pause is a wait for Stop that times out; the upload goes on in a
    // later loop turn, not inside the caller's Stop.
    if (!stop.stopRequested()) {
        co_await qCoro(stop.state(), &StopState::stopRequested, pause);
        co_await QCoro::sleepFor(0ms);
    }
    co_return self && !stop.stopRequested();
}

QNetworkReply *TransferControl::sendChunk(const QUrl &uploadUrl, const QByteArray &authorization,
                                          const Chunk &chunk, const std::shared_ptr<UploadState> &state)
{
    QNetworkRequest request = tusRequest(uploadUrl, authorization);
    request.setHeader(QNetworkRequest::ContentTypeHeader,
                      QByteArrayLiteral("application/offset+octet-stream"));
    request.setHeader(QNetworkRequest::ContentLengthHeader, chunk.bytes.size());
    request.setRawHeader("Upload-Offset", QByteArray::number(chunk.offset));
    request.setRawHeader("Upload-Checksum", "sha1 " + chunk.sha1.toBase64());
    request.setTransferTimeout(static_cast<int>(m_limits.idle.count()));
    QNetworkReply *reply = m_network.sendCustomRequest(request, "PATCH", chunk.bytes);
    connect(reply, &QNetworkReply::uploadProgress, this, [this, state](qint64 sent, qint64) {
        state->inFlight = sent;
        report(*state);
    });
    return reply;
}

void TransferControl::terminate(const QUrl &uploadUrl, const QByteArray &authorization)
{
    QNetworkRequest request = tusRequest(uploadUrl, authorization);
    request.setTransferTimeout(static_cast<int>(m_limits.idle.count()));
    QNetworkReply *reply = m_network.deleteResource(request);
    connect(reply, &QNetworkReply::finished, reply, &QObject::deleteLater);
}
