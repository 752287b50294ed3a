#pragma once

#include <QProcess>
#include <QStringList>
#include <QUrl>

// The real clipferry-server, started on a free loopback port with its own data folder.
class ServerProcess final
{
public:
    explicit ServerProcess(const QString &dataDir);
    ~ServerProcess();
    Q_DISABLE_COPY_MOVE(ServerProcess)

    bool start(const QStringList &extra = {});
    bool stop();
    // Ends the server at once with SIGKILL, as a crash or a power cut would.
    void kill();
    QUrl url() const { return m_url; }
    // "127.0.0.1:PORT", as a user types it into the server field.
    QString address() const { return m_url.host() + u':' + QString::number(m_url.port()); }
    quint16 port() const { return static_cast<quint16>(m_url.port()); }
    // Runs an administration subcommand; returns its standard output, or a null array on failure.
    QByteArray admin(const QStringList &args) const;
    // Adds a folder below the root that takes uploads; its id, or empty on failure.
    QString addFolder(const QString &name) const;
    QString dataDir() const { return m_dataDir; }

    static QString program();

private:
    QString m_dataDir;
    QProcess m_process;
    QUrl m_url;
};
