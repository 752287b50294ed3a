#pragma once

#include <QByteArray>
#include <QString>
#include <pugixml.hpp>

// Every XML document ClipFerry reads goes through parseText or parseFile:
// documents from outside are size-capped and a DOCTYPE is refused, so no
// entity tricks reach the rest of the program. pugixml keeps attribute order,
// which the recorder's project files depend on.
namespace Xml {

// Server replies, project files and queues stay far below this.
inline constexpr qint64 kMaxDocumentBytes = 64 * 1024 * 1024;

struct ParseResult
{
    bool ok = false;
    QString error; // empty when ok
    explicit operator bool() const { return ok; }
};

// `encoding` overrides the one the text declares, for text converted beforehand.
ParseResult parseText(pugi::xml_document &doc, const QByteArray &text,
                      unsigned options = pugi::parse_default | pugi::parse_declaration,
                      pugi::xml_encoding encoding = pugi::encoding_auto);
ParseResult parseFile(pugi::xml_document &doc, const QString &path,
                      unsigned options = pugi::parse_default | pugi::parse_declaration,
                      qint64 maxBytes = kMaxDocumentBytes);

// Conversions between pugixml's UTF-8 and QString.
inline QString toQ(const char *text)
{
    return QString::fromUtf8(text);
}
inline QByteArray toU8(const QString &text)
{
    return text.toUtf8();
}

// The document or node as text; raw means no indentation and no line breaks.
QByteArray serialize(const pugi::xml_node &node, unsigned flags = pugi::format_raw);

// Writes the bytes to `path` through a temporary file that replaces the old
// one only when complete. Returns false (and leaves the old file) on failure.
bool writeFileAtomic(const QString &path, const QByteArray &bytes, bool userOnly = false);

// Creates `name`; gives it the empty attribute `attributeName` when that is not
// empty and the text when that is not empty; appends it to `parent`.
pugi::xml_node AppendElement(pugi::xml_node parent, const QString &name, const QString &text,
                             const QString &attributeName = {});
// Walks dot-separated names from the document element ("quota.free").
pugi::xml_node SelectByPath(const pugi::xml_document &doc, const QString &path);
QString GetTextByPath(const pugi::xml_document &doc, const QString &path, const QString &defaultText = {});
QString GetChildText(const pugi::xml_node &element, const QString &name);
bool SetChildText(pugi::xml_node element, const QString &name, const QString &value);
// Serialises with a line break between every two tags (empty elements split
// over two lines too), reloads the document from that text and saves it.
bool SaveXmlPretty(pugi::xml_document &doc, const QString &path);

} // namespace Xml
