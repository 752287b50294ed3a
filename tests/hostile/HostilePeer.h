#pragma once

#include <QList>
#include <QObject>
#include <QTcpServer>
#include <QUrl>

class QTcpSocket;

// A loopback HTTP peer that answers every request the way a hostile or broken
// server would, and keeps the credentials each request carried.
class HostilePeer final : public QObject
{
    Q_OBJECT
public:
    enum class Mode
    {
        Answer,          // a small valid document
        Silent,          // nothing at all
        Redirect,        // 307 to the target
        Drip,            // a reply that announces 100 kB and then sends a byte every 100 ms
        Flood,           // a reply of 600 MB, announced
        FloodUnannounced // the same without a length, ended by closing
    };

    explicit HostilePeer(Mode mode, QObject *parent = nullptr);
    void setTarget(const QUrl &target) { m_target = target; }
    quint16 port() const { return m_server.serverPort(); }
    QUrl url(const QString &path) const;
    const QList<QByteArray> &authorizations() const { return m_authorizations; }

private:
    void accept();
    void answer(QTcpSocket *socket);
    void flood(QTcpSocket *socket, qint64 total);

    QTcpServer m_server;
    Mode m_mode;
    QUrl m_target;
    QList<QByteArray> m_authorizations;
};
