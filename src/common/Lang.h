#pragma once

#include <QString>
#include <pugixml.hpp>

// The language file's name for a language choice: a locale name such as
// "zh_TW", "zh-Hant-HK" or "en_US". Traditional Chinese has its own file;
// everything else reads the English "res.xml".
QString LanguageFileName(const QString &choice);

// Captions and messages by window and key, from a language file ("res.xml"
// beside the program). The file is parsed when loaded, and kept.
class LanguageTable final
{
public:
    LanguageTable() = default;
    explicit LanguageTable(const QString &path) { load(path); }
    void load(const QString &path);
    // The text of the first key in the first section of that name, with
    // "\n" turned into CR LF; `defaultText` when anything is missing.
    QString text(const QString &section, const QString &key, const QString &defaultText = {}) const;

private:
    pugi::xml_document m_doc;
};
