#pragma once

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPair>
#include <QString>
#include <QUrl>

// A blocking HTTP client for tests, over QNetworkAccessManager.
struct HttpReply
{
    int status = 0;
    QNetworkReply::NetworkError error = QNetworkReply::NoError;
    QByteArray body;
    QMap<QByteArray, QByteArray> headers; // names in lower case

    QByteArray header(const char *name) const { return headers.value(QByteArray(name).toLower()); }
    // Text of the element at a slash-separated path below the document element; null when absent.
    QString xml(const char *path) const;
};

using Headers = QList<QPair<QByteArray, QByteArray>>;

class TestHttp final
{
public:
    TestHttp(QString user, QString password) : m_user(std::move(user)), m_password(std::move(password)) {}

    HttpReply send(const QByteArray &verb, const QUrl &url, const QByteArray &body = {},
                   const Headers &headers = {});
    HttpReply form(const QUrl &url, const QByteArray &body)
    {
        return send("POST", url, body, {{"Content-Type", "application/x-www-form-urlencoded"}});
    }

    // tus: creation; returns the upload URL or an empty one, with the reply in *reply.
    QUrl create(const QUrl &endpoint, qint64 length, const QMap<QByteArray, QByteArray> &metadata,
                HttpReply *reply = nullptr);
    HttpReply patch(const QUrl &upload, qint64 offset, const QByteArray &chunk, bool checksum = true);
    qint64 offset(const QUrl &upload);
    // Sends the whole archive in chunks; after a failed PATCH asks the offset and resumes.
    bool uploadAll(const QUrl &upload, const QByteArray &data, qint64 chunk, int maxFailures = 5);

    void ignoreTlsErrors() { m_ignoreTlsErrors = true; }

private:
    QNetworkAccessManager m_manager;
    QString m_user;
    QString m_password;
    bool m_ignoreTlsErrors = false;
};

QMap<QByteArray, QByteArray> uploadMetadata(const QByteArray &archive, int folder, int content,
                                            const QByteArray &sha256 = {});
