#pragma once

#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QTcpServer>
#include <QTimer>

class QTcpSocket;

// A loopback TCP proxy that drops the connection once the bytes sent towards the
// server reach each of the given totals, so a client sees a connection cut mid-request.
class CuttingProxy final : public QObject
{
    Q_OBJECT
public:
    CuttingProxy(quint16 targetPort, QList<qint64> cutsAt, QObject *parent = nullptr);
    // After each cut, also close the next connection at once: a client that
    // quietly re-sends the cut request fails again and has to find out what
    // the server kept.
    void setRefuseAfterCut(bool refuse) { m_refuseAfterCut = refuse; }
    // The first request whose bytes hold `marker` reaches the server whole,
    // but its reply is dropped with the connection: the client never learns
    // what the server did.
    void dropReplyOnce(const QByteArray &marker) { m_dropMarker = marker; }
    int repliesDropped() const { return m_repliesDropped; }
    // Also drops the connection once the bytes sent back to the client reach
    // each of these totals: a download breaks in the middle of a reply.
    void setReplyCuts(QList<qint64> totals) { m_replyCuts = std::move(totals); }
    // At most this many bytes a second towards the server (0: no limit), held back by
    // TCP as on a slow uplink. Set before the connections it is to pace.
    void setPace(qint64 bytesPerSecond);
    quint16 port() const { return m_server.serverPort(); }
    qint64 upstreamBytes() const { return m_upstreamBytes; }
    int cutsDone() const { return m_cutsDone; }

private:
    void accept();
    // Up to `maxBytes` of what the client sent (all of it when negative).
    void forward(QTcpSocket *client, QTcpSocket *upstream, qint64 maxBytes = -1);
    void paceTick();

    QTcpServer m_server;
    quint16 m_targetPort;
    QList<qint64> m_cutsAt;
    qint64 m_upstreamBytes = 0;
    int m_cutsDone = 0;
    bool m_refuseAfterCut = false;
    bool m_refuseNext = false;
    QByteArray m_dropMarker;
    QTcpSocket *m_dropping = nullptr;
    int m_repliesDropped = 0;
    QList<qint64> m_replyCuts;
    qint64 m_downstreamBytes = 0;
    qint64 m_pace = 0;
    double m_budget = 0;
    QTimer m_paceTimer;
    QElapsedTimer m_paceClock;
    QList<QPair<QPointer<QTcpSocket>, QPointer<QTcpSocket>>> m_links;
};
