// The report: one XML document with root "HWInfo" and a cursor element. New children go in
// front of their siblings; names are made safe; values are kept valid XML.
#pragma once

#include <pugixml.hpp>
#include <stdexcept>
#include <string>
#include <string_view>

namespace gravelin {

// Raised when a name is not a valid XML name even after makeXmlName.
class XmlNameError : public std::runtime_error {
public:
    explicit XmlNameError(const std::string& name)
        : std::runtime_error("invalid XML name"), name_(name) {}
    [[nodiscard]] const std::string& name() const { return name_; }

private:
    std::string name_;
};

// Replaces every blank, "(", ")", "[" and "]" by "_"; nothing else changes.
std::string makeXmlName(std::string_view text);

// True when the UTF-8 text is a name that namespace-aware XML parsers accept: an XML 1.0
// Name with at most one colon, which then separates two non-empty parts.
bool isValidXmlName(std::string_view utf8);

// The UTF-8 text with every character that XML 1.0 forbids (control characters other than
// tab, line feed and carriage return, U+FFFE, U+FFFF, surrogates, malformed UTF-8) replaced
// by U+FFFD; everything else is kept.
std::string xmlSafeText(std::string_view utf8);

class XMLFile {
public:
    XMLFile();
    XMLFile(const XMLFile&) = delete;
    XMLFile& operator=(const XMLFile&) = delete;

    // Throws XmlNameError when the safe name is still not a valid name; the tree is then
    // unchanged.
    void enterNewChild(std::string_view elementName);
    void goToParent();
    void goToRoot();
    void setAttribute(std::string_view attributeName, std::string_view value);

    // The whole document, declaration first, every line ended by CR LF.
    [[nodiscard]] std::string xmlText() const;

private:
    void bindPrefix(std::string_view name);

    pugi::xml_document document_;
    pugi::xml_node root_;
    pugi::xml_node cursor_;
};

}  // namespace gravelin
