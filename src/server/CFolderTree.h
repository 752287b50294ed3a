#pragma once

#include <QHash>
#include <QString>
#include <memory>
#include <pugixml.hpp>
#include <vector>

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
    // Takes ownership of the node when it is linked under `parent`.
    bool Add(std::unique_ptr<CFolderNode> node, CFolderNode *parent);
    void TrimLeafNodes();
    CFolderNode *GetNextNode(const CFolderNode *node) const;
    CFolderNode *FindNode(int id) const;
    // Clears and fills the tree from a reply in either folder form; false
    // (after "Folder structure error!") when some parent is never listed.
    bool BuildFolderTree(const pugi::xml_document &reply);
    // Selects the folder when it is uploadable; otherwise the selection stays.
    void SelectFolderById(int id);
    // The folder's names from below the server down to it, joined by `separator`.
    QString PathOf(const CFolderNode *node, const QString &separator) const;

    CFolderNode *Root = nullptr;
    CFolderNode *Selected = nullptr;
    // Every node in insertion order; the root first.
    const std::vector<std::unique_ptr<CFolderNode>> &Nodes() const { return m_nodes; }

    // The special folder named by the server's "adID" setting: the default
    // destination skips it when another uploadable folder exists.
    int adId = -99;

private:
    bool buildNested(const pugi::xml_node &list);
    void buildFlat(const pugi::xml_node &root);

    std::vector<std::unique_ptr<CFolderNode>> m_nodes;
    QHash<int, CFolderNode *> m_byId; // FindNode without a scan
};
