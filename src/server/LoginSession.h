#pragma once

#include "platform/StopToken.h"
#include "server/ServerAccess.h"

class LanguageTable;
namespace Messages {
class Channel;
}

#include <QCoroTask>
#include <QObject>
#include <QPointer>
#include <QString>

class TransferControl;
struct TransferReply;

// The login and folder listing of an add dialog, without the dialog: it sends
// the folder-listing request, evaluates the reply into the server settings
// and the folder tree, and says through signals what the dialog shows. The
// login panel and the command line drive it the same way.
class LoginSession final : public QObject
{
    Q_OBJECT
public:
    struct Login
    {
        QString server; // as typed: with or without scheme, maybe with a path
        QString account;
        QString password;
    };

    // `section` is the dialog's own language section ("frmAdd", "frmAddBatch").
    LoginSession(ServerAccess &access, const LanguageTable &language, Messages::Channel &messages,
                 TransferControl *control, QString section, QObject *parent = nullptr);
    // A login still running ends with the session.
    ~LoginSession() override;
    Q_DISABLE_COPY_MOVE(LoginSession)

    void setLogin(const Login &login) { m_login = login; }
    const Login &login() const { return m_login; }

    // Logs in: sends the folder-listing request and evaluates its reply,
    // once more with the plain password when the server asks for it. True
    // when the settings and the tree are new; false when nothing was sent
    // (busy, or the password could not be hashed) or the login failed.
    QCoro::Task<bool> LogIn();
    // Log In / Refresh: starts LogIn(); false when nothing was sent.
    bool RequestFolderList();
    // Builds the tree from the reply cached by the last good login.
    bool LoadCachedFolderList();
    // The server, account or password field changed: the login must be redone.
    void LoginEdited();

    // Busy state 2: a folder-listing request is outstanding.
    bool busy() const { return m_busy; }
    bool loggedIn() const { return m_loggedIn; }
    // The address of the last request sent.
    QString lastRequestUrl() const { return m_lastUrl; }
    int requestsSent() const { return m_requests; }
    // The settings folder's cached reply.
    static QString cachedReplyPath();

Q_SIGNALS:
    // `alert` shows the text in red.
    void statusChanged(const QString &text, bool alert);
    void busyChanged(bool busy);
    void oldServerChanged(bool oldServer);
    // Overwrite-by-URL mode offered or not, with the server's default document URL.
    void overwriteModeChanged(bool offered, const QString &url);
    // The folder tree is rebuilt between these two.
    void folderTreeAboutToChange();
    void folderTreeChanged();
    // A good reply was evaluated: settings and tree are new.
    void loginSucceeded();
    // The reply was refused or unusable; the old tree and settings stay.
    void loginFailed();
    // Either of the two above.
    void loginEnded(bool ok);

private:
    enum class Verdict
    {
        Good,
        Failed,
        RetryPlain
    };

    // The first half of a login: status, busy state and the request's texts;
    // false when there is nothing to send.
    bool beginRequest();
    QCoro::Task<bool> exchange();
    Verdict HandleFolderReply(const TransferReply &reply);
    Verdict failureEnding();
    void setBusy(bool busy);
    // The "folderID" setting, 0 when there is none.
    static int rememberedFolderId();
    void rebuildTree(const pugi::xml_document &reply, int selectId);
    void applyOverwriteRule(const pugi::xml_document &reply);
    bool SaveLoginSettings(const QByteArray &reply);
    QString text(const QString &key) const;

    ServerAccess &m_access;
    const LanguageTable &m_language;
    Messages::Channel &m_messages;
    QPointer<TransferControl> m_control;
    QString m_section;
    Login m_login;
    Login m_previousLogin; // server and account stored before this reply
    bool m_busy = false;
    bool m_loggedIn = false;
    QString m_lastUrl;
    QString m_passwordSent;
    int m_requests = 0;
    StopSource m_stop;
};
