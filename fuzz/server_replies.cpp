// The version request's and the registration's replies, read the way the
// upload reads them: the XML entry point and the values by their paths.
#include "FuzzInput.h"
#include "common/XmlUtil.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    pugi::xml_document doc;
    if (!Xml::parseText(doc, fuzzBytes(data, size)))
        return 0;
    for (const char *path : {"errInfo", "videotype", "videosrc", "slidesize", "quota/total", "quota/free",
                             "quota/maxsize", "overwrite", "contentID", "sysinfo/enc", "list/item/ver"}) {
        bool numeric = false;
        Xml::GetTextByPath(doc, QString::fromLatin1(path)).trimmed().toLongLong(&numeric);
    }
    for (pugi::xml_node item : doc.document_element().child("list").children("item"))
        Xml::GetChildText(item, QStringLiteral("path"));
    return 0;
}
