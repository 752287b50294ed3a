#include "TestServer.h"

#include <QCoreApplication>
#include <QDir>
#include <QRegularExpression>
#include <QUrl>

namespace {
QString program()
{
    return QDir(qEnvironmentVariable("CLIPFERRY_TOOLS", QCoreApplication::applicationDirPath()))
        .absoluteFilePath(QStringLiteral("clipferry-server"));
}
} // namespace

TestServer::TestServer(QString dataDir) : m_dataDir(std::move(dataDir))
{
    QDir().mkpath(m_dataDir);
    m_process.setStandardErrorFile(m_dataDir + QStringLiteral(".log"));
}

TestServer::~TestServer()
{
    stop();
}

bool TestServer::start(const QStringList &extra)
{
    m_process.start(program(),
                    QStringList{u"--data"_qs, m_dataDir, u"--demo"_qs, u"--port"_qs, u"0"_qs} + extra);
    if (!m_process.waitForStarted(30000))
        return false;
    QByteArray out;
    while (!out.contains('\n')) {
        if (!m_process.waitForReadyRead(60000))
            return false;
        out += m_process.readAllStandardOutput();
    }
    const auto match = QRegularExpression(u"listening on (\\S+)"_qs).match(QString::fromUtf8(out));
    const QUrl url(match.captured(1));
    m_port = quint16(url.port());
    m_address = u"127.0.0.1:"_qs + QString::number(m_port);
    return match.hasMatch() && m_port > 0;
}

void TestServer::stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.terminate();
    if (!m_process.waitForFinished(30000))
        m_process.kill();
}

std::optional<QByteArray> TestServer::admin(const QStringList &args) const
{
    QProcess p;
    p.start(program(), QStringList{u"--data"_qs, m_dataDir} + args);
    if (!p.waitForFinished(60000) || p.exitCode() != 0)
        return std::nullopt;
    return p.readAllStandardOutput();
}
