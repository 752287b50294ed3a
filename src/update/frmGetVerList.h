#pragma once

#include <QCoroTask>
#include <QObject>
#include <QStringList>
#include <pugixml.hpp>

class Session;
struct TransferReply;

// The update server: "--update-server URL" on the command line, else the
// setting "updateServer", else the server of the last login; empty when none
// is known. Always with its scheme and without a closing "/".
QString UpdateServerAddress(const QStringList &arguments);
// The command line without "--update-server URL" and "--updater-message
// TEXT", for the checks that look for "-s" and "-d" anywhere in it.
QStringList WithoutUpdateOptions(QStringList arguments);

// The hidden version check of every start: fetches the current version list
// and keeps it in a temporary file for the next start's notice. Only a
// signed list without "errInfo" replaces the stored one.
class frmGetVerList final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(frmGetVerList)

public:
    frmGetVerList(Session &session, QString updateServer, QStringList arguments, QObject *parent = nullptr);

    // The request address; "-d" on the command line asks for drafts too.
    static QString requestUrl(const QString &updateServer, const QStringList &arguments);

    // Fetches and stores the list; true when a new list was stored.
    QCoro::Task<bool> run();

Q_SIGNALS:
    void closed();

private:
    Session &m_session;
    QString m_server;
    QStringList m_arguments;
};

// Asks the update server for its version list, naming this program's version;
// "-d" in `arguments` asks for drafts too.
QCoro::Task<TransferReply> RequestVerList(Session *session, QString updateServer, QStringList arguments);

// Reads a version list reply into `doc`. False, with `problem` saying why,
// for a reply that does not parse or carries "errInfo" (the server's refusal).
bool ReadVerListReply(const QByteArray &reply, pugi::xml_document &doc, QString *problem = nullptr);

// Stores a version list reply: a new file "_qvVerList_..." in the temporary
// folder, named in "verListPath", the previous one deleted. False, storing
// nothing, for a reply that does not parse, carries "errInfo" or is not
// signed by the update server.
bool StoreVerList(const QByteArray &reply);
