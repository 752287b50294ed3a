#include "TestHttp.h"

#include <QCryptographicHash>
#include <QEventLoop>
#include <QNetworkRequest>
#include <pugixml.hpp>

QString HttpReply::xml(const char *path) const
{
    pugi::xml_document doc;
    if (!doc.load_buffer(body.constData(), static_cast<size_t>(body.size())))
        return {};
    const pugi::xml_node node = doc.document_element().first_element_by_path(path);
    return node ? QString::fromUtf8(node.text().get()) : QString();
}

HttpReply TestHttp::send(const QByteArray &verb, const QUrl &url, const QByteArray &body,
                         const Headers &headers)
{
    QNetworkRequest request(url);
    if (!m_user.isNull())
        request.setRawHeader("Authorization",
                             "Basic " + (m_user + QLatin1Char(':') + m_password).toUtf8().toBase64());
    for (const auto &[name, value] : headers)
        request.setRawHeader(name, value);
    request.setTransferTimeout(120000);
    QNetworkReply *reply = m_manager.sendCustomRequest(request, verb, body);
    if (m_ignoreTlsErrors)
        reply->ignoreSslErrors();
    QEventLoop loop;
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    loop.exec();
    HttpReply result;
    result.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    result.error = reply->error();
    result.body = reply->readAll();
    for (const auto &[name, value] : reply->rawHeaderPairs())
        result.headers.insert(name.toLower(), value);
    reply->deleteLater();
    return result;
}

QUrl TestHttp::create(const QUrl &endpoint, qint64 length, const QMap<QByteArray, QByteArray> &metadata,
                      HttpReply *reply)
{
    QByteArray meta;
    for (auto it = metadata.begin(); it != metadata.end(); ++it)
        meta += (meta.isEmpty() ? "" : ",") + it.key() + ' ' + it.value().toBase64();
    const HttpReply r = send("POST", endpoint, {},
                             {{"Tus-Resumable", "1.0.0"},
                              {"Upload-Length", QByteArray::number(length)},
                              {"Upload-Metadata", meta}});
    if (reply)
        *reply = r;
    return r.status == 201 ? QUrl(QString::fromUtf8(r.header("Location"))) : QUrl();
}

HttpReply TestHttp::patch(const QUrl &upload, qint64 offset, const QByteArray &chunk, bool checksum)
{
    Headers headers{{"Tus-Resumable", "1.0.0"},
                    {"Content-Type", "application/offset+octet-stream"},
                    {"Upload-Offset", QByteArray::number(offset)}};
    if (checksum)
        headers.append({"Upload-Checksum",
                        "sha1 " + QCryptographicHash::hash(chunk, QCryptographicHash::Sha1).toBase64()});
    return send("PATCH", upload, chunk, headers);
}

qint64 TestHttp::offset(const QUrl &upload)
{
    const HttpReply r = send("HEAD", upload, {}, {{"Tus-Resumable", "1.0.0"}});
    return r.status == 200 ? r.header("Upload-Offset").toLongLong() : -1;
}

bool TestHttp::uploadAll(const QUrl &upload, const QByteArray &data, qint64 chunk, int maxFailures)
{
    qint64 at = offset(upload);
    while (at >= 0 && at < data.size()) {
        const HttpReply r = patch(upload, at, data.mid(at, chunk));
        if (r.status == 204) {
            at = r.header("Upload-Offset").toLongLong();
            continue;
        }
        if (--maxFailures < 0)
            return false;
        at = offset(upload);
    }
    return at == data.size();
}

QMap<QByteArray, QByteArray> uploadMetadata(const QByteArray &archive, int folder, int content,
                                            const QByteArray &sha256)
{
    return {{"filename", "tarn_file.zip"},
            {"folderID", QByteArray::number(folder)},
            {"contentID", QByteArray::number(content)},
            {"sha256", sha256.isEmpty()
                           ? QCryptographicHash::hash(archive, QCryptographicHash::Sha256).toHex()
                           : sha256}};
}
