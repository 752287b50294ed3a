#include "ServerSettings.h"

namespace ServerSettings {

const std::map<std::string, std::string> &defaults()
{
    static const std::map<std::string, std::string> values = {
        {"sysver", "1.0"},    // sysinfo/ver
        {"enc", "1"},         // accept the double-MD5 password form
        {"noCvtForMp4", "1"}, // sysinfo/cvtSetting/noCvtForMp4
        {"customBps", "1"},   // sysinfo/cvtSetting/customBps
        {"adID", ""},         // sysinfo/adID, a folder id
        {"resolution", "1280,854,640"},
        {"urloverwrite", "1"},    // offer overwrite by document URL
        {"url", ""},              // sysinfo/url, default document URL
        {"qvpver", "8"},          // highest recording project version accepted
        {"folderform", "nested"}, // "nested" or "flat" folder list
        {"videotype", "mp4"},     // "mp4" or "flv"
        {"videosrc", "0"},        // "1": the source goes along
        {"slidesize", "800x600"},
        {"publicurl", ""},   // e.g. https://media.example.org, for document URLs
        {"quota", "10240"},  // MB given to new accounts
        {"maxsize", "2048"}, // MB, largest archive of new accounts
    };
    return values;
}

std::string value(Database &db, const std::string &key)
{
    const auto stored = db.settings();
    if (const auto it = stored.find(key); it != stored.end())
        return it->second;
    const auto it = defaults().find(key);
    return it == defaults().end() ? std::string() : it->second;
}

bool isKnown(const std::string &key)
{
    return defaults().count(key) > 0;
}

} // namespace ServerSettings
