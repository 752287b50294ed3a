#pragma once

#include <QList>
#include <QObject>
#include <QTcpServer>

class QTcpSocket;

// A loopback proxy that drops the connection it is carrying once the bytes
// sent towards the server pass each of the given totals.
class CuttingProxy final : public QObject
{
    Q_OBJECT
public:
    CuttingProxy(quint16 targetPort, QList<qint64> cutsAt, QObject *parent = nullptr);
    quint16 port() const { return m_server.serverPort(); }
    int cutsDone() const { return m_cutsDone; }

private:
    void accept();

    QTcpServer m_server;
    quint16 m_targetPort;
    QList<qint64> m_cutsAt;
    qint64 m_upstream = 0;
    int m_cutsDone = 0;
};
