#include "common/Settings.h"

#include "common/FileUtil.h"
#include "common/XmlUtil.h"
#include "platform/AppPaths.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSettings>

namespace {

const QString kProfileName = QStringLiteral("tarn_profile.xml");

QString readStored(const QString &section, const QString &key, const QString &defaultText)
{
    QSettings store(AppPaths::settingsFile(), QSettings::IniFormat);
    return store.value(section + u'/' + key, defaultText).toString();
}

void writeStored(const QString &section, const QString &key, const QString &value)
{
    const QString file = AppPaths::settingsFile();
    {
        QSettings store(file, QSettings::IniFormat);
        store.setValue(section + u'/' + key, value);
        store.sync();
    }
    // The store holds the last login: keep it to its owner.
    QFile::setPermissions(file, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
}

bool isHexDigit(QChar c)
{
    return (c >= u'0' && c <= u'9') || (c >= u'A' && c <= u'F') || (c >= u'a' && c <= u'f');
}

} // namespace

QString EncodeSetting(const QString &value)
{
    if (value.isEmpty())
        return {};
    QString out = QStringLiteral("&H");
    out.reserve(2 + value.size() * 4);
    for (const QChar c : value) {
        const ushort unit = c.unicode();
        out += QStringLiteral("%1%2")
                   .arg(unit & 0xFF, 2, 16, QLatin1Char('0'))
                   .arg(unit >> 8, 2, 16, QLatin1Char('0'))
                   .toUpper();
    }
    return out;
}

QString DecodeSetting(const QString &stored, const QString &defaultText)
{
    if (stored.size() <= 2)
        return defaultText;
    if (!stored.startsWith(QLatin1String("&H")))
        return stored;
    // Only this program writes the store; a damaged value reads as missing.
    const QStringView hex = QStringView(stored).mid(2);
    if (hex.size() % 4 != 0 || !std::all_of(hex.begin(), hex.end(), isHexDigit))
        return defaultText;
    QString out;
    out.reserve(hex.size() / 4);
    for (qsizetype i = 0; i < hex.size(); i += 4) {
        const ushort low = hex.mid(i, 2).toUShort(nullptr, 16);
        const ushort high = hex.mid(i + 2, 2).toUShort(nullptr, 16);
        out += QChar(static_cast<ushort>(low | (high << 8)));
    }
    return out;
}

QString ReadSetting(const QString &section, const QString &key, const QString &defaultText)
{
    return DecodeSetting(readStored(section, key, defaultText), defaultText);
}

void WriteSetting(const QString &section, const QString &key, const QString &value)
{
    writeStored(section, key, EncodeSetting(value));
}

QString ReadPlainSetting(const QString &key, const QString &defaultText)
{
    return readStored(Settings::kSection, key, defaultText);
}

void WritePlainSetting(const QString &key, const QString &value)
{
    writeStored(Settings::kSection, key, value);
}

bool HighSpeedSetting()
{
    static const QRegularExpression leading(QStringLiteral("^\\s*[+-]?\\d+"));
    const QRegularExpressionMatch match =
        leading.match(ReadPlainSetting(QStringLiteral("chkHighSpeed"), QStringLiteral("1")));
    return match.hasMatch() && match.captured().trimmed().toInt() == 1;
}

ServerDefaults LoadServerDefaults()
{
    const QString &s = Settings::kSection;
    ServerDefaults d;
    d.serverIP = ReadSetting(s, QStringLiteral("serverIP"), QStringLiteral("127.0.0.1")).trimmed();
    d.account = ReadSetting(s, QStringLiteral("account"), {});
    d.password = ReadSetting(s, QStringLiteral("password"), {});
    d.folderID = ReadSetting(s, QStringLiteral("folderID"), QStringLiteral("1"));
    d.folderName = ReadSetting(s, QStringLiteral("folderName"), QStringLiteral("test"));
    const auto resolution = [&](const QString &key) -> std::optional<int> {
        bool numeric = false;
        const int value = ReadSetting(s, key, {}).trimmed().toInt(&numeric);
        if (numeric && value != 0)
            return value;
        return std::nullopt;
    };
    d.secondRes = resolution(QStringLiteral("secondRes"));
    d.thirdRes = resolution(QStringLiteral("thirdRes"));
    d.ok = !d.account.isEmpty() && !d.password.isEmpty();
    return d;
}

bool DefaultProject::LoadDefaultProject()
{
    if (!m_loaded)
        m_loaded = bool(Xml::parseFile(m_doc, AppPaths::resourcePath(QStringLiteral("default.qvp"))));
    return *m_loaded;
}

QString DefaultProject::DefaultProjectVersion()
{
    LoadDefaultProject();
    return Xml::toQ(m_doc.document_element().attribute("ver").value());
}

ProfileServer ReadProfileServer(const QString &workFolder, const QString &currentPath,
                                const std::function<ProfileServer()> &fromProject)
{
    ProfileServer server;
    if (QFileInfo(currentPath).suffix() == QLatin1String("zdm")) {
        server = fromProject();
        server.url = server.url.trimmed();
    } else {
        const QString profile = QDir(workFolder).filePath(kProfileName);
        if (FileSizeBytes(profile) < 10) {
            DeleteFileIfExists(profile);
            return ProfileServer{{}, {}, QStringLiteral("0"), false};
        }
        pugi::xml_document doc;
        if (!Xml::parseFile(doc, profile))
            return ProfileServer{{}, {}, QStringLiteral("0"), false};
        const pugi::xml_node record = doc.document_element().child("server");
        server.url = Xml::GetChildText(record, QStringLiteral("url")).trimmed();
        server.folderID = Xml::GetChildText(record, QStringLiteral("folderID"));
        server.contentID = Xml::GetChildText(record, QStringLiteral("contentID"));
    }
    if (server.contentID.isEmpty())
        server.contentID = QStringLiteral("0");
    server.ok = true;
    return server;
}

bool WriteProfileServer(const QString &workFolder, const QString &url, const QString &folderID,
                        const QString &contentID)
{
    const QString profile = QDir(workFolder).filePath(kProfileName);
    pugi::xml_document doc;
    if (!Xml::parseFile(doc, profile))
        return false;
    pugi::xml_node record = doc.document_element().child("server");
    Xml::SetChildText(record, QStringLiteral("url"), url);
    Xml::SetChildText(record, QStringLiteral("folderID"), folderID);
    Xml::SetChildText(record, QStringLiteral("contentID"), contentID);
    return Xml::SaveXmlPretty(doc, profile);
}
