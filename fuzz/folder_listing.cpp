// The folder listing reply: the XML entry point, the server settings it
// carries and the folder tree built from it (nested and flat forms).
#include "FuzzInput.h"
#include "common/XmlUtil.h"
#include "platform/Messages.h"
#include "server/CFolderTree.h"
#include "server/ServerSettings.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    pugi::xml_document doc;
    if (!Xml::parseText(doc, fuzzBytes(data, size)))
        return 0;
    ServerSettings settings;
    ReadServerSettings(doc, settings);
    ParseResolutionList(settings);
    SupportedQvpVersion(doc);
    Messages::Channel messages;
    messages.record();
    CFolderTree tree;
    if (tree.BuildFolderTree(doc, messages)) {
        tree.TrimLeafNodes();
        for (const CFolderNode *n = tree.GetNextNode(tree.Root); n; n = tree.GetNextNode(n))
            tree.SelectFolderById(n->ID);
    }
    return 0;
}
