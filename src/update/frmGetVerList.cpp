#include "update/frmGetVerList.h"

#include "common/Settings.h"
#include "common/XmlUtil.h"
#include "pipeline/Session.h"
#include "platform/AppPaths.h"
#include "server/TransferControl.h"
#include "update/CVerList.h"
#include "update/UpdateTrust.h"

#include <QDir>
#include <QFile>
#include <QPointer>
#include <QTemporaryFile>

QString UpdateServerAddress(const QStringList &arguments)
{
    QString server;
    const qsizetype option = arguments.indexOf(QStringLiteral("--update-server"));
    if (option >= 0 && option + 1 < arguments.size())
        server = arguments.at(option + 1);
    if (server.trimmed().isEmpty())
        server = ReadPlainSetting(QStringLiteral("updateServer"), QString());
    if (server.trimmed().isEmpty())
        server = LoadServerDefaults().serverIP;
    server = server.trimmed();
    while (server.endsWith(u'/'))
        server.chop(1);
    if (!server.isEmpty() && !server.contains(QLatin1String("://")))
        server.prepend(QStringLiteral("http://"));
    return server;
}

QStringList WithoutUpdateOptions(QStringList arguments)
{
    for (const QString &name : {QStringLiteral("--update-server"), QStringLiteral("--updater-message")}) {
        const qsizetype option = arguments.indexOf(name);
        if (option >= 0)
            arguments.remove(option, qMin<qsizetype>(2, arguments.size() - option));
    }
    return arguments;
}

frmGetVerList::frmGetVerList(Session &session, QString updateServer, QStringList arguments, QObject *parent)
    : QObject(parent), m_session(session), m_server(std::move(updateServer)),
      m_arguments(std::move(arguments))
{}

QString frmGetVerList::requestUrl(const QString &updateServer, const QStringList &arguments)
{
    QString url = updateServer + QStringLiteral("/version_ctrl/clipferry/verinfo.php");
    if (WithoutUpdateOptions(arguments).join(u' ').contains(QLatin1String("-d")))
        url += QStringLiteral("?draft=1");
    return url;
}

QCoro::Task<bool> frmGetVerList::run()
{
    QPointer<frmGetVerList> self(this);
    TransferReply reply = co_await RequestVerList(&m_session, m_server, m_arguments);
    if (!self)
        co_return false;
    bool stored = false;
    if (reply.outcome == TransferOutcome::Replied)
        stored = StoreVerList(reply.text.toUtf8());
    else if (!reply.stopped())
        m_session.messages().show(reply.error, QStringLiteral("Failed to get update info!"),
                                  Messages::Icon::Warning);
    Q_EMIT closed();
    co_return stored;
}

QCoro::Task<TransferReply> RequestVerList(Session *session, QString updateServer, QStringList arguments)
{
    const QString url = frmGetVerList::requestUrl(updateServer, arguments);
    const QString body = QStringLiteral("ver=") + ProgramVersion(session->language());
    // Arguments are made before the co_await: GCC 12 mishandles temporaries inside it.
    const QString none;
    const StopToken stop;
    co_return co_await session->transfer().Request(url, none, none, body, stop);
}

bool ReadVerListReply(const QByteArray &reply, pugi::xml_document &doc, QString *problem)
{
    QString why;
    if (!Xml::parseText(doc, reply) || !doc.document_element())
        why = QStringLiteral("The reply is not a version list.");
    else if (const QString refused = Xml::GetTextByPath(doc, QStringLiteral("errInfo")); !refused.isEmpty())
        why = QStringLiteral("The update server refused with %1.").arg(refused);
    if (problem)
        *problem = why;
    return why.isEmpty();
}

bool StoreVerList(const QByteArray &reply)
{
    pugi::xml_document doc;
    if (!ReadVerListReply(reply, doc) || !UpdateTrust::verifyList(doc, nullptr))
        return false;
    const QString old = ReadPlainSetting(QStringLiteral("verListPath"), QString());
    // The unique name is made and claimed in one step, so two starts never
    // share a file.
    QTemporaryFile file(QDir(AppPaths::tempDir()).filePath(QStringLiteral("_qvVerList_XXXXXX")));
    file.setAutoRemove(true);
    if (!file.open() || file.write(reply) != reply.size() || !file.flush())
        return false;
    file.setAutoRemove(false);
    const QString path = file.fileName();
    file.close();
    WritePlainSetting(QStringLiteral("verListPath"), path);
    if (!old.isEmpty() && old != path)
        QFile::remove(old);
    return true;
}
