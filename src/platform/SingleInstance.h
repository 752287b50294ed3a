#pragma once

#include <QLocalServer>
#include <QLockFile>
#include <QObject>
#include <QStringList>
#include <memory>

// One ClipFerry per user. The first instance holds a lock file and listens on
// a local socket; a later start finds the lock taken, hands its arguments to
// the first through the socket and ends.
class SingleInstance final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(SingleInstance)

public:
    explicit SingleInstance(const QString &name, QObject *parent = nullptr);
    ~SingleInstance() override;

    // True when this process is the first instance. Otherwise the arguments
    // have been handed to the running one (as far as it answers).
    bool claim(const QStringList &arguments);

Q_SIGNALS:
    // Another start of the program handed over its arguments.
    void activated(const QStringList &arguments);

private:
    void acceptConnection();

    QString m_name;
    std::unique_ptr<QLockFile> m_lock;
    QLocalServer *m_server = nullptr;
};
