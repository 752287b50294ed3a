#include "Replies.h"

#include <sstream>

namespace Replies {

pugi::xml_node start(pugi::xml_document &doc, const char *root)
{
    pugi::xml_node decl = doc.append_child(pugi::node_declaration);
    decl.append_attribute("version") = "1.0";
    decl.append_attribute("encoding") = "UTF-8";
    pugi::xml_node node = doc.append_child(root);
    node.append_attribute("ver") = "2.0";
    node.append_child("errInfo");
    return node;
}

void add(pugi::xml_node parent, const char *name, const std::string &text)
{
    parent.append_child(name).text().set(text.c_str());
}

std::string text(const pugi::xml_document &doc)
{
    std::ostringstream out;
    doc.save(out, "  ", pugi::format_default | pugi::format_no_empty_element_tags, pugi::encoding_utf8);
    return out.str();
}

std::string error(int code, const char *root)
{
    pugi::xml_document doc;
    start(doc, root).child("errInfo").text().set(std::to_string(code).c_str());
    return text(doc);
}

} // namespace Replies
