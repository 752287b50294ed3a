#include "server/TransferControl.h"

#include "platform/Coro.h"

#include <QCoroFuture>
#include <QCoroNetworkReply>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFuture>
#include <QIODevice>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPromise>
#include <QThreadPool>
#include <algorithm>

using namespace std::chrono_literals;

namespace {

const QByteArray kTusVersion = QByteArrayLiteral("1.0.0");

// A window onto part of a file, read straight from disk as the network asks
// for it, so a chunk never sits in memory whole.
class FileRangeDevice final : public QIODevice
{
public:
    FileRangeDevice(const QString &path, qint64 start, qint64 length, QObject *parent)
        : QIODevice(parent), m_file(path), m_start(start), m_length(length)
    {}

    bool open(OpenMode mode) override
    {
        if (!m_file.open(QIODevice::ReadOnly)) {
            setErrorString(m_file.errorString());
            return false;
        }
        return QIODevice::open(mode | QIODevice::Unbuffered);
    }
    bool isSequential() const override { return false; }
    qint64 size() const override { return m_length; }
    bool seek(qint64 pos) override
    {
        if (pos < 0 || pos > m_length)
            return false;
        m_cursor = pos;
        return QIODevice::seek(pos);
    }
    bool reset() override { return seek(0); }
    bool atEnd() const override { return m_cursor >= m_length; }

protected:
    qint64 readData(char *data, qint64 maxSize) override
    {
        const qint64 want = std::min(maxSize, m_length - m_cursor);
        if (want <= 0)
            return 0;
        if (!m_file.seek(m_start + m_cursor))
            return -1;
        const qint64 got = m_file.read(data, want);
        if (got > 0)
            m_cursor += got;
        return got;
    }
    qint64 writeData(const char *, qint64) override { return -1; }

private:
    QFile m_file;
    qint64 m_start;
    qint64 m_length;
    qint64 m_cursor = 0;
};

// Hashes part of a file on a pool thread: a large archive would hold the
// loop for seconds. The result is empty when the file cannot be read.
QFuture<QByteArray> hashInBackground(const QString &path, qint64 start, qint64 length,
                                     QCryptographicHash::Algorithm algorithm)
{
    auto promise = std::make_shared<QPromise<QByteArray>>();
    QFuture<QByteArray> future = promise->future();
    promise->start();
    QThreadPool::globalInstance()->start([promise, path, start, length, algorithm] {
        QFile file(path);
        QCryptographicHash hash(algorithm);
        qint64 left = length;
        if (file.open(QIODevice::ReadOnly) && file.seek(start)) {
            QByteArray buffer(1024 * 1024, Qt::Uninitialized);
            while (left > 0) {
                const qint64 got = file.read(buffer.data(), std::min<qint64>(buffer.size(), left));
                if (got <= 0)
                    break;
                hash.addData(QByteArrayView(buffer.constData(), got));
                left -= got;
            }
        }
        promise->addResult(left == 0 ? hash.result() : QByteArray());
        promise->finish();
    });
    return future;
}

QByteArray authorizationFor(const QString &account, const QString &password)
{
    if (account.isEmpty() && password.isEmpty())
        return {};
    return "Basic " + (account + u':' + password).toUtf8().toBase64();
}

QNetworkRequest formRequest(const QUrl &url, const QByteArray &authorization)
{
    QNetworkRequest request(url);
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

QUrl withTrailingSlash(QUrl url)
{
    if (!url.path().endsWith(u'/'))
        url.setPath(url.path() + u'/');
    return url;
}

} // namespace

struct TransferControl::Outcome
{
    int status = 0; // 0: no HTTP answer
    QByteArray body;
    qint64 offset = -1; // Upload-Offset
    QUrl location;
    QString problem; // host and reason, when there is no good answer
};

TransferControl::TransferControl(QObject *parent)
    : QObject(parent), m_network(new QNetworkAccessManager(this))
{}

TransferControl::~TransferControl()
{
    // A running coroutine resumes from the abort, sees the new generation and leaves.
    ++m_generation;
    if (m_active)
        m_active->abort();
}

quint64 TransferControl::begin()
{
    Cancel();
    m_busy = true;
    m_response.clear();
    m_error.clear();
    m_total = m_acknowledged = m_inFlight = 0;
    m_registering = false;
    return ++m_generation;
}

void TransferControl::Request(const QString &url, const QString &account, const QString &password,
                              const QString &postData)
{
    begin();
    runForm(QUrl(url), authorizationFor(account, password), postData.toUtf8(), Done::Request);
}

void TransferControl::GetVersion(const QString &url, const QString &account, const QString &password,
                                 int folderId, int contentId, const QString &projectVersion,
                                 const QString &postData)
{
    begin();
    QByteArray body = postData.toUtf8();
    if (!body.isEmpty())
        body += '&';
    body += "folderID=" + QByteArray::number(folderId) + "&contentID=" + QByteArray::number(contentId) +
            "&projectVer=" + QUrl::toPercentEncoding(projectVersion);
    runForm(QUrl(url), authorizationFor(account, password), body, Done::Version);
}

void TransferControl::PutFile(const QString &url, const QString &account, const QString &password,
                              int folderId, int contentId, const QString &filePath)
{
    begin();
    runUpload(QUrl(url), authorizationFor(account, password), folderId, contentId, filePath);
}

int TransferControl::Progress() const
{
    if (m_registering)
        return 100;
    if (m_total <= 0)
        return 0;
    const qint64 held = std::min(m_total, m_acknowledged + m_inFlight);
    // 100 is kept for "all there, being registered".
    return static_cast<int>(std::min<qint64>(99, held * 100 / m_total));
}

void TransferControl::Cancel()
{
    if (!m_busy)
        return;
    m_busy = false;
    ++m_generation;
    if (m_active)
        m_active->abort();
    if (m_uploadUrl.isValid())
        terminate(m_uploadUrl, m_uploadAuthorization);
    m_uploadUrl.clear();
}

void TransferControl::finish(Done done, quint64 generation)
{
    if (!current(generation))
        return;
    m_busy = false;
    m_uploadUrl.clear();
    switch (done) {
    case Done::Request:
        Q_EMIT RequestDone();
        break;
    case Done::Version:
        Q_EMIT VersionDone();
        break;
    case Done::PutFile:
        Q_EMIT PutFileDone();
        break;
    }
}

QCoro::Task<TransferControl::Outcome> TransferControl::send(QNetworkRequest request, QByteArray verb,
                                                            QByteArray body, quint64 generation,
                                                            std::chrono::milliseconds idle)
{
    request.setTransferTimeout(static_cast<int>(idle.count()));
    QPointer<QNetworkReply> reply;
    if (verb == "HEAD")
        reply = m_network->head(request);
    else
        reply = m_network->sendCustomRequest(request, verb, body);
    m_active = reply;
    co_return co_await finishReply(reply, generation, idle);
}

QCoro::Task<TransferControl::Outcome> TransferControl::finishReply(QPointer<QNetworkReply> reply,
                                                                   quint64 generation,
                                                                   std::chrono::milliseconds idle)
{
    QPointer self{this};
    co_await reply.get();
    Outcome outcome;
    if (!self || !current(generation) || !reply) {
        outcome.problem = QStringLiteral("canceled");
        if (reply)
            reply->deleteLater();
        co_return outcome;
    }
    m_active = nullptr;
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
    if (reply->error() == QNetworkReply::OperationCanceledError ||
        reply->error() == QNetworkReply::TimeoutError)
        outcome.problem = QStringLiteral("%1: no answer for %2 seconds").arg(host).arg(idle.count() / 1000.0);
    else if (outcome.status == 0)
        outcome.problem = host + QStringLiteral(": ") + reply->errorString();
    else if (outcome.status >= 300)
        outcome.problem = QStringLiteral("%1: HTTP %2 %3")
                              .arg(host)
                              .arg(outcome.status)
                              .arg(reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString());
    reply->deleteLater();
    co_return outcome;
}

QCoro::Task<> TransferControl::runForm(QUrl url, QByteArray authorization, QByteArray body, Done done)
{
    const quint64 generation = m_generation;
    QPointer self{this};
    // The completion signal never comes before the call has returned.
    co_await Coro::sleep(0ms);
    if (!self || !current(generation))
        co_return;
    if (!url.isValid() || url.host().isEmpty()) {
        m_error = QStringLiteral("Invalid server address: %1").arg(url.toString());
        finish(done, generation);
        co_return;
    }
    const Outcome outcome =
        co_await send(formRequest(url, authorization), "POST", body, generation, m_limits.idle);
    if (!self || !current(generation))
        co_return;
    // Replies are read whatever the status: a refusal still comes as a document.
    m_response = QString::fromUtf8(outcome.body);
    if (outcome.status != 200)
        m_error = outcome.problem;
    finish(done, generation);
}

QNetworkRequest TransferControl::tusRequest(const QUrl &url, const QByteArray &authorization) const
{
    QNetworkRequest request(url);
    request.setRawHeader("Tus-Resumable", kTusVersion);
    if (!authorization.isEmpty())
        request.setRawHeader("Authorization", authorization);
    return request;
}

QCoro::Task<> TransferControl::runUpload(QUrl url, QByteArray authorization, int folderId, int contentId,
                                         QString filePath)
{
    const quint64 generation = m_generation;
    QPointer self{this};
    co_await Coro::sleep(0ms);
    if (!self || !current(generation))
        co_return;
    const auto fail = [&](const QString &problem) {
        m_error = problem.isEmpty() ? QStringLiteral("%1: unexpected answer from the server").arg(url.host())
                                    : problem;
        finish(Done::PutFile, generation);
    };
    const QFileInfo file(filePath);
    if (!url.isValid() || url.host().isEmpty())
        co_return fail(QStringLiteral("Invalid server address: %1").arg(url.toString()));
    if (!file.isFile() || !file.isReadable())
        co_return fail(QStringLiteral("Cannot read %1").arg(QDir::toNativeSeparators(filePath)));
    m_total = file.size();
    const QByteArray sha256 = co_await hashInBackground(filePath, 0, m_total, QCryptographicHash::Sha256);
    if (!self || !current(generation))
        co_return;
    if (sha256.isEmpty())
        co_return fail(QStringLiteral("Cannot read %1").arg(QDir::toNativeSeparators(filePath)));

    m_uploadAuthorization = authorization;
    const QUrl registerUrl = withTrailingSlash(url);
    const QUrl createUrl = registerUrl.resolved(QUrl(QStringLiteral("uploads/")));
    const auto meta = [](const char *key, const QByteArray &value) {
        return QByteArray(key) + ' ' + value.toBase64();
    };
    const QByteArray metadata =
        meta("filename", file.fileName().toUtf8()) + ',' + meta("folderID", QByteArray::number(folderId)) +
        ',' + meta("contentID", QByteArray::number(contentId)) + ',' + meta("sha256", sha256.toHex());

    QUrl uploadUrl;
    qint64 offset = -1; // unknown until the server says
    int failures = 0;
    while (uploadUrl.isEmpty() || offset < m_total) {
        Outcome outcome;
        if (uploadUrl.isEmpty()) {
            QNetworkRequest request = tusRequest(createUrl, authorization);
            request.setRawHeader("Upload-Length", QByteArray::number(m_total));
            request.setRawHeader("Upload-Metadata", metadata);
            outcome = co_await send(request, "POST", {}, generation, m_limits.idle);
            if (!self || !current(generation))
                co_return;
            if (outcome.status == 201 && outcome.location.isValid()) {
                uploadUrl = m_uploadUrl = outcome.location;
                offset = 0;
                continue;
            }
            if (!isPassing(outcome.status)) {
                // A refusal with its error code is the upload's reply.
                if (outcome.body.startsWith("<?xml") || outcome.body.startsWith("<tarn"))
                    m_response = QString::fromUtf8(outcome.body);
                co_return fail(outcome.problem);
            }
        } else if (offset < 0) {
            outcome =
                co_await send(tusRequest(uploadUrl, authorization), "HEAD", {}, generation, m_limits.idle);
            if (!self || !current(generation))
                co_return;
            if (outcome.status == 200 && outcome.offset >= 0) {
                offset = m_acknowledged = outcome.offset;
                continue;
            }
            if (!isPassing(outcome.status))
                co_return fail(outcome.problem);
        } else {
            const qint64 length = std::min(m_limits.chunkBytes, m_total - offset);
            const QByteArray sha1 =
                co_await hashInBackground(filePath, offset, length, QCryptographicHash::Sha1);
            if (!self || !current(generation))
                co_return;
            if (sha1.isEmpty())
                co_return fail(QStringLiteral("Cannot read %1").arg(QDir::toNativeSeparators(filePath)));
            outcome =
                co_await sendChunk(uploadUrl, authorization, filePath, offset, length, sha1, generation);
            if (!self || !current(generation))
                co_return;
            m_inFlight = 0;
            if (outcome.status == 204 && outcome.offset > offset) {
                offset = m_acknowledged = outcome.offset;
                failures = 0;
                continue;
            }
            if (outcome.status != 409 && !isPassing(outcome.status))
                co_return fail(outcome.problem);
            offset = -1; // ask the server what it kept
        }
        if (++failures > m_limits.retries)
            co_return fail(outcome.problem);
        const auto pause = std::min<std::chrono::milliseconds>(
            m_limits.firstPause * (1 << std::min(failures - 1, 16)), std::chrono::minutes(1));
        co_await Coro::sleep(pause);
        if (!self || !current(generation))
            co_return;
    }

    m_registering = true;
    const QByteArray body = "upload=" + QUrl::toPercentEncoding(uploadUrl.toString(QUrl::FullyEncoded));
    const Outcome outcome = co_await send(formRequest(registerUrl, authorization), "POST", body, generation,
                                          m_limits.registration);
    if (!self || !current(generation))
        co_return;
    m_uploadUrl.clear(); // registered or refused: the server keeps nothing to remove
    m_response = QString::fromUtf8(outcome.body);
    if (outcome.status != 200)
        m_error = outcome.problem;
    finish(Done::PutFile, generation);
}

QCoro::Task<TransferControl::Outcome> TransferControl::sendChunk(QUrl uploadUrl, QByteArray authorization,
                                                                 QString filePath, qint64 offset,
                                                                 qint64 length, QByteArray sha1,
                                                                 quint64 generation)
{
    QNetworkRequest request = tusRequest(uploadUrl, authorization);
    request.setHeader(QNetworkRequest::ContentTypeHeader,
                      QByteArrayLiteral("application/offset+octet-stream"));
    request.setHeader(QNetworkRequest::ContentLengthHeader, length);
    request.setRawHeader("Upload-Offset", QByteArray::number(offset));
    request.setRawHeader("Upload-Checksum", "sha1 " + sha1.toBase64());
    request.setTransferTimeout(static_cast<int>(m_limits.idle.count()));
    auto *device = new FileRangeDevice(filePath, offset, length, this);
    if (!device->open(QIODevice::ReadOnly)) {
        Outcome outcome;
        outcome.problem = QStringLiteral("Cannot read %1: %2")
                              .arg(QDir::toNativeSeparators(filePath), device->errorString());
        delete device;
        co_return outcome;
    }
    QPointer<QNetworkReply> reply = m_network->sendCustomRequest(request, "PATCH", device);
    device->setParent(reply);
    m_active = reply;
    connect(reply, &QNetworkReply::uploadProgress, this, [this](qint64 sent, qint64) { m_inFlight = sent; });
    co_return co_await finishReply(reply, generation, m_limits.idle);
}

void TransferControl::terminate(const QUrl &uploadUrl, const QByteArray &authorization)
{
    QNetworkRequest request = tusRequest(uploadUrl, authorization);
    request.setTransferTimeout(static_cast<int>(m_limits.idle.count()));
    QNetworkReply *reply = m_network->deleteResource(request);
    connect(reply, &QNetworkReply::finished, reply, &QObject::deleteLater);
}
