#include "update/CVerList.h"

#include "common/Lang.h"
#include "common/Settings.h"
#include "common/XmlUtil.h"
#include "update/UpdateTrust.h"

#include <QFileInfo>
#include <QLocale>

namespace {

float versionNumber(const QString &text)
{
    return QLocale::c().toFloat(text.trimmed());
}

} // namespace

bool CVerList::Add(const QString &ver, const QString &folderUrl, bool fullPatch, const QString &log,
                   const QString &sha256)
{
    const QString key = ver.trimmed();
    for (const CVerItem &item : m_items) {
        if (item.ver == key)
            return false;
    }
    m_items.append(CVerItem{key, folderUrl, fullPatch, log, sha256});
    return true;
}

void CVerList::clear()
{
    m_items.clear();
    updaterSha256.clear();
}

QString ProgramVersion(const LanguageTable &language)
{
    return language.text(QStringLiteral("frmUpload"), QStringLiteral("frmVersion"),
                         QStringLiteral("2.100603"));
}

bool ParseVerList(const pugi::xml_document &doc, const QString &ownVersion, CVerList &list,
                  QStringList *problems)
{
    QString error;
    if (!UpdateTrust::verifyList(doc, &error)) {
        if (problems)
            problems->append(error);
        return false;
    }
    const pugi::xml_node root = doc.document_element();
    list.updaterSha256 = Xml::GetChildText(root.child("updater"), QStringLiteral("sha256"));
    const float own = versionNumber(ownVersion);
    for (pugi::xml_node item : root.child("list").children("item")) {
        const QString ver = Xml::GetChildText(item, QStringLiteral("ver"));
        if (!(own < versionNumber(ver)))
            continue;
        const QString sha256 = Xml::GetChildText(item, QStringLiteral("sha256"));
        if (!UpdateTrust::isSha256Text(sha256)) {
            if (problems)
                problems->append(
                    QStringLiteral("Version %1 names no SHA-256 of its patch and is not offered.")
                        .arg(ver.trimmed()));
            continue;
        }
        const QString full = Xml::GetChildText(item, QStringLiteral("fullPatch")).trimmed();
        list.Add(ver, Xml::GetChildText(item, QStringLiteral("path")),
                 full.compare(u"true", Qt::CaseInsensitive) == 0 || full == u"1",
                 Xml::GetChildText(item, QStringLiteral("log")), sha256);
    }
    return true;
}

bool NewVersionNotice(const QString &ownVersion, StoredVerList &stored, const QDate &today)
{
    stored.list.clear();
    const QString path = ReadPlainSetting(QStringLiteral("verListPath"), QString());
    if (path.isEmpty() || !QFileInfo::exists(path) || !Xml::parseFile(stored.doc, path) ||
        !ParseVerList(stored.doc, ownVersion, stored.list) || stored.list.count() < 1)
        return false;

    const QString newVer = ReadPlainSetting(QStringLiteral("newVer"), QString());
    const QString notified = ReadPlainSetting(QStringLiteral("newVerNotifyDate"), QString());
    const QString newest = stored.list.item(1).ver;
    const QDate notifiedDate = QDate::fromString(notified, Qt::ISODate);
    const bool notify = newVer.isEmpty() || notified.isEmpty() ||
                        versionNumber(newVer) < versionNumber(newest) || !notifiedDate.isValid() ||
                        notifiedDate.daysTo(today) >= 1;
    WritePlainSetting(QStringLiteral("newVer"), newest);
    if (notify)
        WritePlainSetting(QStringLiteral("newVerNotifyDate"), today.toString(Qt::ISODate));
    return notify;
}
