#include "common/Lang.h"

#include "common/XmlUtil.h"

#include <QLocale>

QString LanguageFileName(const QString &choice)
{
    // QLocale knows which territories write Traditional Chinese, and skips a codeset.
    const bool traditional = QLocale(choice.trimmed()).script() == QLocale::TraditionalHanScript;
    return traditional ? QStringLiteral("res_zh_TW.xml") : QStringLiteral("res.xml");
}

void LanguageTable::load(const QString &path)
{
    // A failed parse leaves an empty document: every lookup then gives its default.
    Xml::parseFile(m_doc, path);
}

QString LanguageTable::text(const QString &section, const QString &key, const QString &defaultText) const
{
    const QByteArray sectionName = section.toUtf8();
    const QByteArray keyName = key.toUtf8();
    const pugi::xml_node root = m_doc.document_element();
    const pugi::xml_node sec = root.find_child_by_attribute("name", sectionName.constData());
    if (!sec)
        return defaultText;
    const pugi::xml_node str = sec.find_child_by_attribute("name", keyName.constData());
    if (!str)
        return defaultText;
    return QString::fromUtf8(str.text().get()).replace(QStringLiteral("\\n"), QStringLiteral("\r\n"));
}
