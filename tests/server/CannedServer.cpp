#include "CannedServer.h"

#include <QTcpSocket>
#include <QTimer>

CannedServer::CannedServer(QList<QByteArray> bodies, Mode mode, QObject *parent)
    : QObject(parent), m_bodies(std::move(bodies)), m_mode(mode)
{
    connect(&m_server, &QTcpServer::newConnection, this, &CannedServer::accept);
    m_server.listen(QHostAddress::LocalHost, 0);
}

QString CannedServer::address() const
{
    return u"127.0.0.1:"_qs + QString::number(port());
}

void CannedServer::accept()
{
    while (QTcpSocket *socket = m_server.nextPendingConnection()) {
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        auto buffer = std::make_shared<QByteArray>();
        connect(socket, &QTcpSocket::readyRead, this, [this, socket, buffer] {
            *buffer += socket->readAll();
            const qsizetype headerEnd = buffer->indexOf("\r\n\r\n");
            if (headerEnd < 0)
                return;
            qsizetype length = 0;
            Seen seen;
            const QList<QByteArray> lines = buffer->left(headerEnd).split('\n');
            seen.requestLine = lines.value(0).trimmed();
            for (const QByteArray &line : lines) {
                const QByteArray lower = line.toLower();
                if (lower.startsWith("content-length:"))
                    length = line.mid(15).trimmed().toLongLong();
                else if (lower.startsWith("authorization:"))
                    seen.authorization = line.mid(14).trimmed();
            }
            if (buffer->size() < headerEnd + 4 + length)
                return;
            seen.body = buffer->mid(headerEnd + 4, length);
            buffer->remove(0, headerEnd + 4 + length);
            m_seen.append(seen);
            answer(socket);
        });
    }
}

void CannedServer::answer(QTcpSocket *socket)
{
    constexpr qint64 kFlood = 600LL * 1024 * 1024;
    switch (m_mode) {
    case Mode::Silent:
        return;
    case Mode::Canned: {
        QByteArray body = m_bodies.value(m_seen.size() - 1, m_bodies.value(m_bodies.size() - 1));
        if (body.startsWith("HTTP/"))
            return void(socket->write(body.replace("{port}", QByteArray::number(port()))));
        socket->write("HTTP/1.1 200 OK\r\nContent-Type: text/xml; charset=utf-8\r\nContent-Length: " +
                      QByteArray::number(body.size()) + "\r\n\r\n" + body);
        return;
    }
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
