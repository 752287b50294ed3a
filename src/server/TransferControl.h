#pragma once

#include <QCoroTask>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QUrl>
#include <chrono>

class QNetworkAccessManager;
class QNetworkReply;
class QNetworkRequest;

// Every exchange with a content or update server. A method starts the
// transfer and returns at once; the matching signal tells that the reply is
// in, and Response() then holds its text. One transfer runs at a time: a new
// call ends the one still running without its signal.
//
// PutFile sends the file with the resumable tus protocol in chunks read from
// disk, picks up after a cut connection at the offset the server confirmed,
// and then registers the upload; Response() is the registration's reply.
class TransferControl final : public QObject
{
    Q_OBJECT
public:
    struct Limits
    {
        // A request with no bytes moving for this long is given up.
        std::chrono::milliseconds idle{std::chrono::seconds(60)};
        // The registration checks the whole archive before it answers.
        std::chrono::milliseconds registration{std::chrono::minutes(10)};
        // Failed attempts in a row before an upload gives up, and the first
        // pause between them; each further pause doubles, up to a minute.
        int retries = 6;
        std::chrono::milliseconds firstPause{std::chrono::seconds(1)};
        qint64 chunkBytes = 16 * 1024 * 1024;
    };

    explicit TransferControl(QObject *parent = nullptr);
    ~TransferControl() override;
    Q_DISABLE_COPY_MOVE(TransferControl)

    void Request(const QString &url, const QString &account, const QString &password,
                 const QString &postData);
    void GetVersion(const QString &url, const QString &account, const QString &password, int folderId,
                    int contentId, const QString &projectVersion, const QString &postData);
    void PutFile(const QString &url, const QString &account, const QString &password, int folderId,
                 int contentId, const QString &filePath);
    // Percent of the file the server holds (plus the part of the running
    // chunk on its way); 100 once all of it is there and it is registered.
    int Progress() const;
    QString Response() const { return m_response; }
    // Ends the running transfer; an upload is also removed from the server.
    void Cancel();

    // Why the last transfer got no reply, naming the host; empty when it got one.
    QString ErrorText() const { return m_error; }
    bool isBusy() const { return m_busy; }
    // Bytes of the running upload the server has confirmed.
    qint64 acknowledgedBytes() const { return m_acknowledged; }
    void setLimits(const Limits &limits) { m_limits = limits; }
    const Limits &limits() const { return m_limits; }

Q_SIGNALS:
    void RequestDone();
    void VersionDone();
    void PutFileDone();

private:
    enum class Done
    {
        Request,
        Version,
        PutFile
    };
    struct Outcome;

    quint64 begin();
    QCoro::Task<> runForm(QUrl url, QByteArray authorization, QByteArray body, Done done);
    QCoro::Task<> runUpload(QUrl url, QByteArray authorization, int folderId, int contentId,
                            QString filePath);
    QCoro::Task<Outcome> send(QNetworkRequest request, QByteArray verb, QByteArray body, quint64 generation,
                              std::chrono::milliseconds idle);
    QCoro::Task<Outcome> sendChunk(QUrl uploadUrl, QByteArray authorization, QString filePath, qint64 offset,
                                   qint64 length, QByteArray sha1, quint64 generation);
    QCoro::Task<Outcome> finishReply(QPointer<QNetworkReply> reply, quint64 generation,
                                     std::chrono::milliseconds idle);
    QNetworkRequest tusRequest(const QUrl &url, const QByteArray &authorization) const;
    void finish(Done done, quint64 generation);
    bool current(quint64 generation) const { return generation == m_generation; }
    void terminate(const QUrl &uploadUrl, const QByteArray &authorization);

    QNetworkAccessManager *m_network;
    QPointer<QNetworkReply> m_active;
    Limits m_limits;
    quint64 m_generation = 0;
    bool m_busy = false;
    QString m_response;
    QString m_error;
    // Upload state read by Progress().
    qint64 m_total = 0;
    qint64 m_acknowledged = 0;
    qint64 m_inFlight = 0;
    bool m_registering = false;
    QUrl m_uploadUrl;
    QByteArray m_uploadAuthorization;
};
