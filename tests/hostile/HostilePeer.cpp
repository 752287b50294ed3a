#include "HostilePeer.h"

#include <QTcpSocket>
#include <QTimer>
#include <memory>

HostilePeer::HostilePeer(Mode mode, QObject *parent) : QObject(parent), m_mode(mode)
{
    connect(&m_server, &QTcpServer::newConnection, this, &HostilePeer::accept);
    m_server.listen(QHostAddress::LocalHost, 0);
}

QUrl HostilePeer::url(const QString &path) const
{
    return QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(port()).arg(path));
}

void HostilePeer::accept()
{
    while (QTcpSocket *socket = m_server.nextPendingConnection()) {
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        auto head = std::make_shared<QByteArray>();
        connect(socket, &QTcpSocket::readyRead, this, [this, socket, head] {
            if (head->endsWith("\r\n\r\n"))
                return void(socket->readAll()); // a body: not looked at
            *head += socket->readAll();
            const qsizetype end = head->indexOf("\r\n\r\n");
            if (end < 0)
                return;
            head->truncate(end + 4);
            QByteArray authorization;
            for (const QByteArray &line : head->split('\n')) {
                if (line.toLower().startsWith("authorization:"))
                    authorization = line.mid(14).trimmed();
            }
            m_authorizations.append(authorization);
            answer(socket);
        });
    }
}

void HostilePeer::answer(QTcpSocket *socket)
{
    constexpr qint64 kFlood = 600LL * 1024 * 1024;
    const QByteArray document = "<?xml version=\"1.0\"?><tarn ver=\"2.0\"><errInfo/></tarn>";
    switch (m_mode) {
    case Mode::Answer:
        socket->write("HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\nContent-Length: " +
                      QByteArray::number(document.size()) + "\r\n\r\n" + document);
        return;
    case Mode::Silent:
        return;
    case Mode::Redirect:
        socket->write("HTTP/1.1 307 Temporary Redirect\r\nLocation: " + m_target.toEncoded() +
                      "\r\nContent-Length: 0\r\n\r\n");
        return;
    case Mode::Drip: {
        socket->write("HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\nContent-Length: 100000\r\n\r\n<?xml");
        auto *timer = new QTimer(socket);
        connect(timer, &QTimer::timeout, socket, [socket] { socket->write(" "); });
        timer->start(100);
        return;
    }
    case Mode::Flood:
        socket->write("HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\nContent-Length: " +
                      QByteArray::number(kFlood) + "\r\n\r\n");
        return flood(socket, kFlood);
    case Mode::FloodUnannounced:
        socket->write("HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\nConnection: close\r\n\r\n");
        return flood(socket, kFlood);
    }
}

// Keeps a few MiB on their way until `total` is sent or the client hangs up.
void HostilePeer::flood(QTcpSocket *socket, qint64 total)
{
    auto left = std::make_shared<qint64>(total);
    const auto more = [socket, left] {
        static const QByteArray block(1024 * 1024, ' ');
        while (*left > 0 && socket->bytesToWrite() < 4 * block.size()) {
            socket->write(block);
            *left -= block.size();
        }
        if (*left <= 0)
            socket->disconnectFromHost();
    };
    connect(socket, &QTcpSocket::bytesWritten, socket, more);
    more();
}
