#include "cli/CliLogin.h"

#include "server/LoginSession.h"
#include "server/TransferControl.h"

#include <QTextStream>

QCoro::Task<bool> logInAsDialog(TransferControl *transfer, const LanguageTable *language,
                                Messages::Channel *messages, ServerAccess *access, QString server,
                                QString account, QString password)
{
    LoginSession session(*access, *language, *messages, transfer, QStringLiteral("frmAdd"));
    session.setLogin({server, account, password});
    QObject::connect(&session, &LoginSession::statusChanged, &session, [](const QString &text, bool alert) {
        if (alert && !text.isEmpty())
            QTextStream(stderr) << text << Qt::endl;
    });
    co_return co_await session.LogIn();
}
