#pragma once

#include <pugixml.hpp>
#include <string>

// The server's replies: an XML document whose root carries ver="2.0" and an
// errInfo child that is empty on success.
namespace Replies {

pugi::xml_node start(pugi::xml_document &doc, const char *root = "tarn");
void add(pugi::xml_node parent, const char *name, const std::string &text);
std::string text(const pugi::xml_document &doc);
std::string error(int code, const char *root = "tarn");

} // namespace Replies
