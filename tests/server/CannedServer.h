#pragma once

#include <QList>
#include <QObject>
#include <QTcpServer>

class QTcpSocket;

// A loopback HTTP server that answers every request with the next of the
// given bodies (the last one repeats) and keeps what each request carried,
// or answers as a broken or hostile server would. A body that begins with
// "HTTP/" is the whole answer, with "{port}" standing for the server's own port.
class CannedServer final : public QObject
{
    Q_OBJECT
public:
    enum class Mode
    {
        Canned,
        Silent,          // nothing at all
        Drip,            // a reply that announces 100 kB and then sends a byte every 100 ms
        Flood,           // a reply of 600 MB, announced
        FloodUnannounced // the same without a length, ended by closing
    };
    struct Seen
    {
        QByteArray requestLine, authorization, body;
    };

    explicit CannedServer(QList<QByteArray> bodies, Mode mode = Mode::Canned, QObject *parent = nullptr);
    quint16 port() const { return m_server.serverPort(); }
    QString address() const;
    const QList<Seen> &seen() const { return m_seen; }

private:
    void accept();
    void answer(QTcpSocket *socket);

    QTcpServer m_server;
    QList<QByteArray> m_bodies;
    QList<Seen> m_seen;
    Mode m_mode;
};
