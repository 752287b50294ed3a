#include "CuttingProxy.h"

#include <QTcpSocket>

CuttingProxy::CuttingProxy(quint16 targetPort, QList<qint64> cutsAt, QObject *parent)
    : QObject(parent), m_targetPort(targetPort), m_cutsAt(std::move(cutsAt))
{
    connect(&m_server, &QTcpServer::newConnection, this, &CuttingProxy::accept);
    m_server.listen(QHostAddress::LocalHost, 0);
}

void CuttingProxy::accept()
{
    while (QTcpSocket *client = m_server.nextPendingConnection()) {
        auto *upstream = new QTcpSocket(client);
        upstream->connectToHost(QHostAddress::LocalHost, m_targetPort);
        const auto cut = [client, upstream] {
            upstream->abort();
            client->abort();
            client->deleteLater();
        };
        connect(client, &QTcpSocket::readyRead, this, [this, client, upstream, cut] {
            if (upstream->state() != QAbstractSocket::ConnectedState)
                return; // forwarded once connected
            QByteArray data = client->readAll();
            if (m_cutsDone < m_cutsAt.size() && m_upstream + data.size() >= m_cutsAt[m_cutsDone]) {
                const qint64 keep = m_cutsAt[m_cutsDone] - m_upstream;
                upstream->write(data.left(keep));
                upstream->flush();
                m_upstream += keep;
                ++m_cutsDone;
                cut();
                return;
            }
            m_upstream += data.size();
            upstream->write(data);
        });
        connect(upstream, &QTcpSocket::connected, client, [client] { Q_EMIT client->readyRead(); });
        connect(upstream, &QTcpSocket::readyRead, client,
                [client, upstream] { client->write(upstream->readAll()); });
        connect(upstream, &QTcpSocket::disconnected, client, [client] { client->disconnectFromHost(); });
        connect(client, &QTcpSocket::disconnected, client, [client, upstream] {
            upstream->disconnectFromHost();
            client->deleteLater();
        });
    }
}
