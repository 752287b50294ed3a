#pragma once

#include <QString>
#include <functional>
#include <optional>
#include <pugixml.hpp>

// Per-user settings under application "Corvana5", section "clipFerry", in an
// INI file readable by the user only. Login values are stored "&H"-encoded
// (UTF-16LE bytes as hexadecimal) so they cannot be read at a glance; the
// options are stored plainly.
namespace Settings {
inline const QString kSection = QStringLiteral("clipFerry");
}

QString EncodeSetting(const QString &value);
// Decodes "&H..." text; plain text of more than two characters comes back as
// it is; anything shorter (or undecodable) gives `defaultText`.
QString DecodeSetting(const QString &stored, const QString &defaultText);

QString ReadSetting(const QString &section, const QString &key, const QString &defaultText);
void WriteSetting(const QString &section, const QString &key, const QString &value);
QString ReadPlainSetting(const QString &key, const QString &defaultText);
void WritePlainSetting(const QString &key, const QString &value);

// The stored high-speed choice "chkHighSpeed" (default on): its leading
// integer is 1.
bool HighSpeedSetting();

struct ServerDefaults
{
    QString serverIP;
    QString account;
    QString password;
    QString folderID;
    QString folderName;
    std::optional<int> secondRes; // only when stored with a non-zero number
    std::optional<int> thirdRes;
    bool ok = false; // account and password both stored
};
ServerDefaults LoadServerDefaults();

// The default recording project "default.qvp" beside the program: parsed on
// first use and kept; only its root's "ver" is used.
class DefaultProject final
{
public:
    bool LoadDefaultProject();
    QString DefaultProjectVersion();

private:
    std::optional<bool> m_loaded;
    pugi::xml_document m_doc;
};

// The `server` record of an upload profile "tarn_profile.xml".
struct ProfileServer
{
    QString url;
    QString folderID;
    QString contentID;
    bool ok = false;
};
// For a ".zdm" source the record comes from its loaded project (`fromProject`);
// otherwise from the profile in the work folder. An empty contentID is "0".
ProfileServer ReadProfileServer(const QString &workFolder, const QString &currentPath,
                                const std::function<ProfileServer()> &fromProject);
bool WriteProfileServer(const QString &workFolder, const QString &url, const QString &folderID,
                        const QString &contentID);
