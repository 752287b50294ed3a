#include "SafeXml.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <iterator>

namespace {

bool containsNoCase(std::string_view text, std::string_view needle)
{
    return std::search(text.begin(), text.end(), needle.begin(), needle.end(), [](char a, char b) {
               return std::tolower(static_cast<unsigned char>(a)) ==
                      std::tolower(static_cast<unsigned char>(b));
           }) != text.end();
}

std::string trimmed(std::string s)
{
    const auto blank = [](unsigned char c) { return std::isspace(c) != 0; };
    s.erase(s.begin(), std::find_if_not(s.begin(), s.end(), blank));
    s.erase(std::find_if_not(s.rbegin(), s.rend(), blank).base(), s.end());
    return s;
}

} // namespace

bool parseUntrustedXml(pugi::xml_document &doc, std::string_view text, std::string &error, size_t maxBytes)
{
    if (text.size() > maxBytes) {
        error = "document larger than " + std::to_string(maxBytes) + " bytes";
        return false;
    }
    if (containsNoCase(text, "<!DOCTYPE") || containsNoCase(text, "<!ENTITY")) {
        error = "document declares a DTD or entities";
        return false;
    }
    const unsigned flags = pugi::parse_default & ~pugi::parse_doctype;
    const pugi::xml_parse_result result = doc.load_buffer(text.data(), text.size(), flags);
    if (!result) {
        error = std::string("not well-formed: ") + result.description();
        return false;
    }
    if (!doc.document_element()) {
        error = "no document element";
        return false;
    }
    return true;
}

bool loadUntrustedXmlFile(pugi::xml_document &doc, const std::string &path, std::string &error,
                          size_t maxBytes)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot read " + path;
        return false;
    }
    std::string text;
    char buffer[65536];
    while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
        text.append(buffer, static_cast<size_t>(in.gcount()));
        if (text.size() > maxBytes) {
            error = "document larger than " + std::to_string(maxBytes) + " bytes";
            return false;
        }
    }
    return parseUntrustedXml(doc, text, error, maxBytes);
}

std::string childText(const pugi::xml_node &root, const char *path)
{
    const pugi::xml_node node = root.first_element_by_path(path);
    return node ? trimmed(node.text().get()) : std::string();
}
