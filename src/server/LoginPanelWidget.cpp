#include "server/LoginPanelWidget.h"

#include "common/Lang.h"
#include "common/LanguageWidget.h"
#include "common/Settings.h"
#include "platform/Messages.h"
#include "server/TransferControl.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

namespace {

// The caption of an edit: a screen reader names the edit by it.
QLabel *captionLabel(const LanguageTable &language, const QString &section, const QString &name,
                     QWidget *buddy)
{
    auto *label = NamedControl<QLabel>(name, buddy->parentWidget());
    label->setText(language.text(section, name));
    label->setBuddy(buddy);
    return label;
}

} // namespace

LoginPanelWidget::LoginPanelWidget(ServerAccess &access, const LanguageTable &language,
                                   Messages::Channel &messages, TransferControl *control,
                                   const QString &section, QWidget *parent)
    : QWidget(parent), m_language(language), m_messages(messages),
      m_session(new LoginSession(access, language, messages, control, section, this)), m_section(section),
      m_server(NamedControl<QLineEdit>(QStringLiteral("txtServer"), this)),
      m_account(NamedControl<QLineEdit>(QStringLiteral("txtAccount"), this)),
      m_password(NamedControl<QLineEdit>(QStringLiteral("txtPassword"), this)),
      m_logIn(new QPushButton(m_language.text(section, QStringLiteral("cmdLogIn"), QStringLiteral("Log In")),
                              this)),
      m_status(new QLabel(m_language.text(section, QStringLiteral("lStatus")), this)),
      m_oldServerHelp(LinkButton(QStringLiteral("lOldSysHelp"), this))
{
    m_password->setEchoMode(QLineEdit::Password);
    m_logIn->setObjectName(QStringLiteral("cmdLogIn"));
    m_status->setObjectName(QStringLiteral("lStatus"));
    m_status->setWordWrap(true);
    m_oldServerHelp->setText(m_language.text(section, QStringLiteral("lOldSysHelp")));
    m_oldServerHelp->hide();

    auto *grid = new QGridLayout(this);
    grid->setContentsMargins(0, 0, 0, 0);
    grid->addWidget(captionLabel(language, section, QStringLiteral("lServer"), m_server), 0, 0);
    grid->addWidget(m_server, 0, 1, 1, 2);
    grid->addWidget(captionLabel(language, section, QStringLiteral("lAccount"), m_account), 1, 0);
    grid->addWidget(m_account, 1, 1, 1, 2);
    grid->addWidget(captionLabel(language, section, QStringLiteral("lPassword"), m_password), 2, 0);
    grid->addWidget(m_password, 2, 1);
    grid->addWidget(m_logIn, 2, 2);
    auto *statusRow = new QHBoxLayout;
    statusRow->addWidget(m_status, 1);
    statusRow->addWidget(m_oldServerHelp);
    grid->addLayout(statusRow, 3, 0, 1, 3);
    grid->setColumnStretch(1, 1);

    for (QLineEdit *edit : {m_server, m_account, m_password}) {
        connect(edit, &QLineEdit::textEdited, this, &LoginPanelWidget::fieldEdited);
        connect(edit, &QLineEdit::returnPressed, this, [this] {
            if (m_logIn->isEnabled())
                RequestFolderList();
        });
    }
    connect(m_logIn, &QPushButton::clicked, this, &LoginPanelWidget::RequestFolderList);
    connect(m_oldServerHelp, &QPushButton::clicked, this, &LoginPanelWidget::showOldServerHelp);

    connect(m_session, &LoginSession::statusChanged, this, &LoginPanelWidget::showStatus);
    connect(m_session, &LoginSession::oldServerChanged, m_oldServerHelp, &QWidget::setVisible);
    connect(m_session, &LoginSession::busyChanged, this, [this](bool busy) {
        updateLogIn();
        if (busy)
            Q_EMIT serverDependentPartsEnabled(false);
        Q_EMIT busyChanged(busy);
    });
    connect(m_session, &LoginSession::loginSucceeded, this, [this] {
        m_logIn->setText(m_language.text(m_section, QStringLiteral("cmdRefresh"), QStringLiteral("Refresh")));
        Q_EMIT serverDependentPartsEnabled(true);
    });
}

void LoginPanelWidget::setLogin(const LoginSession::Login &login)
{
    m_loadingFields = true;
    m_server->setText(login.server);
    m_account->setText(login.account);
    m_password->setText(login.password);
    m_session->setLogin(login);
    m_loadingFields = false;
}

void LoginPanelWidget::restoreLastLogin(ServerSettings &settings)
{
    const ServerDefaults defaults = LoadServerDefaults();
    setLogin({defaults.serverIP, defaults.account, defaults.password});
    if (defaults.secondRes)
        settings.secondRes = *defaults.secondRes;
    if (defaults.thirdRes)
        settings.thirdRes = *defaults.thirdRes;
}

LoginSession::Login LoginPanelWidget::login() const
{
    return {m_server->text(), m_account->text(), m_password->text()};
}

bool LoginPanelWidget::LoadCachedFolderList()
{
    m_session->setLogin(login());
    if (!m_session->LoadCachedFolderList())
        return false;
    m_logIn->setText(m_language.text(m_section, QStringLiteral("cmdRefresh"), QStringLiteral("Refresh")));
    Q_EMIT serverDependentPartsEnabled(true);
    return true;
}

void LoginPanelWidget::RequestFolderList()
{
    m_session->setLogin(login());
    m_session->RequestFolderList();
}

bool LoginPanelWidget::canClose()
{
    if (!m_session->busy())
        return true;
    m_messages.show(m_language.text(m_section, QStringLiteral("msg_ExitOnGetFolder")), windowTitle());
    return false;
}

void LoginPanelWidget::setLogInAllowed(bool allowed)
{
    m_logInAllowed = allowed;
    updateLogIn();
}

void LoginPanelWidget::updateLogIn()
{
    m_logIn->setEnabled(m_logInAllowed && !m_session->busy());
}

void LoginPanelWidget::showStatus(const QString &text, bool alert)
{
    m_status->setText(text);
    m_status->setStyleSheet(alert ? QStringLiteral("color: #ff0000;") : QStringLiteral("color: #000000;"));
}

void LoginPanelWidget::fieldEdited()
{
    if (m_loadingFields)
        return;
    m_logIn->setText(m_language.text(m_section, QStringLiteral("cmdLogIn"), QStringLiteral("Log In")));
    m_session->LoginEdited();
    Q_EMIT serverDependentPartsEnabled(false);
    Q_EMIT loginEdited();
}

void LoginPanelWidget::showOldServerHelp()
{
    m_messages.show(m_language.text(m_section, QStringLiteral("msg_oldSysWarning")),
                    m_language.text(m_section, QStringLiteral("ttl_Help")));
}
