#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>
#include <optional>

// The real clipferry-server on a free loopback port, with the demo account
// and folders in its own data folder.
class TestServer final
{
public:
    explicit TestServer(QString dataDir);
    ~TestServer();
    Q_DISABLE_COPY_MOVE(TestServer)

    bool start(const QStringList &extra = {});
    void stop();
    // Runs an administration command against the data folder; its output, or nothing on failure.
    std::optional<QByteArray> admin(const QStringList &args) const;
    // "127.0.0.1:PORT", as a user types it into the server field.
    QString address() const { return m_address; }
    quint16 port() const { return m_port; }
    QString dataDir() const { return m_dataDir; }

private:
    QString m_dataDir;
    QProcess m_process;
    QString m_address;
    quint16 m_port = 0;
};
