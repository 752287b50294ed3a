#include "platform/SingleInstance.h"

#include "platform/AppPaths.h"

#include <QDataStream>
#include <QDir>
#include <QLocalSocket>

SingleInstance::SingleInstance(const QString &name, QObject *parent) : QObject(parent), m_name(name) {}

SingleInstance::~SingleInstance() = default;

bool SingleInstance::claim(const QStringList &arguments)
{
    m_lock =
        std::make_unique<QLockFile>(QDir(AppPaths::dataDir()).filePath(m_name + QStringLiteral(".lock")));
    // A stale time of 0: a lock is only broken when its owner is gone.
    m_lock->setStaleLockTime(0);
    const QString socketName = QDir(AppPaths::dataDir()).filePath(m_name + QStringLiteral(".socket"));
    if (!m_lock->tryLock(0)) {
        QLocalSocket socket;
        socket.connectToServer(socketName);
        if (socket.waitForConnected(500)) {
            QDataStream out(&socket);
            out << arguments;
            socket.waitForBytesWritten(500);
        }
        return false;
    }
    QLocalServer::removeServer(socketName);
    m_server = new QLocalServer(this);
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    connect(m_server, &QLocalServer::newConnection, this, &SingleInstance::acceptConnection);
    m_server->listen(socketName);
    return true;
}

void SingleInstance::acceptConnection()
{
    while (QLocalSocket *socket = m_server->nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket]() {
            QDataStream in(socket);
            in.startTransaction();
            QStringList arguments;
            in >> arguments;
            if (in.commitTransaction())
                Q_EMIT activated(arguments);
        });
    }
}
