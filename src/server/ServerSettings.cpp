#include "server/ServerSettings.h"

#include "common/XmlUtil.h"

#include <QStringList>
#include <cmath>

namespace {

// The number in the leading digits of a text, as a string-to-number
// conversion of the time read it: "854px" is 854, "abc" is 0.
int leadingNumber(QStringView text)
{
    text = text.trimmed();
    qsizetype end = 0;
    while (end < text.size() && text[end].isDigit() && end < 9)
        ++end;
    return text.left(end).toInt();
}

} // namespace

void ReadServerSettings(const pugi::xml_document &reply, ServerSettings &settings)
{
    settings.serverSysVer.clear();
    settings.noCvtForMp4 = false;
    settings.customBps = false;
    settings.adId = -99;
    settings.resolutionList.clear();
    const pugi::xml_node sysinfo = reply.document_element().child("sysinfo");
    if (!sysinfo)
        return;
    const auto text = [&](const char *path) {
        return Xml::toQ(sysinfo.first_element_by_path(path).child_value()).trimmed();
    };
    settings.serverSysVer = text("ver");
    settings.noCvtForMp4 = text("cvtSetting/noCvtForMp4") == u"1";
    settings.customBps = text("cvtSetting/customBps") == u"1";
    bool numeric = false;
    const int adId = text("adID").toInt(&numeric);
    if (numeric)
        settings.adId = adId;
    settings.resolutionList = text("resolution");
}

void ParseResolutionList(ServerSettings &settings)
{
    QList<int> kept;
    for (const QString &part : settings.resolutionList.split(u',')) {
        const int width = leadingNumber(part);
        if (width != 0 && width <= 1920)
            kept.append(width);
        if (kept.size() == 3)
            break;
    }
    if (kept.size() != 3)
        return;
    const int from = kept[0] == 1920 ? 1 : 0;
    settings.secondRes = kept[from];
    settings.thirdRes = kept[from + 1];
}

int SupportedQvpVersion(const pugi::xml_document &reply)
{
    bool numeric = false;
    const double value =
        Xml::toQ(reply.document_element().attribute("qvpver").value()).trimmed().toDouble(&numeric);
    if (!numeric || !std::isfinite(value) || std::abs(value) > 1e9)
        return 5;
    return static_cast<int>(std::trunc(value));
}
