#include "common/XmlUtil.h"

#include "common/TextUtil.h"

#include <QFile>
#include <QSaveFile>

namespace Xml {

namespace {

struct ByteWriter final : pugi::xml_writer
{
    QByteArray bytes;
    void write(const void *data, size_t size) override
    {
        bytes.append(static_cast<const char *>(data), static_cast<qsizetype>(size));
    }
};

bool hasDoctype(const pugi::xml_document &doc)
{
    for (const pugi::xml_node &child : doc.children()) {
        if (child.type() == pugi::node_doctype)
            return true;
    }
    return false;
}

} // namespace

ParseResult parseText(pugi::xml_document &doc, const QByteArray &text, unsigned options,
                      pugi::xml_encoding encoding)
{
    doc.reset();
    if (text.size() > kMaxDocumentBytes)
        return {false, QStringLiteral("The XML document is too large.")};
    // Parse the DOCTYPE as a node so that it can be found and refused.
    const pugi::xml_parse_result result = doc.load_buffer(text.constData(), static_cast<size_t>(text.size()),
                                                          options | pugi::parse_doctype, encoding);
    if (!result) {
        const QString error =
            QStringLiteral("%1 at offset %2").arg(QString::fromUtf8(result.description())).arg(result.offset);
        doc.reset();
        return {false, error};
    }
    if (hasDoctype(doc)) {
        doc.reset();
        return {false, QStringLiteral("XML documents with a DOCTYPE are not accepted.")};
    }
    if (!doc.document_element()) {
        doc.reset();
        return {false, QStringLiteral("The XML document has no root element.")};
    }
    return {true, {}};
}

ParseResult parseFile(pugi::xml_document &doc, const QString &path, unsigned options, qint64 maxBytes)
{
    doc.reset();
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {false, QStringLiteral("Cannot open %1: %2").arg(path, file.errorString())};
    if (file.size() > maxBytes)
        return {false, QStringLiteral("%1 is too large to be an XML document of ClipFerry.").arg(path)};
    return parseText(doc, file.readAll(), options);
}

QByteArray serialize(const pugi::xml_node &node, unsigned flags)
{
    ByteWriter writer;
    node.print(writer, "", flags, pugi::encoding_utf8);
    return writer.bytes;
}

bool writeFileAtomic(const QString &path, const QByteArray &bytes, bool userOnly)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    if (userOnly)
        file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    if (file.write(bytes) != bytes.size()) {
        file.cancelWriting();
        return false;
    }
    return file.commit();
}

pugi::xml_node AppendElement(pugi::xml_node parent, const QString &name, const QString &text,
                             const QString &attributeName)
{
    pugi::xml_node element = parent.append_child(toU8(name).constData());
    if (!attributeName.isEmpty())
        element.append_attribute(toU8(attributeName).constData()).set_value("");
    if (!text.isEmpty())
        element.text().set(toU8(text).constData());
    return element;
}

pugi::xml_node SelectByPath(const pugi::xml_document &doc, const QString &path)
{
    pugi::xml_node node = doc.document_element();
    const QStringList steps = path.split(u'.');
    for (const QString &step : steps) {
        if (!node)
            break;
        node = node.child(toU8(step).constData());
    }
    return node;
}

QString GetTextByPath(const pugi::xml_document &doc, const QString &path, const QString &defaultText)
{
    const pugi::xml_node node = SelectByPath(doc, path);
    return node ? toQ(node.text().get()) : defaultText;
}

QString GetChildText(const pugi::xml_node &element, const QString &name)
{
    return toQ(element.child(toU8(name).constData()).text().get());
}

bool SetChildText(pugi::xml_node element, const QString &name, const QString &value)
{
    pugi::xml_node child = element.child(toU8(name).constData());
    if (!child)
        return false;
    return child.text().set(toU8(value).constData());
}

bool SaveXmlPretty(pugi::xml_document &doc, const QString &path)
{
    const QByteArray raw =
        RemoveTabs(QString::fromUtf8(serialize(doc, pugi::format_raw | pugi::format_no_empty_element_tags)))
            .toUtf8();
    QByteArray laidOut;
    laidOut.reserve(raw.size() + raw.size() / 8);
    for (qsizetype i = 0; i < raw.size(); ++i) {
        laidOut.append(raw[i]);
        if (raw[i] == '>' && i + 1 < raw.size() && raw[i + 1] == '<')
            laidOut.append("\r\n");
    }
    if (!parseText(doc, laidOut))
        return false;
    return writeFileAtomic(path, laidOut);
}

} // namespace Xml
