#pragma once

#include <QObject>
#include <QTcpServer>
#include <QUrl>

class QTcpSocket;

// A loopback HTTP peer that answers every request the way a hostile or broken server would.
class HostilePeer final : public QObject
{
    Q_OBJECT
public:
    enum class Mode
    {
        Silent,          // nothing at all
        Redirect,        // 307 to the target
        Drip,            // a reply that announces 100 kB and then sends a byte every 100 ms
        Flood,           // a reply of 600 MB, announced
        FloodUnannounced // the same without a length, ended by closing
    };

    HostilePeer(Mode mode, QUrl target = {});
    QUrl url(const QString &path) const
    {
        return QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(m_server.serverPort()).arg(path));
    }

private:
    void answer(QTcpSocket *socket);

    QTcpServer m_server;
    Mode m_mode;
    QUrl m_target;
};
