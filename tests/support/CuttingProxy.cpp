#include "support/CuttingProxy.h"

#include <QHostAddress>
#include <QTcpSocket>

CuttingProxy::CuttingProxy(quint16 targetPort, QList<qint64> cutsAt, QObject *parent)
    : QObject(parent), m_targetPort(targetPort), m_cutsAt(std::move(cutsAt))
{
    m_server.listen(QHostAddress::LocalHost, 0);
    connect(&m_server, &QTcpServer::newConnection, this, &CuttingProxy::accept);
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
        connect(client, &QTcpSocket::readyRead, this,
                [this, client, upstream] { forward(client, upstream); });
        connect(upstream, &QTcpSocket::connected, this,
                [this, client, upstream] { forward(client, upstream); });
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

void CuttingProxy::forward(QTcpSocket *client, QTcpSocket *upstream)
{
    if (upstream->state() != QAbstractSocket::ConnectedState)
        return;
    QByteArray data = client->readAll();
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
