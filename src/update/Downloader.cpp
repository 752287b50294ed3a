#include "update/Downloader.h"

#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>

namespace {

QString partPath(const QString &path)
{
    return path + QStringLiteral(".part");
}

} // namespace

Downloader::Downloader(QNetworkAccessManager &network, std::chrono::milliseconds idle, QObject *parent)
    : QObject(parent), m_network(network), m_idle(idle)
{}

Downloader::~Downloader()
{
    abort();
}

void Downloader::setRetries(int retries, std::chrono::milliseconds pause)
{
    m_retries = retries;
    m_pause = pause;
}

void Downloader::Download(QString url, QString path)
{
    abort();
    m_url = std::move(url);
    m_path = std::move(path);
    m_total = -1;
    m_retriesLeft = m_retries;
    m_part.setFileName(partPath(m_path));
    if (!m_part.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        // Reported from the loop, as every other outcome is.
        const QString message =
            QStringLiteral("Cannot write %1: %2").arg(m_part.fileName(), m_part.errorString());
        QTimer::singleShot(0, this, [this, message, generation = m_generation] {
            if (generation == m_generation)
                Q_EMIT DownloadError(message);
        });
        return;
    }
    request();
}

void Downloader::abort()
{
    ++m_generation;
    if (m_reply) {
        m_reply->disconnect(this);
        m_reply->abort();
        m_reply->deleteLater();
        m_reply = nullptr;
    }
    if (m_part.isOpen()) {
        m_part.close();
        m_part.remove();
    }
}

void Downloader::request()
{
    QNetworkRequest request{QUrl(m_url)};
    request.setTransferTimeout(static_cast<int>(m_idle.count()));
    const qint64 have = m_part.size();
    if (have > 0)
        request.setRawHeader("Range", "bytes=" + QByteArray::number(have) + '-');
    m_rangeAccepted = false;
    m_reply = m_network.get(request);
    connect(m_reply, &QNetworkReply::metaDataChanged, this, [this, have] {
        const int status = m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        if (status == 206) {
            // "bytes START-END/TOTAL": only a part that starts where ours ends fits.
            const QByteArray range = m_reply->rawHeader("Content-Range");
            const qsizetype slash = range.indexOf('/');
            const qint64 start = range.mid(6, range.indexOf('-') - 6).trimmed().toLongLong();
            m_rangeAccepted = start == have;
            if (slash > 0)
                m_total = range.mid(slash + 1).toLongLong();
        } else if (status == 200) {
            // The whole file again: what we had is dropped.
            m_part.resize(0);
            m_part.seek(0);
            m_rangeAccepted = true;
            const QVariant length = m_reply->header(QNetworkRequest::ContentLengthHeader);
            m_total = length.isValid() ? length.toLongLong() : -1;
        }
    });
    connect(m_reply, &QNetworkReply::readyRead, this, &Downloader::readAvailable);
    connect(m_reply, &QNetworkReply::finished, this, &Downloader::finished);
}

bool Downloader::readAvailable()
{
    const int status = m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if ((status != 200 && status != 206) || !m_rangeAccepted)
        return true;
    const QByteArray bytes = m_reply->readAll();
    if (m_part.write(bytes) != bytes.size()) {
        fail(QStringLiteral("Cannot write %1: %2").arg(m_part.fileName(), m_part.errorString()));
        return false;
    }
    Q_EMIT DownloadProgress(m_part.size(), m_total > 0 ? m_total : m_part.size(), m_path);
    return true;
}

void Downloader::finished()
{
    // The last bytes may arrive with the end of the reply.
    if (!readAvailable())
        return;
    QNetworkReply *reply = m_reply;
    m_reply = nullptr;
    reply->deleteLater();
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (reply->error() == QNetworkReply::NoError && (status == 200 || status == 206) && m_rangeAccepted) {
        if (m_total >= 0 && m_part.size() != m_total) {
            // The server ended the reply early without an error: treat it as a cut.
        } else {
            m_part.close();
            QFile::remove(m_path);
            if (!m_part.rename(m_path)) {
                fail(QStringLiteral("Cannot write %1: %2").arg(m_path, m_part.errorString()));
                return;
            }
            const qint64 size = QFileInfo(m_path).size();
            ++m_generation;
            Q_EMIT DownloadComplete(size, m_path);
            return;
        }
    }
    // A broken connection, a time-out or a server's passing trouble is worth
    // another try; a refusal (404, 403, ...) is not.
    const QNetworkReply::NetworkError error = reply->error();
    const bool connectionLost = error != QNetworkReply::NoError && error < QNetworkReply::ContentAccessDenied;
    const bool passing = connectionLost || status == 0 || status >= 500 || status == 408 ||
                         (status == 206 && !m_rangeAccepted) || error == QNetworkReply::NoError;
    if (!passing || m_retriesLeft <= 0) {
        fail(status >= 400 && !connectionLost
                 ? QStringLiteral("Download of %1 failed: HTTP %2").arg(m_url).arg(status)
                 : QStringLiteral("Download of %1 failed: %2").arg(m_url, reply->errorString()));
        return;
    }
    --m_retriesLeft;
    if (!m_rangeAccepted && status == 206)
        m_part.resize(0);
    QTimer::singleShot(m_pause, this, [this, generation = m_generation] {
        if (generation == m_generation)
            request();
    });
}

void Downloader::fail(const QString &message)
{
    abort();
    Q_EMIT DownloadError(message);
}
