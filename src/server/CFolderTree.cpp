#include "server/CFolderTree.h"

#include "common/XmlUtil.h"
#include "platform/Messages.h"

#include <QStringList>
#include <algorithm>
#include <charconv>
#include <cstring>
#include <functional>
#include <queue>

namespace {

struct ListedFolder
{
    int pid = 0;
    int id = 0;
    bool placeable = false; // id and pid are numbers
    bool uploadable = false;
    const char *name = "";
};

// An element's text as a number, blanks around it allowed; false when it is none.
bool readNumber(const char *text, int &value)
{
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (blank(*text))
        ++text;
    if (*text == '+')
        ++text;
    const char *end = text;
    while (*end && !blank(*end))
        ++end;
    const auto [stop, error] = std::from_chars(text, end, value);
    if (error != std::errc() || stop != end || end == text)
        return false;
    while (blank(*end))
        ++end;
    return *end == '\0';
}

// One walk over an item's children instead of a search per field: the
// listing can hold a hundred thousand folders.
ListedFolder readItem(const pugi::xml_node &item)
{
    ListedFolder f;
    bool hasId = false;
    bool hasPid = false;
    bool seenId = false;
    bool seenPid = false;
    bool seenName = false;
    bool seenUploadable = false;
    for (const pugi::xml_node field : item.children()) {
        const char *name = field.name();
        const auto first = [&](bool &seen) { return !seen && (seen = true); };
        if (std::strcmp(name, "id") == 0 && first(seenId))
            hasId = readNumber(field.child_value(), f.id);
        else if (std::strcmp(name, "pid") == 0 && first(seenPid))
            hasPid = readNumber(field.child_value(), f.pid);
        else if (std::strcmp(name, "name") == 0 && first(seenName))
            f.name = field.child_value();
        else if (std::strcmp(name, "uploadable") == 0 && first(seenUploadable))
            f.uploadable = std::strcmp(field.child_value(), "1") == 0;
    }
    f.placeable = hasId && hasPid;
    return f;
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
    for (CFolderNode *node : m_nodes)
        node->FirstChild = node->PrevSibling = node->NextSibling = node->Parent = node->LastChild = nullptr;
    m_nodes.clear();
    m_blocks.clear();
    m_blockUsed = kBlockNodes;
    m_byId.clear();
    Selected = nullptr;
    CFolderNode root;
    root.PID = -1;
    Root = store(std::move(root));
    m_byId[Root->ID] = Root;
    m_nodes.push_back(Root);
}

CFolderNode *CFolderTree::store(CFolderNode &&node)
{
    if (m_blockUsed == kBlockNodes) {
        m_blocks.push_back(std::make_unique<CFolderNode[]>(kBlockNodes));
        m_blockUsed = 0;
    }
    CFolderNode *slot = &m_blocks.back()[m_blockUsed++];
    *slot = std::move(node);
    return slot;
}

bool CFolderTree::Add(CFolderNode node, CFolderNode *parent)
{
    if (!parent || node.PID != parent->ID)
        return false;
    // One look-up both finds a node with this id and reserves the entry.
    CFolderNode *&entry = m_byId[node.ID];
    if (entry)
        return false;
    node.Parent = parent;
    node.PrevSibling = parent->LastChild;
    node.FirstChild = node.NextSibling = node.LastChild = nullptr;
    CFolderNode *added = store(std::move(node));
    entry = added;
    if (added->PrevSibling)
        added->PrevSibling->NextSibling = added;
    else
        parent->FirstChild = added;
    parent->LastChild = added;
    if (added->Uploadable && (!Selected || Selected->ID == adId))
        Selected = added;
    m_nodes.push_back(added);
    return true;
}

void CFolderTree::TrimLeafNodes()
{
    // Children stand after their parents, so going backwards a parent whose
    // children all went is itself a leaf by the time it is reached.
    for (size_t i = m_nodes.size(); i-- > 1;) {
        CFolderNode *node = m_nodes[i];
        if (node->Uploadable || node->FirstChild)
            continue;
        CFolderNode *parent = node->Parent;
        if (node->PrevSibling)
            node->PrevSibling->NextSibling = node->NextSibling;
        if (node->NextSibling)
            node->NextSibling->PrevSibling = node->PrevSibling;
        if (parent->FirstChild == node)
            parent->FirstChild = node->NextSibling;
        if (parent->LastChild == node)
            parent->LastChild = node->PrevSibling;
        m_byId.remove(node->ID);
        node->Parent = node->PrevSibling = node->NextSibling = nullptr;
        m_nodes[i] = nullptr;
    }
    std::erase(m_nodes, nullptr);
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

bool CFolderTree::BuildFolderTree(const pugi::xml_document &reply, Messages::Channel &messages)
{
    Clear();
    const pugi::xml_node root = reply.document_element();
    if (const pugi::xml_node list = root.child("folder")) {
        if (!buildNested(list)) {
            messages.show(QStringLiteral("Folder structure error!"));
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
    folders.reserve(size_t(std::distance(list.begin(), list.end())));
    for (const pugi::xml_node item : list.children()) {
        if (item.type() != pugi::node_element)
            continue;
        folders.push_back(readItem(item));
    }
    const qsizetype count = qsizetype(folders.size());
    int maxId = 0;
    for (const ListedFolder &f : folders)
        maxId = std::max({maxId, f.id, f.pid});
    m_byId.clear();
    m_byId.reserve(maxId, count + 1, nullptr);
    m_byId[Root->ID] = Root;
    m_nodes.reserve(size_t(count) + 1);
    // The parent each folder waits for is known once it is released.
    std::vector<CFolderNode *> parentOf(size_t(count), Root);

    // Folders waiting for a parent: per parent id a list in document order,
    // linked through `nextWaiting`.
    IdMap<qsizetype> firstWaiting;
    firstWaiting.reserve(maxId, count, -1);
    std::vector<qsizetype> nextWaiting(size_t(count), -1);
    PassQueue current;
    for (qsizetype i = count; i-- > 0;) {
        const ListedFolder &f = folders[size_t(i)];
        if (!f.placeable)
            continue; // never placed: reported as a structure error below
        if (f.pid == Root->ID) {
            current.push(i);
        } else {
            qsizetype &head = firstWaiting[f.pid];
            nextWaiting[size_t(i)] = head;
            head = i;
        }
    }
    qsizetype left = count;
    while (left > 0) {
        if (current.empty())
            return false; // a pass would place nothing
        PassQueue next;
        while (!current.empty()) {
            const qsizetype i = current.top();
            current.pop();
            const ListedFolder &f = folders[size_t(i)];
            CFolderNode node;
            node.PID = f.pid;
            node.ID = f.id;
            node.Name = QString::fromUtf8(f.name);
            node.Uploadable = f.uploadable;
            --left;
            // A repeated id is taken off the list without being added.
            if (!Add(std::move(node), parentOf[size_t(i)]))
                continue;
            CFolderNode *added = m_nodes.back();
            const qsizetype released = firstWaiting.value(f.id);
            if (released < 0)
                continue;
            for (qsizetype child = released; child >= 0; child = nextWaiting[size_t(child)]) {
                parentOf[size_t(child)] = added;
                (child > i ? current : next).push(child);
            }
            firstWaiting.remove(f.id);
        }
        current = std::move(next);
    }
    return true;
}

void CFolderTree::buildFlat(const pugi::xml_node &root)
{
    for (const pugi::xml_node item : root.children("item")) {
        CFolderNode node;
        node.PID = 0;
        node.ID = QString::fromUtf8(item.child_value("id")).trimmed().toInt();
        node.Name = QString::fromUtf8(item.child_value("name"));
        node.Uploadable = true;
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
