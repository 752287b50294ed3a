#include "support/CuttingProxy.h"

#include <QHostAddress>
#include <QTcpSocket>
#include <algorithm>

CuttingProxy::CuttingProxy(quint16 targetPort, QList<qint64> cutsAt, QObject *parent)
    : QObject(parent), m_targetPort(targetPort), m_cutsAt(std::move(cutsAt))
{
    m_server.listen(QHostAddress::LocalHost, 0);
    connect(&m_server, &QTcpServer::newConnection, this, &CuttingProxy::accept);
    m_paceTimer.setInterval(5);
    connect(&m_paceTimer, &QTimer::timeout, this, &CuttingProxy::paceTick);
}

void CuttingProxy::setPace(qint64 bytesPerSecond)
{
    m_pace = bytesPerSecond;
    m_budget = 0;
    m_paceClock.start();
    if (m_pace > 0)
        m_paceTimer.start();
    else
        m_paceTimer.stop();
}

void CuttingProxy::paceTick()
{
    // At most a tenth of a second's worth at once, so an idle link does not save up a burst.
    const double seconds = static_cast<double>(m_paceClock.restart()) / 1000.0;
    m_budget = std::min(m_budget + seconds * static_cast<double>(m_pace), static_cast<double>(m_pace) / 10);
    m_links.removeIf([](const auto &link) { return !link.first || !link.second; });
    for (const auto &link : std::as_const(m_links)) {
        const qint64 bytes = std::min(static_cast<qint64>(m_budget), link.first->bytesAvailable());
        if (bytes <= 0 || link.second->state() != QAbstractSocket::ConnectedState)
            continue;
        forward(link.first, link.second, bytes);
        m_budget -= static_cast<double>(bytes);
    }
}

void CuttingProxy::accept()
{
    while (QTcpSocket *client = m_server.nextPendingConnection()) {
        if (m_refuseNext) {
            m_refuseNext = false;
            client->abort();
            client->deleteLater();
            continue;
        }
        auto *upstream = new QTcpSocket(client);
        if (m_pace > 0) {
            // Unread bytes stay in the kernel, so TCP holds the client back; the buffer
            // holds two ticks' worth, so a fast pace is not capped by it.
            client->setReadBufferSize(std::max<qint64>(64 * 1024, m_pace / 100));
            m_links.emplaceBack(client, upstream);
        }
        connect(client, &QTcpSocket::readyRead, this, [this, client, upstream] {
            if (m_pace <= 0)
                forward(client, upstream);
        });
        connect(upstream, &QTcpSocket::connected, this, [this, client, upstream] {
            if (m_pace <= 0)
                forward(client, upstream);
        });
        connect(upstream, &QTcpSocket::readyRead, client, [this, client, upstream] {
            if (client == m_dropping) {
                m_dropping = nullptr;
                ++m_repliesDropped;
                upstream->readAll();
                client->abort();
                return;
            }
            QByteArray data = upstream->readAll();
            if (!m_replyCuts.isEmpty() && m_downstreamBytes + data.size() >= m_replyCuts.first()) {
                data.truncate(m_replyCuts.takeFirst() - m_downstreamBytes);
                m_downstreamBytes += data.size();
                ++m_cutsDone;
                client->write(data);
                client->flush();
                client->abort();
                return;
            }
            m_downstreamBytes += data.size();
            client->write(data);
        });
        connect(upstream, &QTcpSocket::disconnected, client, [client] { client->disconnectFromHost(); });
        connect(client, &QTcpSocket::disconnected, client, [client, upstream] {
            upstream->abort();
            client->deleteLater();
        });
        upstream->connectToHost(QHostAddress::LocalHost, m_targetPort);
    }
}

void CuttingProxy::forward(QTcpSocket *client, QTcpSocket *upstream, qint64 maxBytes)
{
    if (upstream->state() != QAbstractSocket::ConnectedState)
        return;
    QByteArray data = maxBytes < 0 ? client->readAll() : client->read(maxBytes);
    if (!m_dropMarker.isEmpty() && data.contains(m_dropMarker)) {
        m_dropMarker.clear();
        m_dropping = client;
    }
    if (!m_cutsAt.isEmpty() && m_upstreamBytes + data.size() >= m_cutsAt.first()) {
        data.truncate(m_cutsAt.takeFirst() - m_upstreamBytes);
        m_upstreamBytes += data.size();
        ++m_cutsDone;
        m_refuseNext = m_refuseAfterCut;
        upstream->write(data);
        upstream->flush();
        upstream->abort();
        client->abort();
        return;
    }
    m_upstreamBytes += data.size();
    upstream->write(data);
}
