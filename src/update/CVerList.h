#pragma once

#include <QDate>
#include <QList>
#include <QString>
#include <QStringList>
#include <pugixml.hpp>

class LanguageTable;

// One newer version offered by the update server.
struct CVerItem
{
    QString ver;
    // The folder on the update server that holds this version's "patch.zip".
    QString folderUrl;
    // The patch holds the complete program: older patches are not needed.
    bool fullPatch = false;
    QString log;
    // The patch's SHA-256 (lower-case hex), which the updater checks.
    QString sha256;
};

// The newer versions, newest first, as the list names them; a version is
// listed once.
class CVerList final
{
public:
    // False, adding nothing, when `ver` (blanks trimmed) is listed already.
    bool Add(const QString &ver, const QString &folderUrl, bool fullPatch, const QString &log,
             const QString &sha256 = {});
    int count() const { return static_cast<int>(m_items.size()); }
    // 1-based, as the download counts.
    const CVerItem &item(int position) const { return m_items.at(position - 1); }
    const QList<CVerItem> &items() const { return m_items; }
    void clear();

    // The SHA-256 of the updater archives, from the same signed list.
    QString updaterSha256;

private:
    QList<CVerItem> m_items;
};

// The program's own version: the "frmVersion" text of "frmUpload".
QString ProgramVersion(const LanguageTable &language);

// Fills `list` with the versions newer than `ownVersion` (compared as
// single-precision numbers). Nothing is read from a list whose signature is
// not the update server's, and an item without a patch hash is refused; the
// false return or `problems` says why.
bool ParseVerList(const pugi::xml_document &doc, const QString &ownVersion, CVerList &list,
                  QStringList *problems = nullptr);

// The version list stored by the check of an earlier start, with what it offers.
struct StoredVerList
{
    pugi::xml_document doc;
    CVerList list;
};

// Reads the list named by "verListPath" into `stored`; true when it holds at
// least one newer version. Then decides, by "newVer" and "newVerNotifyDate",
// whether the user is told today, and keeps both settings up to date.
bool NewVersionNotice(const QString &ownVersion, StoredVerList &stored, const QDate &today);
