#pragma once

#include "server/IdMap.h"

#include <QString>
#include <memory>
#include <pugixml.hpp>
#include <vector>

namespace Messages {
class Channel;
}

// One folder of the server. The links are plain pointers into the tree that
// owns every node; they are valid until the tree is cleared or trimmed.
struct CFolderNode
{
    int PID = 0;
    int ID = 0;
    QString Name;
    bool Uploadable = false;
    CFolderNode *Parent = nullptr;
    CFolderNode *FirstChild = nullptr;
    CFolderNode *PrevSibling = nullptr;
    CFolderNode *NextSibling = nullptr;
    // The end of the child list, so that adding never walks the siblings.
    CFolderNode *LastChild = nullptr;
};

// The server's folder tree built from a folder-listing reply, with the
// destination the user picked. The root stands for the server itself.
class CFolderTree final
{
public:
    CFolderTree();
    Q_DISABLE_COPY_MOVE(CFolderTree)

    void Clear();
    // Stores the node and links it under `parent`; false (storing nothing)
    // when its PID is not the parent's ID or its ID is taken.
    bool Add(CFolderNode node, CFolderNode *parent);
    void TrimLeafNodes();
    CFolderNode *GetNextNode(const CFolderNode *node) const;
    CFolderNode *FindNode(int id) const;
    // Clears and fills the tree from a reply in either folder form; false
    // (after "Folder structure error!" on `messages`) when some parent is
    // never listed.
    bool BuildFolderTree(const pugi::xml_document &reply, Messages::Channel &messages);
    // Selects the folder when it is uploadable; otherwise the selection stays.
    void SelectFolderById(int id);
    // The folder's names from below the server down to it, joined by `separator`.
    QString PathOf(const CFolderNode *node, const QString &separator) const;

    CFolderNode *Root = nullptr;
    CFolderNode *Selected = nullptr;
    // Every node in insertion order; the root first.
    const std::vector<CFolderNode *> &Nodes() const { return m_nodes; }

    // The special folder named by the server's "adID" setting: the default
    // destination skips it when another uploadable folder exists.
    int adId = -99;

private:
    bool buildNested(const pugi::xml_node &list);
    void buildFlat(const pugi::xml_node &root);

    CFolderNode *store(CFolderNode &&node);

    // Nodes live in blocks that go all at once on Clear: a listing of a
    // hundred thousand folders would otherwise cost as many allocations.
    static constexpr size_t kBlockNodes = 1024;
    std::vector<std::unique_ptr<CFolderNode[]>> m_blocks;
    size_t m_blockUsed = kBlockNodes;
    std::vector<CFolderNode *> m_nodes;
    IdMap<CFolderNode *> m_byId; // FindNode without a scan
};
