#include "support/ServerProcess.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QRegularExpression>

using namespace Qt::StringLiterals;

ServerProcess::ServerProcess(const QString &dataDir) : m_dataDir(dataDir)
{
    m_process.setProcessChannelMode(QProcess::SeparateChannels);
    // The server's request log lands beside its data folder, for a look after a failure.
    m_process.setStandardErrorFile(dataDir + u".log"_s);
}

ServerProcess::~ServerProcess()
{
    stop();
}

QString ServerProcess::program()
{
    // CLIPFERRY_TOOLS may name several folders; a test may put its fakes first.
    const QStringList dirs = qEnvironmentVariable("CLIPFERRY_TOOLS", QCoreApplication::applicationDirPath())
                                 .split(QDir::listSeparator(), Qt::SkipEmptyParts);
    for (const QString &dir : dirs) {
        if (const QString path = QDir(dir).absoluteFilePath(QStringLiteral("clipferry-server"));
            QFile::exists(path))
            return path;
    }
    return QDir(QCoreApplication::applicationDirPath()).absoluteFilePath(QStringLiteral("clipferry-server"));
}

bool ServerProcess::start(const QStringList &extra)
{
    m_process.start(program(), QStringList{u"--data"_s, m_dataDir, u"--port"_s, u"0"_s} + extra);
    if (!m_process.waitForStarted(30000)) {
        qWarning() << "cannot start" << program() << m_process.errorString();
        return false;
    }
    QByteArray out;
    while (!out.contains('\n')) {
        if (!m_process.waitForReadyRead(60000)) {
            qWarning() << "the server did not start:" << m_process.errorString();
            return false;
        }
        out += m_process.readAllStandardOutput();
    }
    const auto match = QRegularExpression(u"^listening on (\\S+)"_s).match(QString::fromUtf8(out));
    m_url = QUrl(match.captured(1));
    return match.hasMatch() && m_url.port() > 0;
}

bool ServerProcess::stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return true;
    m_process.terminate();
    return m_process.waitForFinished(30000) && m_process.exitStatus() == QProcess::NormalExit &&
           m_process.exitCode() == 0;
}

void ServerProcess::kill()
{
    m_process.kill();
    m_process.waitForFinished(30000);
}

QByteArray ServerProcess::admin(const QStringList &args) const
{
    QProcess p;
    p.start(program(), QStringList{u"--data"_s, m_dataDir} + args);
    if (!p.waitForFinished(60000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0)
        return {};
    const QByteArray out = p.readAllStandardOutput();
    return out.isNull() ? QByteArray("") : out;
}

QString ServerProcess::addFolder(const QString &name) const
{
    return QString::fromUtf8(admin({u"folder"_s, u"add"_s, u"0"_s, name})).trimmed();
}
