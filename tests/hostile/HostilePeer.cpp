#include "HostilePeer.h"

#include <QTcpSocket>
#include <QTimer>
#include <memory>

HostilePeer::HostilePeer(Mode mode, QUrl target) : m_mode(mode), m_target(std::move(target))
{
    connect(&m_server, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket *socket = m_server.nextPendingConnection()) {
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            auto head = std::make_shared<QByteArray>();
            connect(socket, &QTcpSocket::readyRead, this, [this, socket, head] {
                const bool answered = head->contains("\r\n\r\n");
                *head += socket->readAll();
                if (!answered && head->contains("\r\n\r\n"))
                    answer(socket);
            });
        }
    });
    m_server.listen(QHostAddress::LocalHost, 0);
}

void HostilePeer::answer(QTcpSocket *socket)
{
    constexpr qint64 kFlood = 600LL * 1024 * 1024;
    switch (m_mode) {
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
    case Mode::FloodUnannounced:
        socket->write(m_mode == Mode::Flood
                          ? "HTTP/1.1 200 OK\r\nContent-Length: " + QByteArray::number(kFlood) + "\r\n\r\n"
                          : QByteArray("HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n"));
        break;
    }
    // Keeps a few MiB on their way until all is sent or the client hangs up.
    auto left = std::make_shared<qint64>(kFlood);
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
