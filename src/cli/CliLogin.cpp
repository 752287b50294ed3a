#include "cli/CliLogin.h"

#include "server/LoginSession.h"
#include "server/TransferControl.h"

#include <QNetworkAccessManager>
#include <QTextStream>

QCoro::Task<bool> logInAsDialog(ServerAccess &access, QString server, QString account, QString password)
{
    QNetworkAccessManager network;
    TransferControl control(network);
    LoginSession session(access, &control, QStringLiteral("frmAdd"));
    session.setLogin({server, account, password});
    QObject::connect(&session, &LoginSession::statusChanged, &session, [](const QString &text, bool alert) {
        if (alert && !text.isEmpty())
            QTextStream(stderr) << text << Qt::endl;
    });
    co_return co_await session.LogIn();
}
