#pragma once

#include "server/ServerAccess.h"

#include <QCoroTask>
#include <QString>

class LanguageTable;
class TransferControl;
namespace Messages {
class Channel;
}

// Logs in as the add dialog does: the folder listing fills `access` with the
// server's settings and folder tree. On failure the dialog's message has been
// printed to standard error and the result is false.
QCoro::Task<bool> logInAsDialog(TransferControl *transfer, const LanguageTable *language,
                                Messages::Channel *messages, ServerAccess *access, QString server,
                                QString account, QString password);
