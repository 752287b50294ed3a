#pragma once

#include <pugixml.hpp>
#include <string>
#include <string_view>

// Every XML document that comes from outside (profiles, projects, the version list
// an operator edits) is read through here: size-capped, and refused when it declares
// a DTD or entities; pugixml itself never loads anything from the network.
constexpr size_t kMaxXmlBytes = 1 << 20;

bool parseUntrustedXml(pugi::xml_document &doc, std::string_view text, std::string &error,
                       size_t maxBytes = kMaxXmlBytes);
bool loadUntrustedXmlFile(pugi::xml_document &doc, const std::string &path, std::string &error,
                          size_t maxBytes = kMaxXmlBytes);

// Text of the element at a slash-separated path below the document element, trimmed.
std::string childText(const pugi::xml_node &root, const char *path);
