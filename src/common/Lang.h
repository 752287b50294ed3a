#pragma once

#include <QString>
#include <pugixml.hpp>

// Captions and messages by window and key, from the language file "res.xml"
// beside the program. The file is parsed once, on first use, and kept.
class LanguageTable final
{
public:
    LanguageTable() = default;
    explicit LanguageTable(const QString &path) { load(path); }
    void load(const QString &path);
    // The text of the first key in the first section of that name, with
    // "\n" turned into CR LF; `defaultText` when anything is missing.
    QString text(const QString &section, const QString &key, const QString &defaultText) const;

private:
    pugi::xml_document m_doc;
};

QString Lang(const QString &section, const QString &key, const QString &defaultText = {});
// Points the program-wide table at another language file (tests, and a
// language chosen by the user); it is parsed at the next lookup.
void setLanguageFile(const QString &path);
