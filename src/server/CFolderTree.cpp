#include "server/CFolderTree.h"

#include "common/XmlUtil.h"
#include "platform/Messages.h"

#include <QStringList>
#include <functional>
#include <queue>

namespace {

struct ListedFolder
{
    int pid = 0;
    int id = 0;
    bool placeable = true; // id and pid are numbers
    QString name;
    bool uploadable = false;
};

int numberOf(const pugi::xml_node &element, const char *name, bool &ok)
{
    bool numeric = false;
    const int value = QString::fromUtf8(element.child_value(name)).trimmed().toInt(&numeric);
    ok = ok && numeric;
    return value;
}

// Smallest position first: a pass visits the folders in document order.
using PassQueue = std::priority_queue<qsizetype, std::vector<qsizetype>, std::greater<>>;

} // namespace

CFolderTree::CFolderTree()
{
    Clear();
}

void CFolderTree::Clear()
{
    // Parent and child point at each other: break every link before the nodes go.
    for (const auto &node : m_nodes)
        node->FirstChild = node->PrevSibling = node->NextSibling = node->Parent = nullptr;
    m_nodes.clear();
    m_byId.clear();
    m_lastChild.clear();
    Root = nullptr;
    Selected = nullptr;
    auto root = std::make_unique<CFolderNode>();
    root->PID = -1;
    Root = root.get();
    m_byId.insert(Root->ID, Root);
    m_nodes.push_back(std::move(root));
}

bool CFolderTree::Add(std::unique_ptr<CFolderNode> node, CFolderNode *parent)
{
    if (!node || !parent || node->PID != parent->ID || FindNode(node->ID))
        return false;
    CFolderNode *last = m_lastChild.value(parent);
    node->PrevSibling = last;
    if (last)
        last->NextSibling = node.get();
    else
        parent->FirstChild = node.get();
    node->Parent = parent;
    m_lastChild.insert(parent, node.get());
    if (node->Uploadable && (!Selected || Selected->ID == adId))
        Selected = node.get();
    m_byId.insert(node->ID, node.get());
    m_nodes.push_back(std::move(node));
    return true;
}

void CFolderTree::TrimLeafNodes()
{
    // Children stand after their parents, so going backwards a parent whose
    // children all went is itself a leaf by the time it is reached.
    for (size_t i = m_nodes.size(); i-- > 1;) {
        CFolderNode *node = m_nodes[i].get();
        if (node->Uploadable || node->FirstChild)
            continue;
        CFolderNode *parent = node->Parent;
        if (node->PrevSibling)
            node->PrevSibling->NextSibling = node->NextSibling;
        if (node->NextSibling)
            node->NextSibling->PrevSibling = node->PrevSibling;
        if (parent->FirstChild == node)
            parent->FirstChild = node->NextSibling;
        if (m_lastChild.value(parent) == node) {
            if (node->PrevSibling)
                m_lastChild.insert(parent, node->PrevSibling);
            else
                m_lastChild.remove(parent);
        }
        m_lastChild.remove(node);
        m_byId.remove(node->ID);
        m_nodes[i].reset();
    }
    std::erase_if(m_nodes, [](const auto &node) { return !node; });
}

CFolderNode *CFolderTree::GetNextNode(const CFolderNode *node) const
{
    if (!node)
        return nullptr;
    if (node->FirstChild)
        return node->FirstChild;
    for (const CFolderNode *n = node; n; n = n->Parent) {
        if (n->NextSibling)
            return n->NextSibling;
    }
    return nullptr;
}

CFolderNode *CFolderTree::FindNode(int id) const
{
    return m_byId.value(id);
}

bool CFolderTree::BuildFolderTree(const pugi::xml_document &reply)
{
    Clear();
    const pugi::xml_node root = reply.document_element();
    if (const pugi::xml_node list = root.child("folder")) {
        if (!buildNested(list)) {
            Messages::show(QStringLiteral("Folder structure error!"));
            return false;
        }
    } else {
        buildFlat(root);
    }
    TrimLeafNodes();
    return true;
}

// The listing is taken in passes over the folders in document order; a folder
// whose parent is not yet in the tree waits for a later pass, so a child may
// be listed before its parent. Instead of rescanning, each folder waits on its
// parent's id and is released into the current pass (when it comes after the
// parent) or the next one (when it came before): the same order of insertion
// as repeated scans, in n log n.
bool CFolderTree::buildNested(const pugi::xml_node &list)
{
    std::vector<ListedFolder> folders;
    for (const pugi::xml_node item : list.children()) {
        if (item.type() != pugi::node_element)
            continue;
        ListedFolder f;
        f.pid = numberOf(item, "pid", f.placeable);
        f.id = numberOf(item, "id", f.placeable);
        f.name = QString::fromUtf8(item.child_value("name"));
        f.uploadable = QString::fromUtf8(item.child_value("uploadable")) == u"1";
        folders.push_back(std::move(f));
    }

    QHash<int, std::vector<qsizetype>> waiting; // parent id -> folders, in document order
    PassQueue current;
    for (qsizetype i = 0; i < qsizetype(folders.size()); ++i) {
        if (!folders[i].placeable)
            continue; // never placed: reported as a structure error below
        if (FindNode(folders[i].pid))
            current.push(i);
        else
            waiting[folders[i].pid].push_back(i);
    }
    qsizetype left = qsizetype(folders.size());
    while (left > 0) {
        if (current.empty())
            return false; // a pass would place nothing
        PassQueue next;
        while (!current.empty()) {
            const qsizetype i = current.top();
            current.pop();
            ListedFolder &f = folders[i];
            auto node = std::make_unique<CFolderNode>();
            node->PID = f.pid;
            node->ID = f.id;
            node->Name = std::move(f.name);
            node->Uploadable = f.uploadable;
            --left;
            // A repeated id is taken off the list without being added.
            if (!Add(std::move(node), FindNode(f.pid)))
                continue;
            const auto released = waiting.find(f.id);
            if (released == waiting.end())
                continue;
            for (const qsizetype child : *released)
                (child > i ? current : next).push(child);
            waiting.erase(released);
        }
        current = std::move(next);
    }
    return true;
}

void CFolderTree::buildFlat(const pugi::xml_node &root)
{
    for (const pugi::xml_node item : root.children("item")) {
        auto node = std::make_unique<CFolderNode>();
        node->PID = 0;
        node->ID = QString::fromUtf8(item.child_value("id")).trimmed().toInt();
        node->Name = QString::fromUtf8(item.child_value("name"));
        node->Uploadable = true;
        Add(std::move(node), Root);
    }
}

void CFolderTree::SelectFolderById(int id)
{
    CFolderNode *node = FindNode(id);
    if (node && node->Uploadable)
        Selected = node;
}

QString CFolderTree::PathOf(const CFolderNode *node, const QString &separator) const
{
    QStringList names;
    for (const CFolderNode *n = node; n && n != Root; n = n->Parent)
        names.prepend(n->Name);
    return names.join(separator);
}
