#pragma once

#include "server/LoginSession.h"

#include <QWidget>

class QLabel;
class QLineEdit;
class QPushButton;
class TransferControl;

// The server, account and password fields with Log In / Refresh and the
// status line, as both add dialogs embed them. Control names follow the
// language file, so the dialog's ApplyLanguage reaches them too.
class LoginPanelWidget final : public QWidget
{
    Q_OBJECT
public:
    // `section` is the dialog's language section ("frmAdd", "frmAddBatch").
    LoginPanelWidget(ServerAccess &access, const LanguageTable &language, Messages::Channel &messages,
                     TransferControl *control, const QString &section, QWidget *parent = nullptr);

    LoginSession *session() const { return m_session; }
    // Fills the fields without counting it as an edit.
    void setLogin(const LoginSession::Login &login);
    // Fills the fields with the last login and gives `settings` the stored
    // second and third resolutions.
    void restoreLastLogin(ServerSettings &settings);
    LoginSession::Login login() const;
    // Shows the tree of the cached reply and counts as logged in.
    bool LoadCachedFolderList();
    // Log In / Refresh.
    void RequestFolderList();
    // Refuses (with its message) while the folder list is awaited.
    bool canClose();
    bool isLoggedIn() const { return m_session->loggedIn(); }
    // Whether the dialog lets Log In / Refresh be pressed now; the panel
    // still refuses it while the folder list is awaited.
    void setLogInAllowed(bool allowed);

Q_SIGNALS:
    // The folder picker, the conversion choices and OK follow this.
    void serverDependentPartsEnabled(bool enabled);
    // Busy state 2 began or ended: the dialog's Cancel follows it.
    void busyChanged(bool busy);
    // A login field was edited; the dialog refreshes its size estimate.
    void loginEdited();

private:
    void showStatus(const QString &text, bool alert);
    void fieldEdited();
    void showOldServerHelp();
    void updateLogIn();

    const LanguageTable &m_language;
    Messages::Channel &m_messages;
    LoginSession *m_session;
    QString m_section;
    QLineEdit *m_server;
    QLineEdit *m_account;
    QLineEdit *m_password;
    QPushButton *m_logIn;
    QLabel *m_status;
    QPushButton *m_oldServerHelp;
    bool m_loadingFields = false;
    bool m_logInAllowed = true;
};
