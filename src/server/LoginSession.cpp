#include "server/LoginSession.h"

#include "common/Lang.h"
#include "common/Password.h"
#include "common/Settings.h"
#include "common/TextUtil.h"
#include "common/XmlUtil.h"
#include "platform/AppPaths.h"
#include "platform/Messages.h"
#include "server/TransferControl.h"

#include <QFileInfo>

namespace {

const QString kUpload = QStringLiteral("frmUpload");
const QString kTitle = QStringLiteral("GetFolder");
const QString kCrLf = QStringLiteral("\r\n");

bool isCredentialRefusal(const QString &code)
{
    return code == u"1101" || code == u"1102" || code == u"1103";
}

} // namespace

LoginSession::LoginSession(ServerAccess &access, const LanguageTable &language, Messages::Channel &messages,
                           TransferControl *control, QString section, QObject *parent)
    : QObject(parent), m_access(access), m_language(language), m_messages(messages), m_control(control),
      m_section(std::move(section))
{}

LoginSession::~LoginSession()
{
    m_stop.requestStop();
}

QString LoginSession::cachedReplyPath()
{
    return AppPaths::dataPath(QStringLiteral("getfolder.xml"));
}

QString LoginSession::text(const QString &key) const
{
    return m_language.text(m_section, key);
}

void LoginSession::setBusy(bool busy)
{
    if (m_busy == busy)
        return;
    m_busy = busy;
    Q_EMIT busyChanged(busy);
}

bool LoginSession::RequestFolderList()
{
    if (m_busy || !m_control || !beginRequest())
        return false;
    QCoro::connect(exchange(), this, [](bool) {});
    return true;
}

QCoro::Task<bool> LoginSession::LogIn()
{
    if (m_busy || !m_control || !beginRequest())
        co_return false;
    co_return co_await exchange();
}

bool LoginSession::beginRequest()
{
    Q_EMIT statusChanged(
        text(QStringLiteral("msg_refreshFrom")) + u' ' + m_login.server + QStringLiteral(" ..."), false);
    Q_EMIT oldServerChanged(false);
    // Until the reply says otherwise, the last login is this one.
    m_loggedIn = false;
    setBusy(true);

    m_passwordSent = m_access.hashPassword ? PasswordAsSent(m_login.password, true, m_messages)
                                           : m_login.password.trimmed();
    if (m_access.hashPassword && m_passwordSent.isEmpty()) {
        Q_EMIT statusChanged({}, false);
        setBusy(false);
        return false;
    }
    QString server = StripScheme(m_login.server.trimmed(), m_access.useHttps);
    while (server.endsWith(u'/'))
        server.chop(1);
    m_lastUrl = (m_access.useHttps ? QStringLiteral("https://") : QStringLiteral("http://")) + server +
                QStringLiteral("/tarn/getfolder/");
    ++m_requests;
    return true;
}

QCoro::Task<bool> LoginSession::exchange()
{
    QPointer self{this};
    for (;;) {
        const QString postData =
            QStringLiteral("tool=v.") +
            m_language.text(kUpload, QStringLiteral("frmVersion"), QStringLiteral("2.100603"));
        const StopToken stop = m_stop.token();
        const TransferReply reply =
            co_await m_control->Request(m_lastUrl, m_login.account, m_passwordSent, postData, stop);
        if (!self || reply.stopped())
            co_return false;
        const Verdict verdict = HandleFolderReply(reply);
        if (verdict != Verdict::RetryPlain)
            co_return verdict == Verdict::Good;
        // This server only knows the plain password: the same login once more with it.
        if (!m_control || !beginRequest())
            co_return false;
    }
}

LoginSession::Verdict LoginSession::HandleFolderReply(const TransferReply &transfer)
{
    setBusy(false);
    Q_EMIT statusChanged({}, false);
    // The login is stored again only when this reply is good.
    m_previousLogin = {ReadSetting(Settings::kSection, QStringLiteral("serverIP"), {}).trimmed(),
                       ReadSetting(Settings::kSection, QStringLiteral("account"), {}),
                       {}};
    WriteSetting(Settings::kSection, QStringLiteral("account"), {});
    WriteSetting(Settings::kSection, QStringLiteral("password"), {});

    const QString &response = transfer.text;
    if (!response.startsWith(QLatin1String("<?xml"))) {
        QString message = m_language.text(kUpload, QStringLiteral("msg_0"));
        // Say why nothing usable came: the host and the reason.
        if (!transfer.error.isEmpty())
            message += kCrLf + transfer.error;
        m_messages.show(message, kTitle, Messages::Icon::Warning);
        return failureEnding();
    }
    const QByteArray bytes = response.toUtf8();
    pugi::xml_document reply;
    if (!Xml::parseText(reply, bytes)) {
        m_messages.show(text(QStringLiteral("msgParseXmlErr")), kTitle, Messages::Icon::Warning);
        return failureEnding();
    }
    const pugi::xml_node root = reply.document_element();

    const QString code = Xml::toQ(root.child_value("errInfo")).trimmed();
    if (!code.isEmpty()) {
        const QString enc = Xml::GetTextByPath(reply, QStringLiteral("sysinfo.enc")).trimmed();
        if (isCredentialRefusal(code) && m_access.hashPassword && enc != u"1") {
            m_access.hashPassword = false;
            return Verdict::RetryPlain;
        }
        const QString known = m_language.text(kUpload, QStringLiteral("msg_") + code);
        m_messages.show(known.isEmpty() ? code + kCrLf + m_language.text(kUpload, QStringLiteral("tarnError"))
                                        : known,
                        kTitle, Messages::Icon::Warning);
        return failureEnding();
    }
    if (QString::fromUtf8(root.attribute("ver").value()) != u"2.0") {
        m_messages.show(text(QStringLiteral("msgUnsupportedXmlVer")), kTitle, Messages::Icon::Warning);
        return failureEnding();
    }

    ServerSettings &settings = m_access.settings;
    settings.supportedQvpVer = SupportedQvpVersion(reply);
    ReadServerSettings(reply, settings);
    if (!settings.resolutionList.isEmpty()) {
        ParseResolutionList(settings);
    } else {
        settings.secondRes = 1024;
        settings.thirdRes = 640;
    }
    applyOverwriteRule(reply);

    // Before anything is picked, the folder picked last time is the one "selected so far".
    const CFolderNode *selected = m_access.folderTree.Selected;
    rebuildTree(reply, selected ? selected->ID : rememberedFolderId());

    const bool oldServer = settings.serverSysVer.isEmpty();
    if (oldServer)
        Q_EMIT statusChanged(text(QStringLiteral("msg_oldSysTip")), true);
    Q_EMIT oldServerChanged(oldServer);
    if (!SaveLoginSettings(bytes)) {
        m_messages.show(QStringLiteral("Cannot write %1").arg(cachedReplyPath()),
                        kTitle + QStringLiteral(" - SaveLoginSettings"), Messages::Icon::Warning);
    }
    m_loggedIn = true;
    Q_EMIT loginSucceeded();
    Q_EMIT loginEnded(true);
    return Verdict::Good;
}

LoginSession::Verdict LoginSession::failureEnding()
{
    Q_EMIT statusChanged(text(QStringLiteral("msg_refreshFirst")), true);
    Q_EMIT loginFailed();
    Q_EMIT loginEnded(false);
    return Verdict::Failed;
}

void LoginSession::applyOverwriteRule(const pugi::xml_document &reply)
{
    const bool offered = Xml::GetTextByPath(reply, QStringLiteral("sysinfo.urloverwrite")).trimmed() == u"1";
    Q_EMIT overwriteModeChanged(
        offered, offered ? Xml::GetTextByPath(reply, QStringLiteral("sysinfo.url")).trimmed() : QString());
}

int LoginSession::rememberedFolderId()
{
    return ReadSetting(Settings::kSection, QStringLiteral("folderID"), {}).toInt();
}

void LoginSession::rebuildTree(const pugi::xml_document &reply, int selectId)
{
    CFolderTree &tree = m_access.folderTree;
    Q_EMIT folderTreeAboutToChange();
    tree.adId = m_access.settings.adId;
    tree.BuildFolderTree(reply, m_messages);
    tree.SelectFolderById(selectId);
    Q_EMIT folderTreeChanged();
}

bool LoginSession::SaveLoginSettings(const QByteArray &reply)
{
    const QString &s = Settings::kSection;
    const QString server = m_login.server.trimmed();
    const CFolderTree &tree = m_access.folderTree;
    const QString folderId = tree.Selected ? QString::number(tree.Selected->ID) : QString();
    WriteSetting(s, QStringLiteral("serverIP"), server);
    WriteSetting(s, QStringLiteral("account"), m_login.account);
    WriteSetting(s, QStringLiteral("password"), m_login.password);
    WriteSetting(s, QStringLiteral("secondRes"), QString::number(m_access.settings.secondRes));
    WriteSetting(s, QStringLiteral("thirdRes"), QString::number(m_access.settings.thirdRes));
    WriteSetting(s, QStringLiteral("folderID"), folderId);
    WriteSetting(s, QStringLiteral("folderName"),
                 tree.Selected ? tree.PathOf(tree.Selected, QStringLiteral("/")) : QString());
    const bool saved = Xml::writeFileAtomic(cachedReplyPath(), reply, true);

    // The default profile follows the login; a folder of another server or
    // account means nothing here.
    const QString settingsDir = AppPaths::dataDir();
    const QString profile = AppPaths::dataPath(QStringLiteral("tarn_profile.xml"));
    if (QFileInfo(profile).size() >= 11) {
        const ProfileServer old = ReadProfileServer(settingsDir, {}, {});
        const bool sameLogin = old.url.trimmed() == server && m_previousLogin.server == server &&
                               m_previousLogin.account == m_login.account;
        WriteProfileServer(settingsDir, server, sameLogin ? folderId : QStringLiteral("0"), old.contentID);
    }
    return saved;
}

bool LoginSession::LoadCachedFolderList()
{
    Q_EMIT statusChanged(text(QStringLiteral("msg_analyzingFolder")), false);
    pugi::xml_document reply;
    if (!Xml::parseFile(reply, cachedReplyPath()))
        return false;
    applyOverwriteRule(reply);
    rebuildTree(reply, rememberedFolderId());
    m_loggedIn = true;
    const bool oldServer = m_access.settings.serverSysVer.isEmpty();
    Q_EMIT statusChanged(oldServer ? text(QStringLiteral("msg_oldSysTip")) : QString(), oldServer);
    Q_EMIT oldServerChanged(oldServer);
    return true;
}

void LoginSession::LoginEdited()
{
    m_access.hashPassword = true;
    m_loggedIn = false;
    Q_EMIT statusChanged(text(QStringLiteral("msg_refreshFirst")), true);
    Q_EMIT overwriteModeChanged(false, {});
}
