#pragma once

#include <QList>
#include <QObject>
#include <QTcpServer>

// A loopback HTTP server that answers every request with the next of the
// given bodies (the last one repeats), or never answers at all, and keeps
// what each request carried. A body that begins with "HTTP/" is the whole
// answer, with "{port}" standing for the server's own port.
class CannedServer final : public QObject
{
    Q_OBJECT
public:
    struct Seen
    {
        QByteArray requestLine;
        QByteArray authorization;
        QByteArray body;
    };

    explicit CannedServer(QList<QByteArray> bodies, QObject *parent = nullptr);
    quint16 port() const { return m_server.serverPort(); }
    QString address() const;
    const QList<Seen> &seen() const { return m_seen; }
    // Accepts connections but sends nothing back.
    void setSilent(bool silent) { m_silent = silent; }

private:
    void accept();

    QTcpServer m_server;
    QList<QByteArray> m_bodies;
    QList<Seen> m_seen;
    bool m_silent = false;
};
