#pragma once

#include <QFile>
#include <QObject>
#include <QPointer>
#include <QString>
#include <chrono>

class QNetworkAccessManager;
class QNetworkReply;

// Fetches one file at a time into a local path on the session's network
// manager. A cut connection is picked up where it broke with a range request
// (a server that ignores the range starts the file anew); the file appears
// under its name only when complete, so a broken download leaves no file
// that looks whole.
class Downloader final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Downloader)

public:
    // `network` must outlive the downloader; a connection with no bytes
    // moving for `idle` counts as broken.
    Downloader(QNetworkAccessManager &network, std::chrono::milliseconds idle, QObject *parent = nullptr);
    ~Downloader() override;

    // Starts fetching `url` into `path` and returns at once; a running
    // download is abandoned.
    void Download(QString url, QString path);
    // Abandons the running download and its partial file, silently.
    void abort();

    // Connections that may break in one download before it gives up, and the
    // pause before each new try.
    void setRetries(int retries, std::chrono::milliseconds pause);

Q_SIGNALS:
    void DownloadProgress(qint64 done, qint64 total, const QString &path);
    void DownloadComplete(qint64 size, const QString &path);
    void DownloadError(const QString &message);

private:
    void request();
    // False after a write failed and the download was given up.
    bool readAvailable();
    void finished();
    void fail(const QString &message);

    QNetworkAccessManager &m_network;
    std::chrono::milliseconds m_idle;
    QPointer<QNetworkReply> m_reply;
    QFile m_part;
    QString m_url;
    QString m_path;
    qint64 m_total = -1;
    int m_retriesLeft = 0;
    int m_retries = 5;
    std::chrono::milliseconds m_pause{1000};
    // Which download a late reply or timer belongs to.
    quint64 m_generation = 0;
    bool m_rangeAccepted = false;
};
