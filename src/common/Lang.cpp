#include "common/Lang.h"

#include "common/XmlUtil.h"

QString LanguageFileName(const QString &choice)
{
    const QString name = choice.trimmed().replace(u'-', u'_');
    const bool chinese = name.startsWith(QLatin1String("zh"), Qt::CaseInsensitive);
    const bool traditional = chinese && (name.contains(QLatin1String("Hant"), Qt::CaseInsensitive) ||
                                         name.endsWith(QLatin1String("_TW"), Qt::CaseInsensitive) ||
                                         name.endsWith(QLatin1String("_HK"), Qt::CaseInsensitive) ||
                                         name.endsWith(QLatin1String("_MO"), Qt::CaseInsensitive));
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
