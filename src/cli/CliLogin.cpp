#include "cli/CliLogin.h"

#include "platform/Coro.h"
#include "server/LoginSession.h"
#include "server/TransferControl.h"

#include <QTextStream>

QCoro::Task<bool> logInAsDialog(ServerAccess &access, QString server, QString account, QString password)
{
    TransferControl control;
    LoginSession session(access, &control, QStringLiteral("frmAdd"));
    session.setLogin({server, account, password});
    QObject::connect(&session, &LoginSession::statusChanged, &session, [](const QString &text, bool alert) {
        if (alert && !text.isEmpty())
            QTextStream(stderr) << text << Qt::endl;
    });
    if (!session.RequestFolderList())
        co_return false;
    // The control gives up on a silent server by itself; this only bounds the wait.
    const auto ended = co_await Coro::signal(&session, &LoginSession::loginEnded, std::chrono::minutes(10));
    co_return ended &&*ended;
}
